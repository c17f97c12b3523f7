// softkey: one software FIDO card on a vpcd reader until killed, so the application (or any PC/SC client)
// can be tried against it. Lines on standard input script it while it runs (see usage).
#include "softkey/NfcCardFront.h"
#include "softkey/SoftAuthenticator.h"
#include "softkey/SoftKeyFixtures.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

volatile std::sig_atomic_t gStop = 0;
void onSignal(int) { gStop = 1; }

void usage(std::ostream& out)
{
    out << "usage: softkey [--port N] [--pin PIN] [--fixtures FILE] [--identity maker|foreign|none]\n"
           "               [--vendor-answer TEXT] [--protocols 2,1|1|2|none] [--versions V1,V2,...]\n"
           "               [--select TEXT] [--preview] [--no-credmgmt] [--touch MODE] [--touch-delay MS]\n"
           "               [--reset-window MS] [--seed N] [--capacity N] | --help\n"
           "Puts one software FIDO card on a vpcd reader of pcscd until Ctrl-C.\n"
           "  port 35963 is reader \"Virtual PCD 00 00\", 35964 \"Virtual PCD 00 01\".\n"
           "  MODE: given, denied, timeout, hold (until cancel), manual (answer with 'press'/'deny').\n"
           "stdin commands: insert | remove | tap | window open|close | touch MODE [MS] | press | deny\n"
           "                | stall on|off | reload FILE (reset, then load fixtures)\n"
           "                | apdus (answers 'apdus N', the APDUs received so far)\n"
           "                | requests (answers 'requests N', the CTAP requests answered so far)\n"
           "                | pin PIN (answers 'yes' when the PIN set is exactly PIN, else 'no') | quit\n"
           "Fixtures FILE (--fixtures, reload): what the card holds, one entry a line. '#' starts a comment,\n"
           "values with spaces go in double quotes, byte values are hexadecimal:\n"
           "  pin 1234\n"
           "  rp id=example.com name=\"Example Corp\"\n"
           "  credential rp=example.com user=A1B2 userName=alice displayName=\"Alice A\"\n"
           "  An rp line names a relying party for the credential lines after it. A credential line may add\n"
           "  rpName=TEXT, id=HEX (the credential id), key=HEX (its 32-byte private key; both are random when\n"
           "  left out) and protect=1|2|3 (its credProtect level); user= is the user handle.\n";
}

std::vector<std::string> splitList(const std::string& s)
{
    std::vector<std::string> out;
    std::stringstream in(s);
    std::string item;
    while (std::getline(in, item, ','))
        if (!item.empty())
            out.push_back(item);
    return out;
}

bool parseTouch(const std::string& s, SoftAuthenticator::Touch& t)
{
    using T = SoftAuthenticator::Touch;
    if (s == "given")
        t = T::Given;
    else if (s == "denied")
        t = T::Denied;
    else if (s == "timeout")
        t = T::TimedOut;
    else if (s == "hold")
        t = T::HeldUntilCancel;
    else if (s == "manual")
        t = T::Manual;
    else
        return false;
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    std::uint16_t port = VpcdCard::kPortReader0;
    SoftKeyConfig config;
    NfcCardFront::Options card;
    std::string pin, fixtures;
    SoftAuthenticator::Touch touch = SoftAuthenticator::Touch::Given;
    long touchDelay = 300;

    std::vector<std::string> args(argv + 1, argv + argc);
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= args.size()) {
                usage(std::cerr);
                std::exit(2);
            }
            return args[++i];
        };
        if (a == "--help" || a == "-h") {
            usage(std::cout);
            return 0;
        } else if (a == "--port") {
            port = static_cast<std::uint16_t>(std::stoul(value()));
        } else if (a == "--pin") {
            pin = value();
        } else if (a == "--fixtures") {
            fixtures = value();
        } else if (a == "--identity") {
            const std::string v = value();
            card.identity = v == "foreign" ? NfcCardFront::Identity::Foreign
                            : v == "none"  ? NfcCardFront::Identity::Unavailable
                                           : NfcCardFront::Identity::Maker;
        } else if (a == "--vendor-answer") {
            card.vendorAnswer = value();
        } else if (a == "--protocols") {
            const std::string v = value();
            if (v == "none") {
                config.pinUvAuthProtocols.reset();
            } else {
                std::vector<std::uint64_t> list;
                for (const auto& p : splitList(v))
                    list.push_back(std::stoull(p));
                config.pinUvAuthProtocols = list;
            }
        } else if (a == "--versions") {
            config.versions = splitList(value());
        } else if (a == "--select") {
            card.selectAnswer = value();
        } else if (a == "--preview") {
            config.credMgmtPreview = true;
            config.credMgmt = false;
        } else if (a == "--no-credmgmt") {
            config.credMgmt = false;
        } else if (a == "--touch") {
            if (!parseTouch(value(), touch)) {
                usage(std::cerr);
                return 2;
            }
        } else if (a == "--touch-delay") {
            touchDelay = std::stol(value());
        } else if (a == "--reset-window") {
            config.resetWindow = std::chrono::milliseconds(std::stol(value()));
        } else if (a == "--capacity") {
            config.maxDiscoverableCredentials = std::stoul(value());
        } else if (a == "--seed") {
            config.seed = std::stoull(value());
        } else {
            usage(std::cerr);
            return 2;
        }
    }

    SoftAuthenticator key(config);
    key.setTouch(touch, std::chrono::milliseconds(touchDelay));
    std::string error;
    if (!pin.empty() && !key.setPin(pin)) {
        std::cerr << "softkey: PIN not accepted\n";
        return 2;
    }
    if (!fixtures.empty() && !SoftKeyFixtures::loadFile(fixtures, key, error)) {
        std::cerr << "softkey: fixtures: " << error << "\n";
        return 2;
    }

    NfcCardFront front(key, card);
    if (!front.insert(port)) {
        std::cerr << "softkey: no vpcd reader on port " << port << " (is pcscd running?)\n";
        return 1;
    }
    std::signal(SIGINT, onSignal);
    std::signal(SIGTERM, onSignal);
    std::cout << "ready" << std::endl;

    // Standard input scripts the card; at its end the card stays until a signal.
    std::thread input([&] {
        std::string line;
        while (!gStop && std::getline(std::cin, line)) {
            std::istringstream in(line);
            std::string cmd, arg, arg2;
            in >> cmd >> arg >> arg2;
            bool ok = true;
            if (cmd == "quit") {
                gStop = 1;
            } else if (cmd == "insert") {
                ok = front.insert(port);
            } else if (cmd == "remove") {
                front.remove();
            } else if (cmd == "tap") {
                ok = front.tap(port);
            } else if (cmd == "window" && arg == "open") {
                key.openResetWindow();
            } else if (cmd == "window" && arg == "close") {
                key.closeResetWindow();
            } else if (cmd == "touch") {
                SoftAuthenticator::Touch t{};
                ok = parseTouch(arg, t);
                if (ok)
                    key.setTouch(t, std::chrono::milliseconds(arg2.empty() ? 0 : std::stol(arg2)));
            } else if (cmd == "press") {
                key.giveTouch(true);
            } else if (cmd == "deny") {
                key.giveTouch(false);
            } else if (cmd == "stall") {
                front.setStall(arg == "on");
            } else if (cmd == "reload") {
                // Back to a blank key (a reset inside its window, touched at once), then the fixtures.
                key.openResetWindow();
                key.queueTouch(SoftAuthenticator::Touch::Given);
                ok = key.handle(std::vector<std::uint8_t>{0x07}) == std::vector<std::uint8_t>{0x00};
                std::string loadError;
                ok = ok && (arg.empty() || SoftKeyFixtures::loadFile(arg, key, loadError));
                if (!loadError.empty())
                    std::cerr << "softkey: fixtures: " << loadError << "\n";
            } else if (cmd == "requests") {
                std::cout << "requests " << key.requestLog().size() << std::endl;
                continue;
            } else if (cmd == "pin") {
                std::cout << (key.pinIs(arg) ? "yes" : "no") << std::endl;
                continue;
            } else if (cmd == "apdus") {
                std::cout << "apdus " << front.receivedApdus().size() << std::endl;
                continue;
            } else if (!cmd.empty()) {
                ok = false;
            }
            std::cout << (ok ? "ok" : "error") << std::endl;
        }
    });
    input.detach();
    while (!gStop)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    front.remove();
    return 0;
}
