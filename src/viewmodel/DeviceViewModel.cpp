#include "viewmodel/DeviceViewModel.h"

#include "fido/HidHelper.h"
#include "fido/PcscHelper.h"
#include "fido/PcscMonitor.h"
#include "platform/Log.h"
#include "viewmodel/DesktopWorkspace.h"

#include <QThread>

#include <cstdio>

DeviceViewModel::DeviceViewModel(QObject* parent) : DeviceViewModel(Dependencies{}, parent) {}

DeviceViewModel::DeviceViewModel(Dependencies dependencies, QObject* parent)
    : QObject(parent),
      config_(dependencies.config ? std::move(dependencies.config) : Config::defaults()),
      workspace_(dependencies.workspace ? std::move(dependencies.workspace) : std::make_shared<DesktopWorkspace>()),
      stringTables_(dependencies.stringTables ? dependencies.stringTables : &defaultStringTables()),
      hidHelper_(dependencies.hidHelper ? dependencies.hidHelper : &HidHelper::shared())
{
    ctap2_ = std::make_unique<Ctap2>();
    authenToken_ = std::make_unique<AuthenToken>(*ctap2_);
    hidHelper_->setWaitUserInputAction([this](bool wait) { setWaitUserTouch(wait); });
    hidHelper_->setMonitorCallback(
        [this](const std::shared_ptr<HidDevice>& device, bool inserted) { hidDeviceChanged(device, inserted); });
    initLanguage();
    loadAdvancedMode();
    // Cards already present are reported from here on, after the saved language is in force.
    if (dependencies.watchCards) {
        pcscHelper_ = std::make_unique<PcscHelper>([this](bool wait) { setWaitUserTouch(wait); });
        pcscMonitor_ =
            PcscMonitor::create([this](bool present, const std::string& reader) { cardChanged(present, reader); });
        pcscMonitor_->setReaderWatchedHook(std::move(dependencies.readerWatchedHook));
        // Only now: a card already on a reader is reported at once, and its work needs the monitor in place.
        pcscMonitor_->startWatching();
    }
}

DeviceViewModel::~DeviceViewModel()
{
    shutdown();
}

void DeviceViewModel::shutdown()
{
    if (stopped_.exchange(true))
        return;
    mainHop_.stop();
    // A block waiting for a touch would hold the queue for ever, and the rest of a flow must not go on with the
    // program gone: cancel it, then stop what feeds the queue.
    cancelUserOperation();
    if (pcscHelper_)
        pcscHelper_->stop();
    hidHelper_->stopUsb();
    hidHelper_->setMonitorCallback({});
    hidHelper_->setWaitUserInputAction({});
    // Dropping the monitor is not enough: a watcher thread in the middle of a reader-list change holds it too,
    // and would report its cards gone to this object once it is destroyed.
    if (pcscMonitor_)
        pcscMonitor_->stop();
    queue_.stop();
    pcscMonitor_.reset();
}

void DeviceViewModel::startUsbThread()
{
    if (usbStarted_)
        return;
    usbStarted_ = true;
    hidHelper_->initUsb();
}

void DeviceViewModel::assertMainThread() const
{
    Q_ASSERT(QThread::currentThread() == thread());
}

std::stop_token DeviceViewModel::startUserOperation()
{
    assertMainThread();
    std::lock_guard lock(operationMutex_);
    userOperation_ = std::stop_source();
    return userOperation_.get_token();
}

void DeviceViewModel::cancelUserOperation()
{
    // The transports end the operation's request under way with a CANCEL themselves: the request is bound with
    // the operation's cancellation, so this can never end the reading of a key or card that is bound without one.
    {
        std::lock_guard lock(operationMutex_);
        userOperation_.request_stop();
    }
    // Outside any operation of the user's, only a request in which the key asked for a touch (the prompt the user
    // answers) is let go.
    hidHelper_->cancelTouchWait();
    if (pcscHelper_)
        pcscHelper_->cancelTouchWait();
}

IOReturn DeviceViewModel::runCancellable(const std::stop_token& cancel, const Operation& steps)
{
    operationCancel_ = cancel;
    const IOReturn status = steps();
    operationCancel_ = {};
    return status;
}

IOReturn DeviceViewModel::runOnHid(const Operation& op, const std::shared_ptr<HidDevice>& device)
{
    hidHelper_->setDevice(device, operationCancel_);
    ctap2_->setHidHelper(hidHelper_);
    const IOReturn status = op();
    ctap2_->setHidHelper(nullptr);
    return status;
}

IOReturn DeviceViewModel::runOnPcsc(const Operation& op, const std::string& readerName)
{
    if (!pcscHelper_ || !pcscMonitor_)
        return kIOReturnError;
    std::shared_ptr<SmartCard> card = pcscMonitor_->getActiveCard(readerName);
    if (!card) {
        logLine("runOnPcsc: no card on reader " + readerName);
        return kIOReturnNoDevice;
    }
    // The card's exchanges are ours alone from here (a PC/SC transaction); a card another program keeps is
    // waited for within the transport's bound only.
    if (const IOReturn bound = pcscHelper_->setActiveCard(std::move(card), operationCancel_);
        bound != kIOReturnSuccess) {
        logFailure("runOnPcsc", bound);
        return bound;
    }
    IOReturn status = kIOReturnError;
    if (pcscHelper_->sendCmdSelect() == kIOReturnSuccess) {
        ctap2_->setPcscHelper(pcscHelper_.get());
        status = op();
        ctap2_->setPcscHelper(nullptr);
        pcscHelper_->sendCmdDeselect();
    }
    pcscHelper_->setActiveCard(nullptr);
    return status;
}

IOReturn DeviceViewModel::runOnDevice(const Operation& op, const Device& device)
{
    // The key's last answer tells this operation's outcome, never one of an earlier operation.
    ctap2_->forgetLastExchange();
    if (operationCancelled())
        return kIOReturnAborted;
    if (device.isHidDevice())
        return runOnHid(op, device.hid());
    return runOnPcsc(op, device.readerName());
}

IOReturn DeviceViewModel::runOnDevice(const Operation& op, const DeviceItem& item)
{
    return runOnDevice(
        [&] {
            ctap2_->applyKeySettings(item.cid, item.pinProtocol, item.fido2Pre);
            return op();
        },
        item.device);
}

void DeviceViewModel::runOnSelectedWhileBusy(std::function<IOReturn(const DeviceItem&)> op,
                                             std::function<void(Outcome)> done)
{
    if (!selectedDeviceItem_) {
        done(Outcome::refused);
        return;
    }
    beginBusy();
    const std::stop_token cancel = startUserOperation();
    runOnQueue([this, item = *selectedDeviceItem_, op = std::move(op), done = std::move(done), cancel] {
        const IOReturn status = runCancellable(cancel, [&] { return op(item); });
        const Outcome outcome = outcomeOf(status, cancel.stop_requested());
        const std::optional<DeviceItem> fresh = outcome == Outcome::done ? std::nullopt : refreshDevice(item);
        runOnMain([this, outcome, item, fresh, done] {
            if (fresh && selectedDeviceItem_ == item) {
                setSelectedDeviceItem(*fresh);
                updateButtons();
            }
            endBusy();
            done(outcome);
        });
    });
}

DeviceViewModel::Outcome DeviceViewModel::outcomeOf(IOReturn status, bool cancelled) const
{
    if (status == kIOReturnSuccess)
        return Outcome::done;
    // The user's Cancel ended it, and no request that changes the key reached it, or the key said it cancelled it.
    if (cancelled && status == kIOReturnAborted && (!ctap2_->changeRequestHandedOver() || ctap2_->lastStatusByte()))
        return Outcome::cancelled;
    // No answer, a status byte of success beside an answer that could not be read, or a byte that is no CTAP
    // status at all is no verdict of the key's: what it did is not known once a request that changes it had
    // reached it, and nothing changed when none had.
    const std::optional<std::uint8_t> answered = ctap2_->lastStatusByte();
    if (!answered || *answered == 0 || !ctapErrorFromRaw(*answered))
        return ctap2_->changeRequestHandedOver() ? Outcome::unclear : Outcome::notTaken;
    switch (*ctapErrorFromRaw(*answered)) {
    case CTAPHID_ERROR_CODE::ERR_PIN_INVALID: return Outcome::pinInvalid;
    case CTAPHID_ERROR_CODE::ERR_PIN_BLOCKED: return Outcome::pinBlocked;
    case CTAPHID_ERROR_CODE::ERR_PIN_AUTH_BLOCKED: return Outcome::pinAuthBlocked;
    default: return Outcome::refused;
    }
}

void DeviceViewModel::beginBusy()
{
    if (++busyCount_ == 1)
        setBusy(true);
}

void DeviceViewModel::endBusy()
{
    if (busyCount_ > 0 && --busyCount_ == 0)
        setBusy(false);
}

void DeviceViewModel::logFailure(std::string_view operation, IOReturn status)
{
    // In hexadecimal, as the status tables list it, so a line can be matched to its code.
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%08X", status);
    logLine(std::string(operation) + ": failed, error = " + hex);
}
