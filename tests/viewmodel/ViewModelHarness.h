#pragma once

#include "viewmodel/DeviceViewModel.h"

#include "fido/PcscHelper.h"

#include "MemoryConfig.h"
#include "RecordingWorkspace.h"
#include "softkey/SoftKeyFixtures.h"
#include "support/Eventually.h"
#include "support/UsbKeyRig.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <thread>

// How many CTAP requests with this command byte (and, for clientPIN, sub-command: its requests start
// 06 A? 01 <protocol> 02 <sub-command>) the key has answered.
inline std::size_t countRequests(SoftAuthenticator& key, std::uint8_t command, std::optional<std::uint8_t> sub = {})
{
    return static_cast<std::size_t>(std::ranges::count_if(key.requestLog(), [&](const auto& entry) {
        return entry.command() == command && (!sub || (entry.request.size() >= 6 && entry.request[5] == *sub));
    }));
}

// Runs the main thread's event loop until pred holds or the limit passes.
template <typename Pred> bool pumpUntil(Pred pred, std::chrono::milliseconds limit = std::chrono::seconds(8))
{
    return eventually(pred, limit, [] {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    });
}

// Keeps the event loop running for a while, for "nothing happens" checks where no event could be awaited.
inline void pumpFor(std::chrono::milliseconds time) { pumpUntil([] { return false; }, time); }

// Stops the work queue at the moment a test means, has the main thread act there, then lets the queue go on. The hooks
// that stop the queue hold it by a shared_ptr: a hook the queue runs as the test lets go of it finds it whole.
class WorkQueueHold
{
public:
    WorkQueueHold() = default;
    ~WorkQueueHold() { release(); }
    WorkQueueHold(const WorkQueueHold&) = delete;
    WorkQueueHold& operator=(const WorkQueueHold&) = delete;

    // On the work queue: the first call waits there until released.
    void hold()
    {
        if (reached_.exchange(true))
            return;
        released_.wait_for(std::chrono::seconds(10)); // bounded, should the test fail early
    }
    bool reached() const { return reached_.load(); }
    // Waits for the hold (running the main thread's events), runs `action` there, then lets the work queue go on.
    bool actThere(const std::function<void()>& action)
    {
        const bool held = pumpUntil([&] { return reached_.load(); });
        if (held)
            action();
        release();
        return held;
    }
    void release()
    {
        if (!releasedOnce_.exchange(true))
            release_.set_value();
    }

private:
    std::atomic<bool> reached_{false};
    std::atomic<bool> releasedOnce_{false};
    std::promise<void> release_;
    std::shared_future<void> released_ = release_.get_future().share();
};

// The states of the view model that no intent reaches: the prompts a key raises, a selection made while busy, a load
// still under way after its first rows arrived (intents reach it only by a race).
struct ViewModelTestSeam {
    static void select(DeviceViewModel& vm, const std::optional<DeviceItem>& item)
    {
        vm.setSelectedDeviceItem(item);
        vm.selectedDeviceChanged();
    }
    static void showTouchPrompt(DeviceViewModel& vm, bool up) { vm.setWaitUserTouchValue(up); }
    // What the model's own action does when the transport says the key waits for a touch, or no longer does.
    static void keyWaitsForTouch(DeviceViewModel& vm, bool wait) { vm.setWaitUserTouch(wait); }
    static void showReinsertPrompt(DeviceViewModel& vm, bool up) { vm.setReinsertNeeded(up); }
    static void showLoading(DeviceViewModel& vm, bool loading) { vm.setLoading(loading); }
    // The card transport the model made (with cards watched).
    static PcscHelper& pcscHelper(DeviceViewModel& vm) { return *vm.pcscHelper_; }
};

// A view model on software USB keys (and, with cards, on the real pcscd), with settings and workspace in memory.
struct ViewModelHarness {
    explicit ViewModelHarness(bool watchCards = false, std::map<std::string, std::string> settings = {},
                              HidHelper::Timing timing = UsbKeyRig::fastTiming(),
                              std::function<void(const std::string&)> readerWatchedHook = {})
        : rig(timing)
    {
        config->values = std::move(settings);
        vm = std::make_unique<DeviceViewModel>(DeviceViewModel::Dependencies{&rig.helper(), config, workspace, nullptr,
                                                                             watchCards, std::move(readerWatchedHook)});
        vm->startUsbThread();
    }
    UsbKeyRig::Key& plugAndList(SoftKeyConfig keyConfig = {}, std::string product = "KWO FIDO", std::string serial = {})
    {
        const std::size_t before = vm->deviceList().size();
        UsbKeyRig::Key& key = rig.plug(std::move(keyConfig), std::move(product), std::move(serial));
        pumpUntil([&] { return vm->deviceList().size() > before; });
        return key;
    }
    // Plugs a key loaded with the fixtures (a PIN among them) and selects it once its row, read again, shows the PIN.
    UsbKeyRig::Key& plugAndSelectWithPin(std::string_view fixtures, SoftKeyConfig keyConfig = {})
    {
        UsbKeyRig::Key& key = plugAndList(std::move(keyConfig));
        std::string error;
        EXPECT_TRUE(SoftKeyFixtures::load(fixtures, key.authenticator(), error)) << error;
        vm->refreshAllDevices();
        EXPECT_TRUE(pumpUntil([&] { return vm->deviceList()[0].pinPresent; }) && waitIdle());
        select(0);
        return key;
    }
    bool unplugLast(UsbKeyRig::Key& key) // and waits until the list is empty
    {
        rig.unplug(key);
        return pumpUntil([&] { return vm->deviceList().empty(); });
    }
    // Returns once the work queue has done everything queued so far: a key of another model plugged now is read
    // after that work. It is taken away again before this returns. Its own row is awaited, not a count of rows,
    // which the work it waits for may change too.
    bool settle()
    {
        UsbKeyRig::Key& marker = rig.plug({}, "Other Key");
        const auto markerListed = [this, device = marker.device] {
            return std::ranges::any_of(vm->deviceList(),
                                       [&](const DeviceItem& item) { return item.device.hid() == device; });
        };
        const bool listed = pumpUntil(markerListed);
        rig.unplug(marker);
        return pumpUntil([&] { return !markerListed(); }) && listed;
    }
    // As a person does: once the model takes a selection again (it refuses one while it reads the keys).
    void select(std::size_t index)
    {
        EXPECT_TRUE(waitIdle());
        vm->selectDeviceItem(vm->deviceList().at(index));
    }
    bool waitIdle() { return pumpUntil([&] { return !vm->busy(); }); }
    bool waitForMessage(const std::string& message, std::chrono::milliseconds limit = std::chrono::seconds(8))
    {
        return pumpUntil([&] { return vm->showMessageBox() && vm->messageBoxInfo().message == message; }, limit);
    }
    void typePins(std::string_view newPin, std::string_view confirm, std::string_view oldPin = {})
    {
        vm->pinFieldEdited(DeviceViewModel::PinField::oldPin, oldPin);
        vm->pinFieldEdited(DeviceViewModel::PinField::newPin, newPin);
        vm->pinFieldEdited(DeviceViewModel::PinField::confirmPin, confirm);
    }
    // Asks for a reset of the selected key, agrees to the warning, and waits for the prompt to re-insert it.
    bool startReset()
    {
        vm->confirmReset();
        const bool warned = pumpUntil([&] { return vm->showMessageBox(); });
        vm->closeMessageBox(true);
        return warned && pumpUntil([&] { return vm->reinsertNeeded(); });
    }
    // Enters the PIN on the credential page's PIN page of the selected key; waits for the list unless told not to.
    bool openCredentials(std::string_view pin, bool wait = true)
    {
        vm->showPinViewForCredMgmt();
        vm->pinFieldEdited(DeviceViewModel::PinField::authPin, pin);
        vm->pinOkClicked();
        return !wait || pumpUntil([&] { return vm->credMgmtViewVisible() && !vm->loading(); });
    }

    UsbKeyRig rig; // first, so that it outlives the view model that uses its HID thread
    std::shared_ptr<MemoryConfig> config = std::make_shared<MemoryConfig>();
    std::shared_ptr<RecordingWorkspace> workspace = std::make_shared<RecordingWorkspace>();
    std::unique_ptr<DeviceViewModel> vm;
};

// Holds the work queue at one moment of a flow, has the main thread act there (press a Cancel, mostly), then lets the
// flow go on.
class HoldAndAct
{
public:
    using Match = std::function<bool(CTAPHID, std::span<const std::uint8_t>)>;

    explicit HoldAndAct(ViewModelHarness& h) : h_(h) {}
    ~HoldAndAct()
    {
        hold_->release();
        h_.rig.helper().setRequestStartHook({});
        h_.rig.helper().setWaitUserInputAction(
            [vm = h_.vm.get()](bool wait) { ViewModelTestSeam::keyWaitsForTouch(*vm, wait); });
    }
    HoldAndAct(const HoldAndAct&) = delete;
    HoldAndAct& operator=(const HoldAndAct&) = delete;

    // As the first request that `match` takes begins: its key bound, the request not yet under way.
    void atRequest(Match match)
    {
        h_.rig.helper().setRequestStartHook([hold = hold_, match](CTAPHID cmd, std::span<const std::uint8_t> data) {
            if (match(cmd, data))
                hold->hold();
        });
    }
    // Once the key has answered the first touch request: the touch prompt is being lowered, the next step not begun.
    // The touch is the test's to give, once the prompt is up.
    void afterTouch()
    {
        h_.rig.helper().setWaitUserInputAction([hold = hold_, vm = h_.vm.get()](bool wait) {
            ViewModelTestSeam::keyWaitsForTouch(*vm, wait);
            if (!wait)
                hold->hold();
        });
    }
    // Waits for the hold, runs `action` there, then lets the work queue go on.
    bool actThere(const std::function<void()>& action) { return hold_->actThere(action); }

private:
    ViewModelHarness& h_;
    std::shared_ptr<WorkQueueHold> hold_ = std::make_shared<WorkQueueHold>();
};

// The n-th request (from 1) of this CTAP command, and sub-command at the byte where it stands in the request.
inline HoldAndAct::Match nthRequest(std::size_t n, std::uint8_t command,
                                    std::optional<std::pair<std::size_t, std::uint8_t>> sub = {})
{
    return [n, command, sub, seen = std::make_shared<std::atomic<std::size_t>>(0)](CTAPHID cmd,
                                                                                   std::span<const std::uint8_t> data) {
        const bool match = cmd == CTAPHID::CBOR && !data.empty() && data[0] == command &&
                           (!sub || (data.size() > sub->first && data[sub->first] == sub->second));
        return match && ++*seen == n;
    };
}
