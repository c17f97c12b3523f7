// Times the credential page at scale: the real view model and window (offscreen) on a software USB key that
// holds N resident credentials, one per relying party, against the client alone doing the same reading on the
// same key. Medians over the runs; one line per N:
//
//   credentials N: engine E ms, page P ms, ratio P/E R, delete10 D ms, longest stall S ms
//
// E: PIN token, credential metadata and the enumeration of every relying party and credential, with Ctap2 and
//    nothing else. P: from the PIN page's OK to the last row on the page. D: from Delete, with 10 rows ticked and
//    the touch given at once, to the last of them gone. S: the longest time the main thread's event loop did
//    not turn during the load, the ticks and the deletion (the lateness of a 1 ms timer).
//
//   bench_credential_page [--runs N] [--sizes 25,100,500,1000]
#include "ctap/AuthenToken.h"
#include "ctap/Ctap2.h"
#include "support/UsbKeyRig.h"
#include "viewmodel/DeviceViewModel.h"
#include "viewmodel/MemoryConfig.h"
#include "viewmodel/RecordingWorkspace.h"
#include "views/CredentialList.h"
#include "views/MainWindow.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QStyleFactory>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

const char* const kPin = "1234";
constexpr std::size_t kDeletions = 10;

double msSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// Turns the event loop until pred holds; false when it does not within the limit.
bool pumpUntil(const std::function<bool()>& pred, std::chrono::seconds limit = std::chrono::seconds(600))
{
    const auto deadline = Clock::now() + limit;
    while (!pred()) {
        if (Clock::now() > deadline)
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
    }
    return true;
}

// The longest lateness of a 1 ms timer while armed: how long the main thread's event loop stood still.
class StallMonitor {
public:
    StallMonitor()
    {
        timer_.setTimerType(Qt::PreciseTimer);
        timer_.setInterval(1);
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            const double gap = msSince(last_);
            longest_ = std::max(longest_, gap - 1.0);
            last_ = Clock::now();
        });
    }
    void start()
    {
        last_ = Clock::now();
        timer_.start();
    }
    // Stops, counting the time since the last tick too, and gives the longest stall since start.
    double stop()
    {
        longest_ = std::max(longest_, msSince(last_) - 1.0);
        timer_.stop();
        const double result = std::max(0.0, longest_);
        longest_ = 0;
        return result;
    }

private:
    QTimer timer_;
    Clock::time_point last_;
    double longest_ = 0;
};

SoftKeyCredential credential(std::size_t serial)
{
    SoftKeyCredential c;
    c.rpId = "rp" + std::to_string(serial) + ".example.com";
    c.rpName = "Relying Party " + std::to_string(serial);
    c.userId = Bytes{static_cast<std::uint8_t>(serial >> 8), static_cast<std::uint8_t>(serial)};
    c.userName = "user" + std::to_string(serial) + "@example.com";
    c.userDisplayName = "User " + std::to_string(serial);
    return c;
}

// The client alone: a token, then what the page reads, on a key the view model leaves alone meanwhile.
std::optional<double> engineRun(HidHelper& helper, const std::shared_ptr<HidDevice>& device, std::size_t expected)
{
    helper.setDevice(device);
    Ctap2 ctap;
    ctap.setHidHelper(&helper);
    ctap.sendCmdInit();
    ctap.getInfo();
    const auto start = Clock::now();
    AuthenToken authen(ctap);
    bool ok = authen.requestToken(SecureBytes(std::string_view(kPin)), Permission::CredentialManagement) ==
              kIOReturnSuccess;
    std::size_t read = 0;
    if (ok) {
        const SecureBytes& token = authen.getToken();
        const SSecret& secret = *authen.getSharedSecret();
        ok = std::get<2>(ctap.getCredsMetadata(token, secret)) == kIOReturnSuccess;
        auto [rps, total, status] = ctap.enumerateRPs(token, secret);
        ok = ok && status == kIOReturnSuccess;
        for (const RpInfo& rp : rps) {
            auto [creds, count, credStatus] = ctap.enumerateCredentials(token, secret, rp.idHash);
            ok = ok && credStatus == kIOReturnSuccess;
            read += creds.size();
        }
    }
    const double ms = msSince(start);
    ctap.setHidHelper(nullptr);
    if (!ok || read != expected)
        return std::nullopt;
    return ms;
}

struct Sample {
    double engine = 0;
    double page = 0;
    double delete10 = 0;
    double stall = 0;
};

class Bench {
public:
    Bench()
    {
        config_->values = {{"AdvancedMode", "true"}};
        DeviceViewModel::Dependencies deps;
        deps.hidHelper = &rig_.helper();
        deps.config = config_;
        deps.workspace = std::make_shared<RecordingWorkspace>();
        deps.watchCards = false;
        vm_ = std::make_unique<DeviceViewModel>(deps);
        WindowHooks hooks;
        hooks.minimize = [](QWidget*) {};
        hooks.exit = [](QWidget*) {};
        hooks.startMove = [](QWidget*) { return true; };
        window_ = std::make_unique<MainWindow>(*vm_, hooks);
        window_->show();
        list_ = window_->findChild<CredentialList*>("credentialList");
    }
    ~Bench()
    {
        window_.reset();
        vm_->shutdown();
    }

    // Every run of one size, on a fresh key; nothing when a step fails.
    std::optional<Sample> measure(std::size_t n, int runs)
    {
        SoftKeyConfig keyConfig;
        keyConfig.maxDiscoverableCredentials = n;
        UsbKeyRig::Key& key = rig_.plug(keyConfig);
        SoftAuthenticator& auth = key.authenticator();
        auth.setPin(kPin);
        std::size_t serial = 0;
        for (; serial < n; ++serial)
            auth.addCredential(credential(serial));
        if (!pumpUntil([&] { return vm_->deviceList().size() == 1; }))
            return fail("the key is not listed");

        std::vector<Sample> samples;
        for (int run = 0; run < runs; ++run) {
            Sample s;
            pumpUntil([&] { return !vm_->busy(); });
            const auto engine = engineRun(rig_.helper(), key.device, n);
            if (!engine)
                return fail("the client alone did not read every credential");
            s.engine = *engine;

            vm_->selectDeviceItem(vm_->deviceList()[0]);
            vm_->showPinViewForCredMgmt();
            vm_->pinFieldEdited(DeviceViewModel::PinField::authPin, kPin);
            stalls_.start();
            const auto opened = Clock::now();
            vm_->pinOkClicked();
            if (!pumpUntil([&] { return !vm_->loading() && vm_->credMgmtViewVisible() && rowsShown() == n; }))
                return fail("the page did not show every credential");
            list_->repaint();
            s.page = msSince(opened);

            for (std::size_t i = 0; i < kDeletions; ++i)
                vm_->setRpItemChecked(i * n / kDeletions, true);
            const auto deleting = Clock::now();
            vm_->credMgmtDeleteClicked();
            if (!pumpUntil([&] { return !vm_->busy() && rowsShown() == n - kDeletions; }))
                return fail("the deletion did not end with the rows gone");
            list_->repaint();
            s.delete10 = msSince(deleting);
            s.stall = stalls_.stop();
            samples.push_back(s);

            for (std::size_t i = 0; i < kDeletions; ++i)
                auth.addCredential(credential(serial++));
            vm_->credMgmtBackClicked();
        }
        rig_.unplug(key);
        pumpUntil([&] { return vm_->deviceList().empty() && !vm_->busy(); });

        Sample result;
        auto pick = [&](double Sample::*field) {
            std::vector<double> values;
            for (const Sample& s : samples)
                values.push_back(s.*field);
            return median(values);
        };
        result.engine = pick(&Sample::engine);
        result.page = pick(&Sample::page);
        result.delete10 = pick(&Sample::delete10);
        result.stall = pick(&Sample::stall);
        return result;
    }

private:
    std::size_t rowsShown() const { return static_cast<std::size_t>(list_->rowCount()); }

    static std::optional<Sample> fail(const char* what)
    {
        std::fprintf(stderr, "bench_credential_page: %s\n", what);
        return std::nullopt;
    }

    UsbKeyRig rig_;
    std::shared_ptr<MemoryConfig> config_ = std::make_shared<MemoryConfig>();
    std::unique_ptr<DeviceViewModel> vm_;
    std::unique_ptr<MainWindow> window_;
    CredentialList* list_ = nullptr;
    StallMonitor stalls_;
};

} // namespace

int main(int argc, char** argv)
{
    int runs = 5;
    std::vector<std::size_t> sizes = {25, 100, 500, 1000};
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--runs" && i + 1 < argc) {
            runs = std::max(1, std::atoi(argv[++i]));
        } else if (a == "--sizes" && i + 1 < argc) {
            sizes.clear();
            std::stringstream list(argv[++i]);
            std::string item;
            while (std::getline(list, item, ','))
                sizes.push_back(std::stoul(item));
        } else {
            std::fprintf(stderr, "usage: bench_credential_page [--runs N] [--sizes 25,100,500,1000]\n");
            return 2;
        }
    }
    // The application's log lines go to standard output too; the results alone stay there.
    std::FILE* out = fdopen(dup(STDOUT_FILENO), "w");
    if (!out || !std::freopen("/dev/null", "w", stdout))
        return 1;
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    Bench bench;
    for (std::size_t n : sizes) {
        const auto result = bench.measure(n, runs);
        if (!result)
            return 1;
        std::fprintf(out,
                     "credentials %zu: engine %.1f ms, page %.1f ms, ratio P/E %.2f, delete10 %.1f ms, longest stall "
                     "%.1f ms\n",
                     n, result->engine, result->page, result->page / result->engine, result->delete10, result->stall);
        std::fflush(out);
    }
    return 0;
}
