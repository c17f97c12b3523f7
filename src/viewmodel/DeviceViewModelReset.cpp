#include "viewmodel/DeviceViewModel.h"

#include "fido/PcscMonitor.h"
#include "platform/HidDevice.h"

void DeviceViewModel::confirmReset()
{
    if (busy_)
        return;
    const UIStringVal texts = uiStr_;
    // Shown once the work already queued has finished.
    runOnQueue([this, texts] {
        presentMessageBox(texts.resetMessageBoxTitle, texts.resetWarning, texts.pinOk, texts.pinCancel,
                          [this] { startReset(); });
    });
}

void DeviceViewModel::startReset()
{
    // From here to the reset's answer, the prompts' Cancel ends the reset.
    if (messageBoxInfo_.result && selectedDeviceItem_)
        setWaitReinsert(selectedDeviceItem_->device, startUserOperation());
}

void DeviceViewModel::setWaitReinsert(std::optional<Device> device, std::stop_token cancel)
{
    // The wait is the work queue's own: every arrival that may end it is handled there.
    runOnQueue([this, device, cancel] { applyWaitReinsert(device, cancel); });
}

void DeviceViewModel::applyWaitReinsert(const std::optional<Device>& device, std::stop_token cancel)
{
    waitReinsertDevice_ = device;
    waitReinsertCancel_ = device ? std::move(cancel) : std::stop_token{};
    tapCount_ = 0;
    waitReinsertName_.reset();
    waitReinsertSerial_.clear();
    if (device && device->isHidDevice()) {
        const auto hid = device->hid();
        waitReinsertName_ = hid ? hid->product() : std::string{};
        waitReinsertSerial_ = hid ? hid->serialNumber() : std::string{};
    } else if (device) {
        // The card is still on the reader when the wait begins.
        waitReinsertName_ = readCardIdentity(*device);
    }
    showReinsertPrompt(device);
}

void DeviceViewModel::showReinsertPrompt(const std::optional<Device>& device)
{
    const int kind = !device ? 0 : device->isHidDevice() ? 1 : 2;
    runOnMain([this, kind] {
        setReinsertNeeded(kind != 0);
        setReinsertText(kind == 0 ? std::string{} : kind == 1 ? uiStr_.reinsertPrompt : uiStr_.reinsertPromptNfc);
    });
}

bool DeviceViewModel::isAwaitedDevice(const Device& device, const std::optional<std::string>& id) const
{
    if (!waitReinsertDevice_ || !waitReinsertName_)
        return false;
    if (device.isHidDevice()) {
        const auto hid = device.hid();
        // The returning key is a new object: the same model by its product string (a key without one matches
        // another without one), and the same serial number. A key reports its serial number, or none, the same way
        // every time it comes back, so a key without one is never a key that reports one, nor the other way round.
        if (!hid || hid->product() != *waitReinsertName_)
            return false;
        return hid->serialNumber() == waitReinsertSerial_;
    }
    // A card is known by its identity; one that could not be read when the wait began matches no arrival, since
    // only cards that identify themselves get here.
    return Device::isSame(device, *waitReinsertDevice_) && id == waitReinsertName_;
}

bool DeviceViewModel::checkReinsert(const Device& device, const std::optional<std::string>& id)
{
    if (!isAwaitedDevice(device, id))
        return false;
    // A wait the user cancelled takes no arrival, not even a first tap: what arrives is listed.
    if (waitReinsertCancel_.stop_requested()) {
        applyWaitReinsert(std::nullopt);
        return false;
    }
    UIStringVal texts;
    runOnMainSync([&] { texts = uiStr_; });
    // The first tap of each wait only counts.
    if (!device.isHidDevice() && tapCount_ == 0) {
        tapCount_ = 1;
        return true;
    }
    // The steps from here on are the reset's: a Cancel at any of them, or between two, ends it there.
    const std::stop_token cancel = waitReinsertCancel_;
    applyWaitReinsert(std::nullopt);
    bool resetTried = false;
    IOReturn status = runCancellable(cancel, [&] {
        IOReturn step = kIOReturnSuccess;
        if (device.isHidDevice()) {
            step = runOnDevice([this] { return ctap2_->sendCmdInit().second; }, device);
            if (step == kIOReturnSuccess)
                step = runWithTouchPrompt(
                    texts.touchTwicePrompt, [this] { return ctap2_->selectDevice(); }, device);
        }
        if (step == kIOReturnSuccess) {
            step = runWithTouchPrompt(
                texts.touchPrompt, [this] { return ctap2_->reset(); }, device);
            resetTried = true;
        }
        return step;
    });
    if (status == kIOReturnSuccess) {
        addDevice(device);
        presentMessageBox(texts.resetMessageBoxTitle, texts.resetSuccess, texts.pinOk, std::nullopt, {});
        return true;
    }
    // An answer that never came may hide a reset the key did: say that it is not known, whether or not the user
    // pressed Cancel meanwhile; a reset that never reached the key changed nothing. The arrival then goes on to be
    // read, so the row shows what the key holds.
    const Outcome outcome = resetTried ? outcomeOf(status, cancel.stop_requested()) : Outcome::refused;
    // A Cancel, or the key's own refusal or cancel, that left no doubt about what the key did ends it silently.
    if (outcome != Outcome::unclear && (status == kIOReturnAborted || status == kIOReturnNotPermitted))
        return false;
    const std::string& message = outcome == Outcome::unclear    ? texts.keyNoClearAnswer
                                 : outcome == Outcome::notTaken ? texts.keyBusyNothingChanged
                                                                : texts.resetFailed;
    presentMessageBox(texts.resetMessageBoxTitle, message, texts.pinOk, std::nullopt, {});
    return false;
}

void DeviceViewModel::cancelReinsert()
{
    cancelUserOperation();
    runOnQueue([this] {
        // A card taken as the wait's first tap was not listed; if it still lies on the reader, it is read and listed
        // now, like any card that arrives.
        const std::optional<Device> tapped = tapCount_ > 0 ? waitReinsertDevice_ : std::nullopt;
        applyWaitReinsert(std::nullopt);
        if (tapped && pcscMonitor_ && pcscMonitor_->getActiveCard(tapped->readerName()))
            cardArrived(*tapped);
    });
}

IOReturn DeviceViewModel::runWithTouchPrompt(std::string prompt, const Operation& op, const Device& device)
{
    return runOnDevice(
        [&] {
            setTouchPromptText(std::move(prompt));
            return op();
        },
        device);
}

void DeviceViewModel::setTouchPromptText(std::string text)
{
    runOnMain([this, text = std::move(text)] { setTouchPromptTextValue(text); });
}

void DeviceViewModel::setWaitUserTouch(bool wait)
{
    runOnMain([this, wait] { setWaitUserTouchValue(wait); });
}

void DeviceViewModel::cancelUserTouch()
{
    cancelUserOperation();
}
