// Times the client's key sequence end to end through the real transports: reading the device (INIT, getInfo,
// PIN retries), setting and changing the PIN, getting a token, listing 50 relying parties with 2 credentials
// each, and deleting 10 credentials. Each step's wall time is the median over the runs; the count beside it is
// what the software key's front received and sent (HID reports) or received (APDUs, each with its answer).
// For the card it also gives our own cost per APDU during the listing: the step's time less the time spent
// inside SCardTransmit (pcscd, the reader and the card), divided by its APDUs.
//
//   bench_ctap [--runs N] [--usb-only | --card-only]
//       a software USB key on a socket pair, and a software card on "Virtual PCD 00 00" through pcscd
//   bench_ctap --reader NAME
//       one run against a card already on the reader NAME, made blank and loaded by someone else (see
//       ctap_side_by_side.py); prints one "step <name> <milliseconds>" line per step, for a script to read
#include "ctap/AuthenToken.h"
#include "ctap/Ctap2.h"
#include "fido/PcscHelper.h"
#include "fido/PcscMonitor.h"
#include "platform/PcscLiteApi.h"
#include "softkey/SoftKeyFixtures.h"
#include "support/Eventually.h"
#include "support/SoftKeyLink.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kRps = 50;
constexpr int kCredentialsPerRp = 2;
constexpr int kDeletions = 10;
const char* const kPin = "1234";
const char* const kNewPin = "24680";

const std::vector<std::string> kSteps = {"device info", "set PIN",        "change PIN",
                                         "token",       "enumerate 50x2", "delete 10"};
constexpr std::size_t kEnumerateStep = 4;

// pcsc-lite with the time spent inside SCardTransmit added up.
class TimedPcscApi : public PcscLiteApi {
public:
    LONG transmit(SCARDHANDLE card, DWORD protocol, std::span<const std::uint8_t> apdu, Bytes& response) override
    {
        const auto start = Clock::now();
        const LONG rv = PcscLiteApi::transmit(card, protocol, apdu, response);
        inside_ += std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count();
        return rv;
    }
    double insideMs() const { return static_cast<double>(inside_.load()) / 1e6; }

private:
    std::atomic<std::int64_t> inside_{0};
};

std::string fixtures()
{
    std::string text;
    for (int rp = 0; rp < kRps; ++rp) {
        const std::string id = "rp" + std::to_string(rp) + ".example";
        text += "rp id=" + id + " name=\"Relying Party " + std::to_string(rp) + "\"\n";
        for (int c = 0; c < kCredentialsPerRp; ++c) {
            char user[8];
            std::snprintf(user, sizeof user, "%02X%02X", rp, c);
            text += "credential rp=" + id + " user=" + user + " userName=user" + user + " displayName=\"User " + user +
                    "\"\n";
        }
    }
    return text;
}

SoftKeyConfig keyConfig()
{
    SoftKeyConfig config;
    config.maxDiscoverableCredentials = 2 * kRps * kCredentialsPerRp;
    return config;
}

// One run of the sequence; the time of each step in milliseconds, or nothing after a failed step. betweenSteps
// runs after each step, outside its time.
std::optional<std::vector<double>> runSequence(Ctap2& ctap, const std::function<void()>& betweenSteps = {})
{
    AuthenToken authen(ctap);
    std::vector<PublicKeyCredentialDescriptor> toDelete;
    const std::vector<std::function<bool()>> steps = {
        [&] {
            return ctap.sendCmdInit().second == kIOReturnSuccess && ctap.getInfo().second == kIOReturnSuccess &&
                   ctap.getPinRetries().second == kIOReturnSuccess;
        },
        [&] { return ctap.setPin(SecureBytes(std::string_view(kPin))) == kIOReturnSuccess; },
        [&] {
            return ctap.changePin(SecureBytes(std::string_view(kPin)), SecureBytes(std::string_view(kNewPin))) ==
                   kIOReturnSuccess;
        },
        [&] {
            return authen.requestToken(SecureBytes(std::string_view(kNewPin)), Permission::CredentialManagement) ==
                   kIOReturnSuccess;
        },
        [&] {
            auto [rps, total, status] = ctap.enumerateRPs(authen.getToken(), *authen.getSharedSecret());
            if (status != kIOReturnSuccess || rps.size() != kRps)
                return false;
            for (const RpInfo& rp : rps) {
                auto [creds, count, credStatus] =
                    ctap.enumerateCredentials(authen.getToken(), *authen.getSharedSecret(), rp.idHash);
                if (credStatus != kIOReturnSuccess || creds.size() != kCredentialsPerRp)
                    return false;
                if (toDelete.size() < kDeletions)
                    toDelete.push_back(creds.front().publicKeyCredentialDescriptor);
            }
            return true;
        },
        [&] {
            for (const auto& descriptor : toDelete)
                if (ctap.deleteCredential(authen.getToken(), *authen.getSharedSecret(), descriptor) != kIOReturnSuccess)
                    return false;
            return toDelete.size() == kDeletions;
        },
    };
    std::vector<double> times;
    for (std::size_t i = 0; i < steps.size(); ++i) {
        const auto start = Clock::now();
        const bool ok = steps[i]();
        times.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        if (!ok) {
            std::fprintf(stderr, "bench_ctap: step \"%s\" failed\n", kSteps[i].c_str());
            return std::nullopt;
        }
        if (betweenSteps)
            betweenSteps();
    }
    return times;
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

struct Result {
    std::vector<double> medianMs;
    std::vector<std::size_t> exchanges; // of the last run
    double overheadUs = 0;              // card: median per APDU of the listing, outside SCardTransmit
};

// The sequence `runs` times against a software key on the given transport, the key made blank and loaded again
// before each run without going through the transport.
std::optional<Result> benchTransport(SoftKeyLink::Transport transport, int runs)
{
    SoftKeyLink link(transport, keyConfig());
    auto timed = std::make_shared<TimedPcscApi>();
    link.setPcscApi(timed);
    if (!link.open()) {
        std::fprintf(stderr, "bench_ctap: the %s key is not reachable%s\n", SoftKeyLink::name(transport),
                     transport == SoftKeyLink::Transport::Card ? " (is pcscd running with vpcd?)" : "");
        return std::nullopt;
    }
    Ctap2 ctap;
    ctap.setHidHelper(link.hidHelper());
    ctap.setPcscHelper(link.pcscHelper());
    const std::string text = fixtures();
    std::vector<std::vector<double>> perStep(kSteps.size());
    std::vector<double> overheads;
    Result result;
    for (int run = 0; run < runs; ++run) {
        SoftAuthenticator& key = link.key();
        key.openResetWindow();
        key.queueTouch(SoftAuthenticator::Touch::Given);
        std::string error;
        if (key.handle(Bytes{0x07}) != Bytes{0x00} || !SoftKeyFixtures::load(text, key, error)) {
            std::fprintf(stderr, "bench_ctap: preparing the key failed %s\n", error.c_str());
            return std::nullopt;
        }
        key.clearRequestLog();
        result.exchanges.clear();
        std::size_t last = link.received() + link.sent();
        std::vector<double> inside;
        auto count = [&] {
            const std::size_t now = link.received() + link.sent();
            result.exchanges.push_back(now - last);
            last = now;
            inside.push_back(timed->insideMs());
        };
        auto times = runSequence(ctap, count);
        if (!times)
            return std::nullopt;
        for (std::size_t i = 0; i < times->size(); ++i)
            perStep[i].push_back((*times)[i]);
        const double listingInside = inside[kEnumerateStep] - inside[kEnumerateStep - 1];
        overheads.push_back(((*times)[kEnumerateStep] - listingInside) * 1000.0 /
                            static_cast<double>(result.exchanges[kEnumerateStep]));
    }
    ctap.setHidHelper(nullptr);
    ctap.setPcscHelper(nullptr);
    for (const auto& samples : perStep)
        result.medianMs.push_back(median(samples));
    result.overheadUs = median(overheads);
    return result;
}

// A card that lies on the reader already: bound the way the application binds one.
int benchExternalCard(const std::string& reader)
{
    std::atomic<bool> present{false};
    auto monitor = PcscMonitor::create([&](bool inserted, const std::string& name) {
        if (name == reader)
            present = inserted;
    });
    monitor->startWatching();
    if (!eventually([&] { return present.load(); }, std::chrono::seconds(5))) {
        std::fprintf(stderr, "bench_ctap: no card on \"%s\"\n", reader.c_str());
        return 1;
    }
    PcscHelper helper([](bool) {});
    helper.setActiveCard(monitor->getActiveCard(reader));
    if (helper.sendCmdSelect() != kIOReturnSuccess) {
        std::fprintf(stderr, "bench_ctap: the card on \"%s\" has no FIDO applet\n", reader.c_str());
        return 1;
    }
    Ctap2 ctap;
    ctap.setPcscHelper(&helper);
    // python-fido2 probes a card with getInfo when it connects; the same untimed exchange here (with an INIT,
    // whose nonce seeds the process's random generator) keeps the first timed step comparable.
    ctap.sendCmdInit();
    ctap.getInfo();
    const auto times = runSequence(ctap);
    if (times)
        for (std::size_t i = 0; i < times->size(); ++i)
            std::printf("step %s %.3f\n", kSteps[i].c_str(), (*times)[i]);
    ctap.setPcscHelper(nullptr);
    helper.sendCmdDeselect();
    helper.setActiveCard(nullptr);
    return times ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    int runs = 5;
    bool usb = true;
    bool card = true;
    std::string reader;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--runs" && i + 1 < argc) {
            runs = std::max(1, std::atoi(argv[++i]));
        } else if (a == "--usb-only") {
            card = false;
        } else if (a == "--card-only") {
            usb = false;
        } else if (a == "--reader" && i + 1 < argc) {
            reader = argv[++i];
        } else {
            std::fprintf(stderr, "usage: bench_ctap [--runs N] [--usb-only | --card-only] | --reader NAME\n");
            return 2;
        }
    }
    if (!reader.empty())
        return benchExternalCard(reader);

    std::optional<Result> usbResult;
    std::optional<Result> cardResult;
    if (usb && !(usbResult = benchTransport(SoftKeyLink::Transport::Usb, runs)))
        return 1;
    if (card && !(cardResult = benchTransport(SoftKeyLink::Transport::Card, runs)))
        return 1;

    std::printf("CTAP sequence, median of %d runs (%d relying parties x %d credentials)\n", runs, kRps,
                kCredentialsPerRp);
    std::printf("%-16s %12s %12s %12s %12s\n", "step", "USB ms", "HID reports", "card ms", "APDUs");
    for (std::size_t i = 0; i < kSteps.size(); ++i) {
        std::printf("%-16s", kSteps[i].c_str());
        if (usbResult)
            std::printf(" %12.3f %12zu", usbResult->medianMs[i], usbResult->exchanges[i]);
        else
            std::printf(" %12s %12s", "-", "-");
        if (cardResult)
            std::printf(" %12.3f %12zu", cardResult->medianMs[i], cardResult->exchanges[i]);
        else
            std::printf(" %12s %12s", "-", "-");
        std::printf("\n");
    }
    if (cardResult)
        std::printf("card: %.1f us per APDU outside SCardTransmit (%s)\n", cardResult->overheadUs,
                    kSteps[kEnumerateStep].c_str());
    return 0;
}
