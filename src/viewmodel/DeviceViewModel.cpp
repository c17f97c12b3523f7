#include "viewmodel/DeviceViewModel.h"

#include "fido/HidHelper.h"
#include "fido/PcscHelper.h"
#include "fido/PcscMonitor.h"
#include "fido/Utils.h"
#include "platform/Log.h"
#include "viewmodel/DesktopWorkspace.h"
#include "viewmodel/JOVFidoDevice.h"
#include "viewmodel/QSettingsConfig.h"
#include "viewmodel/TextTemplates.h"
#include "viewmodel/WorkspaceActions.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QString>
#include <QTextBoundaryFinder>

#include <openssl/crypto.h>
#include <QThread>

#include <algorithm>
#include <cstdio>

namespace {

// The PIN text of a field as UTF-8 bytes in a wiping buffer.
SecureBytes pinBytes(std::string_view text) { return SecureBytes(text); }

// The status in hexadecimal, as the status tables list it, so a line can be matched to its code.
void logFailure(std::string_view operation, IOReturn status)
{
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%08X", status);
    logLine(std::string(operation) + ": failed, error = " + hex);
}

} // namespace

DeviceViewModel::DeviceViewModel(QObject* parent) : DeviceViewModel(Dependencies{}, parent) {}

DeviceViewModel::DeviceViewModel(Dependencies dependencies, QObject* parent)
    : QObject(parent),
      config_(dependencies.config ? std::move(dependencies.config) : std::make_shared<QSettingsConfig>()),
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
        pcscMonitor_ = PcscMonitor::create(
            [this](bool present, const std::string& reader) { cardChanged(present, reader); });
    }
}

DeviceViewModel::~DeviceViewModel() { shutdown(); }

void DeviceViewModel::shutdown()
{
    if (stopped_.exchange(true))
        return;
    {
        std::lock_guard lock(hopMutex_);
        shuttingDown_ = true;
    }
    hopCv_.notify_all();
    // A block waiting for a touch would hold the queue for ever: cancel it, then stop what feeds the queue.
    ctap2_->sendCmdCancel();
    if (pcscHelper_)
        pcscHelper_->stop();
    hidHelper_->stopUsb();
    hidHelper_->setMonitorCallback({});
    hidHelper_->setWaitUserInputAction({});
    queue_.stop();
    pcscMonitor_.reset();
}

void DeviceViewModel::assertMainThread() const { Q_ASSERT(QThread::currentThread() == thread()); }

// ---------------------------------------------------------------------------------------------------------
// Threads and device binding

void DeviceViewModel::runOnMain(std::function<void()> block)
{
    // Queued even on the main thread, so blocks keep their order; dropped with the object. The block goes over
    // under our own mutex and the queued call carries nothing: a hand-over inside Qt's event queue is invisible
    // to the thread sanitizer, which would take every block run on the main thread for a race.
    {
        std::lock_guard lock(mainBlocksMutex_);
        mainBlocks_.push_back(std::move(block));
    }
    QMetaObject::invokeMethod(this, "runNextMainBlock", Qt::QueuedConnection);
}

void DeviceViewModel::runNextMainBlock()
{
    std::function<void()> block;
    {
        std::lock_guard lock(mainBlocksMutex_);
        if (mainBlocks_.empty())
            return;
        block = std::move(mainBlocks_.front());
        mainBlocks_.pop_front();
    }
    block();
}

void DeviceViewModel::runOnMainSync(const std::function<void()>& block)
{
    if (QThread::currentThread() == thread()) {
        block();
        return;
    }
    // The block may reach into the waiting caller's frame, so it either runs while the caller waits or not at
    // all: once shutdown has begun, a block that has not started is skipped and the caller stops waiting.
    struct Hop {
        bool started = false;
        bool done = false;
    };
    auto hop = std::make_shared<Hop>();
    runOnMain([this, block, hop] {
        {
            std::lock_guard lock(hopMutex_);
            if (shuttingDown_)
                return;
            hop->started = true;
        }
        block();
        {
            std::lock_guard lock(hopMutex_);
            hop->done = true;
        }
        hopCv_.notify_all();
    });
    std::unique_lock lock(hopMutex_);
    hopCv_.wait(lock, [&] { return hop->done || (shuttingDown_ && !hop->started); });
}

void DeviceViewModel::runOnQueue(std::function<void()> block) { queue_.async(std::move(block)); }

IOReturn DeviceViewModel::runOnHid(const Operation& op, const std::shared_ptr<HidDevice>& device)
{
    hidHelper_->setDevice(device);
    ctap2_->setHidHelper(hidHelper_);
    const IOReturn status = op();
    ctap2_->setHidHelper(nullptr);
    return status;
}

IOReturn DeviceViewModel::runOnPcsc(const Operation& op, const std::string& readerName)
{
    if (!pcscHelper_ || !pcscMonitor_)
        return kIOReturnError;
    pcscHelper_->setCancel(false);
    pcscHelper_->setActiveCard(pcscMonitor_->getActiveCard(readerName));
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

void DeviceViewModel::startUsbThread()
{
    if (usbStarted_)
        return;
    usbStarted_ = true;
    hidHelper_->initUsb();
}

// ---------------------------------------------------------------------------------------------------------
// Pages, buttons and the message box

void DeviceViewModel::setCurrentView(View view)
{
    currentView_ = view;
    showView(view);
}

void DeviceViewModel::showView(View view)
{
    if (view != View::deviceList)
        setDeviceListViewVisible(false);
    if (view != View::pin)
        setPinViewVisible(false);
    if (view != View::settings)
        setSettingsViewVisible(false);
    if (view != View::credMgmt)
        setCredMgmtViewVisible(false);
    switch (view) {
    case View::deviceList: setDeviceListViewVisible(true); break;
    case View::pin: setPinViewVisible(true); break;
    case View::settings: setSettingsViewVisible(true); break;
    case View::credMgmt: setCredMgmtViewVisible(true); break;
    }
}

void DeviceViewModel::setDeviceListViewVisible(bool visible)
{
    if (visible && selectedDeviceItem_) {
        // The selected key is read again; its row is replaced when the work queue reports back.
        beginBusy();
        const DeviceItem item = *selectedDeviceItem_;
        runOnQueue([this, item] {
            refreshDevice(item);
            runOnMain([this] { endBusy(); });
        });
    }
    // The list always opens with no key selected, whatever was selected when it was left.
    if (visible && !deviceListViewVisible_ && selectedDeviceItem_) {
        setSelectedDeviceItem(std::nullopt);
        selectedDeviceChanged();
    }
    setDeviceListViewVisibleFlag(visible);
}

void DeviceViewModel::updateButtons()
{
    setSetPinVisible(supportsPin() && !isPinSet());
    setChangePinVisible(isPinSet());
    setResetVisible(selectedDeviceItem_.has_value());
    setCredMgmtVisible(advancedMode_ && selectedDeviceItem_ && selectedDeviceItem_->hasCredMgmt);
}

void DeviceViewModel::selectedDeviceChanged()
{
    updateButtons();
    if (!selectedDeviceItem_) {
        std::lock_guard lock(stateMutex_);
        currentDevicePath_.reset();
        return;
    }
    const DeviceItem item = *selectedDeviceItem_;
    {
        std::lock_guard lock(stateMutex_);
        currentDevicePath_ = item.device;
    }
    runOnQueue([this, item] {
        bool stillSelected = false;
        {
            std::lock_guard lock(stateMutex_);
            stillSelected = currentDevicePath_ && *currentDevicePath_ == item.device;
        }
        if (stillSelected)
            winkDevice(item);
    });
}

void DeviceViewModel::selectDeviceItem(const std::optional<DeviceItem>& item)
{
    if (busy_ || samePublishedValue(selectedDeviceItem_, item))
        return;
    setSelectedDeviceItem(item);
    selectedDeviceChanged();
}

std::string DeviceViewModel::deviceStatus(const DeviceItem& item) const
{
    return deviceStatusText(item.retries, item.pinPresent, item.hasCredMgmt, rawValue(language_), *stringTables_);
}

void DeviceViewModel::showPinViewForSetOrChange()
{
    if (busy_)
        return;
    pinAuthen_ = false;
    setCurrentView(View::pin);
}

void DeviceViewModel::showPinViewForCredMgmt()
{
    if (busy_)
        return;
    pinAuthen_ = true;
    targetView_ = View::credMgmt;
    setCurrentView(View::pin);
}

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
    if (messageBoxInfo_.result && selectedDeviceItem_)
        setWaitReinsert(selectedDeviceItem_->device);
}

void DeviceViewModel::presentMessageBox(std::string title, std::string message, std::string ok,
                                        std::optional<std::string> cancel, std::function<void()> callback)
{
    runOnMain([this, title = std::move(title), message = std::move(message), ok = std::move(ok),
               cancel = std::move(cancel), callback = std::move(callback)]() mutable {
        messageBoxInfo_ = MessageBoxInfo{std::move(title), std::move(message), std::move(ok), std::move(cancel), true,
                                         std::move(callback)};
        emit messageBoxInfoChanged();
        setShowMessageBox(true);
    });
}

void DeviceViewModel::closeMessageBox(bool okPressed)
{
    if (!showMessageBox_)
        return;
    messageBoxInfo_.result = okPressed;
    setShowMessageBox(false);
    if (auto callback = messageBoxInfo_.callback)
        callback();
}

// ---------------------------------------------------------------------------------------------------------
// Device list

std::string DeviceViewModel::deviceName(const Device& device)
{
    if (device.isHidDevice())
        return hidHelper_->getProductName();
    return pcscHelper_ ? pcscHelper_->getAtr() : std::string{};
}

std::pair<DeviceItem, IOReturn> DeviceViewModel::readDeviceInfo(const Device& device)
{
    DeviceItem item;
    item.device = device;
    IOReturn status = ctap2_->sendCmdInit().second;
    if (status == kIOReturnSuccess) {
        item.cid = ctap2_->cid();
        auto [info, infoStatus] = ctap2_->getInfo();
        status = infoStatus;
        if (status == kIOReturnSuccess) {
            item.deviceName = displayName(deviceName(device));
            item.pinProtocol = ctap2_->pinProtocol();
            item.aaguid = info.aaguid;
            std::string protocols;
            for (const auto& version : info.versions)
                protocols += (protocols.empty() ? "" : ", ") + version;
            item.protocols = protocols;
            if (info.firmwareVersion != 0)
                item.firmware = std::to_string(info.firmwareVersion);
            if (auto it = info.options.find("clientPin"); it != info.options.end())
                item.pinPresent = it->second;
            if (auto it = info.options.find("credMgmt"); it != info.options.end()) {
                item.hasCredMgmt = it->second;
            } else if (auto pre = info.options.find("credentialMgmtPreview"); pre != info.options.end()) {
                item.hasCredMgmt = pre->second;
                item.fido2Pre = true;
            }
            if (item.pinProtocol != PinProtocol::None) {
                auto [retries, retriesStatus] = ctap2_->getPinRetries();
                status = retriesStatus;
                if (status == kIOReturnSuccess) {
                    item.retries = retries.retries;
                    if (info.minPINLength > 0)
                        item.minPinLength = info.minPINLength;
                }
            }
        }
    }
    return {item, status};
}

void DeviceViewModel::addDevice(const Device& device)
{
    DeviceItem item;
    const IOReturn status = runOnDevice(
        [&] {
            auto [read, readStatus] = readDeviceInfo(device);
            item = std::move(read);
            return readStatus;
        },
        device);
    if (status != kIOReturnSuccess) {
        logFailure("addDevice", status);
        return;
    }
    if (item.aaguid.empty())
        return;
    runOnMainSync([this, &item] {
        auto list = deviceList_;
        list.push_back(item);
        setDeviceList(list);
    });
}

void DeviceViewModel::removeDevice(const Device& device)
{
    // A token is good only on the key that gave it: it is not kept in memory once that key has left.
    if (tokenDevice_ && *tokenDevice_ == device) {
        authenToken_->clear();
        tokenDevice_.reset();
    }
    runOnMainSync([this, &device] {
        if (selectedDeviceItem_ && selectedDeviceItem_->device == device) {
            setSelectedDeviceItem(std::nullopt);
            selectedDeviceChanged();
            if (currentView_ == View::pin || currentView_ == View::credMgmt)
                setCurrentView(View::deviceList);
        }
        auto list = deviceList_;
        std::erase_if(list, [&](const DeviceItem& i) { return i.device == device; });
        setDeviceList(list);
    });
}

void DeviceViewModel::refreshDevice(const DeviceItem& item)
{
    DeviceItem fresh;
    const IOReturn status = runOnDevice(
        [&] {
            auto [read, readStatus] = readDeviceInfo(item.device);
            fresh = std::move(read);
            return readStatus;
        },
        item.device);
    // A half-read key would replace a good row with defaults (no retries, no minimum): the old row stays.
    if (status != kIOReturnSuccess) {
        logFailure("refreshDevice", status);
        return;
    }
    if (fresh.aaguid.empty())
        return;
    runOnMainSync([this, &item, &fresh] {
        auto list = deviceList_;
        auto it = std::find(list.begin(), list.end(), item);
        if (it == list.end())
            return;
        *it = fresh;
        setDeviceList(list);
    });
}

void DeviceViewModel::winkDevice(const DeviceItem& item)
{
    runOnDevice([this] { return ctap2_->sendCmdWink(); }, item);
}

void DeviceViewModel::hidDeviceChanged(const std::shared_ptr<HidDevice>& hid, bool inserted)
{
    runOnQueue([this, hid, inserted] {
        logLine(inserted ? "Device inserted" : "Device removed");
        const Device device = Device::hidDevice(hid);
        if (inserted) {
            if (!checkReinsert(device, std::nullopt))
                addDevice(device);
        } else {
            removeDevice(device);
        }
    });
}

std::string DeviceViewModel::readCardIdentity(const Device& device)
{
    std::string id;
    runOnDevice(
        [&] {
            if (PcscHelper* pcsc = ctap2_->pcscHelper())
                id = pcsc->getAtr();
            return id.empty() ? kIOReturnError : kIOReturnSuccess;
        },
        device);
    return id;
}

void DeviceViewModel::cardChanged(bool present, const std::string& reader)
{
    logLine(reader + ": card " + (present ? "present" : "absent"));
    runOnQueue([this, present, reader] {
        const Device device = Device::pcscDevice(reader);
        if (!present) {
            removeDevice(device);
            return;
        }
        const std::string id = readCardIdentity(device);
        if (!jovFidoDeviceFromRawValue(id))
            return;
        if (checkReinsert(device, id))
            return;
        bool listed = false;
        runOnMainSync([&] {
            listed = std::any_of(deviceList_.begin(), deviceList_.end(),
                                 [&](const DeviceItem& i) { return i.device == device; });
        });
        if (!listed)
            addDevice(device);
    });
}

void DeviceViewModel::replaceSelectedItem(const DeviceItem& updated)
{
    if (!selectedDeviceItem_)
        return;
    const DeviceItem old = *selectedDeviceItem_;
    auto list = deviceList_;
    std::replace(list.begin(), list.end(), old, updated);
    setDeviceList(list);
    setSelectedDeviceItem(updated);
}

// ---------------------------------------------------------------------------------------------------------
// PIN page

bool DeviceViewModel::supportsPin() const
{
    return selectedDeviceItem_ && selectedDeviceItem_->pinProtocol != PinProtocol::None;
}

bool DeviceViewModel::isPinSet() const { return selectedDeviceItem_ && selectedDeviceItem_->pinPresent; }

std::uint64_t DeviceViewModel::minimumPinLength() const
{
    // A key that reports no minimum (every CTAP 2.0 key) still takes no PIN shorter than the protocol's.
    return selectedDeviceItem_ ? std::max(selectedDeviceItem_->minPinLength, pinLengthMin) : pinLengthMin;
}

void DeviceViewModel::setPinViewVisible(bool visible)
{
    if (visible) {
        setupPinFields();
        // OK must reflect the fields as they are now, never a state left from an earlier visit.
        updatePinInputDone();
    } else {
        clearPinFields();
    }
    setPinViewVisibleFlag(visible);
}

void DeviceViewModel::setupPinFields()
{
    setHasOldPin(isPinSet() && !pinAuthen_);
    setHasNewPin(!pinAuthen_ || !isPinSet());
    setHasConfirmPin(!pinAuthen_ || !isPinSet());
    setHasAuthPin(isPinSet() && pinAuthen_);
    updatePinLengthHint();
}

void DeviceViewModel::clearPinFields()
{
    setAuthPin({});
    setOldPin({});
    setNewPin({});
    setConfirmPin({});
}

void DeviceViewModel::updatePinLengthHint()
{
    setPinLengthHint(pinLengthHintText(uiStr_.pinLengthHint, minimumPinLength(), pinLengthMax));
}

void DeviceViewModel::sanitizePinInput(std::string& text)
{
    if (text.empty() || text.find(' ') == std::string::npos)
        return;
    // Drop the last character (a whole UTF-8 sequence).
    std::size_t cut = text.size() - 1;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80)
        --cut;
    text.erase(cut);
}

void DeviceViewModel::updatePinInputDone()
{
    if (pinAuthen_ && isPinSet()) {
        setPinInputDone(!authPin_.empty());
        return;
    }
    setPinInputDone((!isPinSet() || !oldPin_.empty()) && !newPin_.empty() && !confirmPin_.empty());
}

std::size_t DeviceViewModel::characterCount(std::string_view text) const
{
    QString s = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
    std::size_t count = 0;
    {
        QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, s);
        while (finder.toNextBoundary() != -1)
            ++count;
    }
    // The count is all that is kept of the PIN.
    OPENSSL_cleanse(s.data(), static_cast<std::size_t>(s.size()) * sizeof(QChar));
    return count;
}

std::optional<std::string> DeviceViewModel::checkPinLength(std::string_view pin) const
{
    // Never accept an empty PIN, whatever minimum the key reports; and the key takes at most 63 bytes.
    const std::uint64_t min = std::max<std::uint64_t>(minimumPinLength(), 1);
    const std::size_t chars = characterCount(pin);
    if (chars < min || chars > pinLengthMax || pin.size() > pinLengthMax)
        return pinLengthMessageText(uiStr_.pinChangeLength, minimumPinLength(), pinLengthMax);
    return std::nullopt;
}

std::optional<std::string> DeviceViewModel::checkNewPin() const
{
    if (auto message = checkPinLength(newPin_.view()))
        return message;
    if (auto message = checkPinLength(confirmPin_.view()))
        return message;
    if (newPin_ != confirmPin_)
        return uiStr_.pinChangeNotMatch;
    return std::nullopt;
}

void DeviceViewModel::setOrChangePinOnDevice(bool pinSet, std::function<void(IOReturn)> done)
{
    if (!selectedDeviceItem_) {
        done(kIOReturnError);
        return;
    }
    beginBusy();
    const DeviceItem item = *selectedDeviceItem_;
    auto oldPin = std::make_shared<SecureBytes>(pinBytes(oldPin_.view()));
    auto newPin = std::make_shared<SecureBytes>(pinBytes(newPin_.view()));
    runOnQueue([this, item, pinSet, oldPin, newPin, done = std::move(done)] {
        const IOReturn status = runOnDevice(
            [&] { return pinSet ? ctap2_->changePin(*oldPin, *newPin) : ctap2_->setPin(*newPin); }, item);
        oldPin->clear();
        newPin->clear();
        runOnMain([this, status, done] {
            endBusy();
            done(status);
        });
    });
}

void DeviceViewModel::authenticatePin(std::function<void(bool)> done)
{
    if (!selectedDeviceItem_) {
        done(false);
        return;
    }
    beginBusy();
    const DeviceItem item = *selectedDeviceItem_;
    auto pin = std::make_shared<SecureBytes>(pinBytes(authPin_.view()));
    runOnQueue([this, item, pin, done = std::move(done)] {
        const IOReturn status = runOnDevice(
            [&] { return authenToken_->requestToken(*pin, Permission::CredentialManagement); }, item);
        tokenDevice_ = item.device;
        pin->clear();
        runOnMain([this, status, done] {
            endBusy();
            done(status == kIOReturnSuccess);
        });
    });
}

void DeviceViewModel::pinOkClicked()
{
    if (busy_)
        return;
    if (!pinAuthen_) {
        const std::string title = uiStr_.pinMessageBoxTitle;
        if (auto message = checkNewPin()) {
            presentMessageBox(title, *message, uiStr_.pinOk, std::nullopt, {});
            return;
        }
        const bool pinSet = isPinSet();
        setOrChangePinOnDevice(pinSet, [this, title, pinSet](IOReturn status) {
            const bool ok = status == kIOReturnSuccess;
            const std::string message = ok ? uiStr_.pinNewPinSet : pinSet ? uiStr_.pinWrongPin : uiStr_.pinSetFailed;
            presentMessageBox(title, message, uiStr_.pinOk, std::nullopt, {});
            if (ok)
                setCurrentView(View::deviceList);
        });
        return;
    }

    const std::string title = uiStr_.pinAuthTitle;
    auto authenticate = [this, title] {
        authenticatePin([this, title](bool ok) {
            if (ok) {
                pinAuthen_ = false;
                setCurrentView(targetView_);
            } else {
                presentMessageBox(title, uiStr_.pinAuthFailed, uiStr_.pinOk, std::nullopt, {});
            }
        });
    };
    if (isPinSet()) {
        if (auto message = checkPinLength(authPin_.view())) {
            presentMessageBox(title, *message, uiStr_.pinOk, std::nullopt, {});
            return;
        }
        authenticate();
        return;
    }
    // A key without a PIN: set the new PIN first, then authenticate with it.
    if (auto message = checkNewPin()) {
        presentMessageBox(title, *message, uiStr_.pinOk, std::nullopt, {});
        return;
    }
    setOrChangePinOnDevice(false, [this, title, authenticate](IOReturn status) {
        if (status != kIOReturnSuccess) {
            presentMessageBox(title, uiStr_.pinSetFailed, uiStr_.pinOk, std::nullopt, {});
            return;
        }
        // The key has a PIN now: a failing token step must not send the user back to setting one.
        if (selectedDeviceItem_) {
            DeviceItem updated = *selectedDeviceItem_;
            updated.pinPresent = true;
            replaceSelectedItem(updated);
        }
        // The page now shows what the key needs from here on, the Security PIN, holding the PIN just set.
        setAuthPin(newPin_);
        setNewPin({});
        setConfirmPin({});
        setupPinFields();
        updatePinInputDone();
        authenticate();
    });
}

void DeviceViewModel::pinCancelClicked()
{
    if (busy_)
        return;
    setCurrentView(View::deviceList);
}

// ---------------------------------------------------------------------------------------------------------
// Credential page

void DeviceViewModel::setCredMgmtViewVisible(bool visible)
{
    if (visible && needUpdateRpList_) {
        setLoading(true);
        setRpList({});
        if (selectedDeviceItem_) {
            const DeviceItem item = *selectedDeviceItem_;
            runOnQueue([this, item] { loadRpList(item); });
        } else {
            runOnQueue([this] {
                runOnMain([this] {
                    setLoading(false);
                    updateCredMgmtDeleteButtonEnable();
                    updateCredMgmtCountInfo();
                });
            });
        }
    }
    needUpdateRpList_ = !visible;
    setCredMgmtViewVisibleFlag(visible);
}

void DeviceViewModel::updateCredMgmtDeleteButtonEnable()
{
    setCredMgmtDeleteButtonEnable(
        std::any_of(rpList_.begin(), rpList_.end(), [](const RpItem& item) { return item.isChecked; }));
}

void DeviceViewModel::updateCredMgmtCountInfo()
{
    setCredMgmtCountInfo(credentialCountText(existingCount_.load(), remainingCount_.load(), rawValue(language_),
                                             *stringTables_));
}

void DeviceViewModel::setRpItemChecked(std::size_t index, bool checked)
{
    if (index >= rpList_.size() || rpList_[index].isChecked == checked)
        return;
    auto list = rpList_;
    list[index].isChecked = checked;
    setRpList(list);
    updateCredMgmtDeleteButtonEnable();
}

IOReturn DeviceViewModel::readCredsMetadata(const SecureBytes& token, const SSecret& secret)
{
    auto [existing, remaining, status] = ctap2_->getCredsMetadata(token, secret);
    if (status != kIOReturnSuccess) {
        // Zero counts would read as an empty key: the last counts the key gave stay.
        logFailure("readCredsMetadata", status);
        return status;
    }
    existingCount_ = existing;
    remainingCount_ = remaining;
    return status;
}

void DeviceViewModel::loadRpList(const DeviceItem& item)
{
    const SecureBytes& token = authenToken_->getToken();
    const auto& secret = authenToken_->getSharedSecret();
    IOReturn status = kIOReturnNotPermitted;
    if (!token.empty() && secret) {
        // Another program's token request makes ours stale, and the key then refuses every request with it: that
        // is a failure to show, never an empty key (an empty key answers the enumeration with an empty list).
        status = runOnDevice(
            [&] {
                if (const IOReturn metadata = readCredsMetadata(token, *secret); metadata != kIOReturnSuccess)
                    return metadata;
                auto [rps, totalRps, rpStatus] = ctap2_->enumerateRPs(token, *secret);
                if (rpStatus != kIOReturnSuccess)
                    return rpStatus;
                for (const RpInfo& rp : rps) {
                    auto [creds, total, credStatus] = ctap2_->enumerateCredentials(token, *secret, rp.idHash);
                    if (credStatus != kIOReturnSuccess)
                        return credStatus;
                    std::vector<RpItem> rows;
                    for (const CredentialInfo& cred : creds) {
                        RpItem row;
                        row.id = rp.id;
                        row.name = removeSpaces(rp.name).empty() ? rp.id : rp.name;
                        row.idHash = bytesToHexString(rp.idHash);
                        row.userId = cred.userEntity.id;
                        row.userName = cred.userEntity.name;
                        row.credentialId = bytesToHexString(cred.publicKeyCredentialDescriptor.id);
                        row.credType = cred.publicKeyCredentialDescriptor.type;
                        rows.push_back(std::move(row));
                    }
                    runOnMain([this, rows = std::move(rows)] {
                        auto list = rpList_;
                        list.insert(list.end(), rows.begin(), rows.end());
                        setRpList(list);
                    });
                }
                return kIOReturnSuccess;
            },
            item);
    }
    if (status != kIOReturnSuccess)
        logFailure("loadRpList", status);
    runOnMain([this, failed = status != kIOReturnSuccess] {
        setLoading(false);
        if (failed) {
            // Rows read before the failure would pass for the whole key.
            setRpList({});
            // Back to the list, so the way in again goes through the PIN page and a new token.
            if (currentView_ == View::credMgmt) {
                presentMessageBox(uiStr_.btnCredMgmt, uiStr_.credMgmtReadFailed, uiStr_.pinOk, std::nullopt, {});
                setCurrentView(View::deviceList);
            }
        }
        updateCredMgmtDeleteButtonEnable();
        updateCredMgmtCountInfo();
    });
}

IOReturn DeviceViewModel::deleteRpItem(const std::string& credentialId, const std::string& credType)
{
    const SecureBytes& token = authenToken_->getToken();
    const auto& secret = authenToken_->getSharedSecret();
    if (token.empty() || !secret)
        return kIOReturnError;
    const IOReturn status =
        ctap2_->deleteCredential(token, *secret, PublicKeyCredentialDescriptor{hexToBytes(credentialId), credType});
    readCredsMetadata(token, *secret);
    return status;
}

void DeviceViewModel::credMgmtDeleteClicked()
{
    if (busy_ || !selectedDeviceItem_)
        return;
    const DeviceItem item = *selectedDeviceItem_;
    const std::string prompt = uiStr_.touchPrompt;
    beginBusy();
    runOnQueue([this, item, prompt] {
        bool deletionFailed = false;
        const IOReturn status = runOnDevice(
            [&] {
                setTouchPromptText(prompt);
                const IOReturn touch = ctap2_->fido2Pre() ? ctap2_->selectDevice() : ctap2_->selection();
                if (touch != kIOReturnSuccess)
                    return touch;
                // The rows ticked at the moment of the touch, last first.
                std::vector<std::pair<std::string, std::string>> ticked;
                runOnMainSync([&] {
                    for (auto it = rpList_.rbegin(); it != rpList_.rend(); ++it)
                        if (it->isChecked)
                            ticked.emplace_back(it->credentialId, it->credType);
                });
                for (const auto& [credentialId, credType] : ticked) {
                    if (const IOReturn deleted = deleteRpItem(credentialId, credType); deleted != kIOReturnSuccess) {
                        // Its row stays, ticked, so the user sees which credential is still on the key.
                        logFailure("credMgmtDeleteClicked", deleted);
                        deletionFailed = true;
                        continue;
                    }
                    runOnMain([this, credentialId] {
                        auto list = rpList_;
                        std::erase_if(list, [&](const RpItem& row) { return row.credentialId == credentialId; });
                        setRpList(list);
                    });
                }
                return touch;
            },
            item);
        if (status != kIOReturnSuccess)
            logFailure("credMgmtDeleteClicked", status);
        runOnMain([this, deletionFailed] {
            updateCredMgmtDeleteButtonEnable();
            updateCredMgmtCountInfo();
            endBusy();
            if (deletionFailed)
                presentMessageBox(uiStr_.btnCredMgmt, uiStr_.credMgmtDeleteFailed, uiStr_.pinOk, std::nullopt, {});
        });
    });
}

void DeviceViewModel::credMgmtBackClicked()
{
    if (busy_)
        return;
    setCurrentView(View::deviceList);
}

// ---------------------------------------------------------------------------------------------------------
// Reset after re-insert, and the touch prompt

void DeviceViewModel::setWaitReinsert(std::optional<Device> device)
{
    runOnQueue([this, device] {
        waitReinsertDevice_ = device;
        tapCount_ = 0;
        waitReinsertName_.reset();
        waitReinsertSerial_.clear();
        if (device && device->isHidDevice()) {
            waitReinsertName_ = device->hid() ? device->hid()->product() : std::string{};
            waitReinsertSerial_ = device->hid() ? device->hid()->serialNumber() : std::string{};
        } else if (device) {
            waitReinsertName_ = readCardIdentity(*device);
        }
        const int kind = !device ? 0 : device->isHidDevice() ? 1 : 2;
        runOnMain([this, kind] {
            setReinsertNeeded(kind != 0);
            setReinsertText(kind == 0 ? std::string{} : kind == 1 ? uiStr_.reinsertPrompt : uiStr_.reinsertPromptNfc);
        });
    });
}

bool DeviceViewModel::isAwaitedDevice(const Device& device, const std::optional<std::string>& id) const
{
    if (!waitReinsertDevice_)
        return false;
    if (device.isHidDevice()) {
        const auto hid = device.hid();
        if (!hid || !waitReinsertName_ || waitReinsertName_->empty() || hid->product() != *waitReinsertName_)
            return false;
        // The returning key is a new object: the same model, and the same serial number when keys report one.
        return waitReinsertSerial_.empty() || hid->serialNumber() == waitReinsertSerial_;
    }
    return device == *waitReinsertDevice_ && waitReinsertName_ && id && !waitReinsertName_->empty() &&
           *waitReinsertName_ == *id;
}

bool DeviceViewModel::checkReinsert(const Device& device, const std::optional<std::string>& id)
{
    if (!waitReinsertDevice_ || !isAwaitedDevice(device, id))
        return false;
    UIStringVal texts;
    runOnMainSync([&] { texts = uiStr_; });
    auto endWait = [this] {
        waitReinsertDevice_.reset();
        waitReinsertName_.reset();
        waitReinsertSerial_.clear();
        tapCount_ = 0;
        runOnMain([this] {
            setReinsertNeeded(false);
            setReinsertText({});
        });
    };
    IOReturn status = kIOReturnSuccess;
    if (device.isHidDevice()) {
        endWait();
        status = runOnDevice([this] { return ctap2_->sendCmdInit().second; }, device);
        if (status == kIOReturnSuccess)
            status = runOnDevice(
                [&] {
                    setTouchPromptText(texts.touchTwicePrompt);
                    return ctap2_->selectDevice();
                },
                device);
    } else {
        if (tapCount_ == 0) {
            tapCount_ = 1;
            return true;
        }
        endWait();
    }
    if (status == kIOReturnSuccess)
        status = runOnDevice(
            [&] {
                setTouchPromptText(texts.touchPrompt);
                return ctap2_->reset();
            },
            device);
    if (status == kIOReturnSuccess) {
        addDevice(device);
        presentMessageBox(texts.resetMessageBoxTitle, texts.resetSuccess, texts.pinOk, std::nullopt, {});
        return true;
    }
    if (status == kIOReturnAborted || status == kIOReturnNotPermitted)
        return false;
    presentMessageBox(texts.resetMessageBoxTitle, texts.resetFailed, texts.pinOk, std::nullopt, {});
    return false;
}

void DeviceViewModel::cancelReinsert()
{
    ctap2_->sendCmdCancel();
    setWaitReinsert(std::nullopt);
}

void DeviceViewModel::setTouchPromptText(std::string text)
{
    runOnMain([this, text = std::move(text)] { setTouchPromptTextValue(text); });
}

void DeviceViewModel::setWaitUserTouch(bool wait)
{
    runOnMain([this, wait] { setWaitUserTouchValue(wait); });
}

void DeviceViewModel::cancelUserTouch() { ctap2_->sendCmdCancel(); }

// ---------------------------------------------------------------------------------------------------------
// Settings, language and the top bar

void DeviceViewModel::initLanguage()
{
    loadLanguage();
    applyLanguage();
}

void DeviceViewModel::loadLanguage()
{
    setLanguage(languageFromRawValue(config_->get(Config::languageKey)).value_or(Language::EN));
}

void DeviceViewModel::applyLanguage()
{
    UIStringVal texts = uiStr_;
    texts.update(rawValue(language_), *stringTables_);
    setUiStr(texts);
    saveLanguage();
    if (pinViewVisible_)
        updatePinLengthHint();
    if (credMgmtViewVisible_)
        updateCredMgmtCountInfo();
}

void DeviceViewModel::saveLanguage()
{
    const std::string_view code = rawValue(language_);
    if (config_->get(Config::languageKey) != code)
        config_->set(Config::languageKey, code);
}

void DeviceViewModel::switchLanguage()
{
    setLanguage(next(language_));
    applyLanguage();
}

void DeviceViewModel::loadAdvancedMode() { setAdvancedMode(config_->get(Config::advancedModeKey) == "true"); }

void DeviceViewModel::saveAdvancedMode()
{
    const std::string value = advancedMode_ ? "true" : "false";
    if (config_->get(Config::advancedModeKey) != value)
        config_->set(Config::advancedModeKey, value);
    setCurrentView(View::deviceList);
}

void DeviceViewModel::setSettingsViewVisible(bool visible) { setSettingsViewVisibleFlag(visible); }

void DeviceViewModel::showSettings()
{
    if (busy_)
        return;
    setCurrentView(View::settings);
}

void DeviceViewModel::openOtpApp() { ::openOtpApp(*workspace_); }

void DeviceViewModel::openUserManual() { ::openUserManual(*workspace_); }
