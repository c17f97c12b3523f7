#pragma once

#include "viewmodel/DeviceViewModel.h"

#include "MemoryConfig.h"
#include "RecordingWorkspace.h"
#include "support/Eventually.h"
#include "softkey/SoftKeyFixtures.h"
#include "support/UsbKeyRig.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>

// How many CTAP requests with this command byte (and, for clientPIN, sub-command) the key has answered.
inline std::size_t countRequests(SoftAuthenticator& key, std::uint8_t command,
                                 std::optional<std::uint8_t> pinSubCommand = {})
{
    std::size_t n = 0;
    for (const auto& entry : key.requestLog()) {
        if (entry.request.empty() || entry.request[0] != command)
            continue;
        // clientPIN requests start 06 A? 01 <protocol> 02 <sub-command>.
        if (pinSubCommand && (entry.request.size() < 6 || entry.request[5] != *pinSubCommand))
            continue;
        ++n;
    }
    return n;
}

// Runs the main thread's event loop until pred holds or the limit passes.
template <typename Pred>
bool pumpUntil(Pred pred, std::chrono::milliseconds limit = std::chrono::seconds(8))
{
    return eventually(pred, limit, [] {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    });
}

// Keeps the event loop running for a while, for "nothing happens" checks where no event could be awaited.
inline void pumpFor(std::chrono::milliseconds time)
{
    pumpUntil([] { return false; }, time);
}

// The few states of the view model that no intent reaches: the prompts a key raises, a selection made while the
// model is busy.
struct ViewModelTestSeam {
    static void select(DeviceViewModel& vm, const std::optional<DeviceItem>& item)
    {
        vm.setSelectedDeviceItem(item);
        vm.selectedDeviceChanged();
    }
    static void showTouchPrompt(DeviceViewModel& vm, bool up) { vm.setWaitUserTouchValue(up); }
    static void showReinsertPrompt(DeviceViewModel& vm, bool up) { vm.setReinsertNeeded(up); }
};

// A view model on software USB keys (and, with cards, on the real pcscd), with settings and workspace in memory.
struct ViewModelHarness {
    explicit ViewModelHarness(bool watchCards = false, std::map<std::string, std::string> settings = {})
    {
        config->values = std::move(settings);
        DeviceViewModel::Dependencies deps;
        deps.hidHelper = &rig.helper();
        deps.config = config;
        deps.workspace = workspace;
        deps.watchCards = watchCards;
        vm = std::make_unique<DeviceViewModel>(deps);
        vm->startUsbThread();
    }
    ~ViewModelHarness() { vm.reset(); }

    // Plugs a software key and waits until it is listed.
    UsbKeyRig::Key& plugAndList(SoftKeyConfig keyConfig = {}, std::string product = "KWO FIDO")
    {
        const std::size_t before = vm->deviceList().size();
        UsbKeyRig::Key& key = rig.plug(std::move(keyConfig), std::move(product));
        pumpUntil([&] { return vm->deviceList().size() > before; });
        return key;
    }

    // Plugs a key loaded with the fixtures (a PIN among them), selects it and reads it again so its row shows the
    // PIN.
    UsbKeyRig::Key& plugAndSelectWithPin(std::string_view fixtures)
    {
        UsbKeyRig::Key& key = plugAndList();
        std::string error;
        EXPECT_TRUE(SoftKeyFixtures::load(fixtures, key.authenticator(), error)) << error;
        select(0);
        vm->setCurrentView(DeviceViewModel::View::deviceList);
        EXPECT_TRUE(pumpUntil([&] { return vm->deviceList()[0].pinPresent; }));
        EXPECT_TRUE(waitIdle());
        select(0);
        return key;
    }

    // Unplugs the last listed key and waits until the list is empty.
    bool unplugLast(UsbKeyRig::Key& key)
    {
        rig.unplug(key);
        return pumpUntil([&] { return vm->deviceList().empty(); });
    }

    // As a person does: once the model takes a selection again (it refuses one while it reads the keys).
    void select(std::size_t index)
    {
        EXPECT_TRUE(waitIdle());
        vm->selectDeviceItem(vm->deviceList().at(index));
    }

    bool waitForMessage(const std::string& message)
    {
        return pumpUntil([&] { return vm->showMessageBox() && vm->messageBoxInfo().message == message; });
    }

    bool waitIdle()
    {
        return pumpUntil([&] { return !vm->busy(); });
    }

    // Asks for a reset of the selected key, agrees to the warning, and waits for the prompt to re-insert it.
    bool startReset()
    {
        vm->confirmReset();
        if (!pumpUntil([&] { return vm->showMessageBox(); }))
            return false;
        vm->closeMessageBox(true);
        return pumpUntil([&] { return vm->reinsertNeeded(); });
    }

    // Authenticates on the PIN page of the selected key and waits for its credential list.
    bool openCredentials(const std::string& pin)
    {
        vm->showPinViewForCredMgmt();
        vm->pinFieldEdited(DeviceViewModel::PinField::authPin, pin);
        vm->pinOkClicked();
        return pumpUntil([&] { return vm->credMgmtViewVisible() && !vm->loading(); });
    }

    // Returns once the work queue has done everything queued so far: a key of another model plugged now is
    // read after that work. It is taken away again before this returns.
    bool settle()
    {
        const std::size_t before = vm->deviceList().size();
        UsbKeyRig::Key& marker = rig.plug({}, "Other Key");
        const bool listed = pumpUntil([&] { return vm->deviceList().size() > before; });
        rig.unplug(marker);
        return pumpUntil([&] { return vm->deviceList().size() == before; }) && listed;
    }

    UsbKeyRig rig;
    std::shared_ptr<MemoryConfig> config = std::make_shared<MemoryConfig>();
    std::shared_ptr<RecordingWorkspace> workspace = std::make_shared<RecordingWorkspace>();
    std::unique_ptr<DeviceViewModel> vm;
};
