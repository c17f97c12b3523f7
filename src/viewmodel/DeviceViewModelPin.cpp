#include "viewmodel/DeviceViewModel.h"

#include "viewmodel/TextTemplates.h"

#include <QString>
#include <QTextBoundaryFinder>

#include <openssl/crypto.h>

#include <algorithm>

namespace
{

// The PIN text of a field as UTF-8 bytes in a wiping buffer, shared with the work queue.
std::shared_ptr<SecureBytes> pinBytes(const SecureString& text)
{
    return std::make_shared<SecureBytes>(text.view());
}

} // namespace

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

bool DeviceViewModel::supportsPin() const
{
    return selectedDeviceItem_ && selectedDeviceItem_->pinProtocol != PinProtocol::None;
}

bool DeviceViewModel::isPinSet() const
{
    return selectedDeviceItem_ && selectedDeviceItem_->pinPresent;
}

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
    runOnSelectedWhileBusy(
        [this, pinSet, oldPin = pinBytes(oldPin_), newPin = pinBytes(newPin_)](const DeviceItem& item) {
            const IOReturn status = runOnDevice(
                [&] { return pinSet ? ctap2_->changePin(*oldPin, *newPin) : ctap2_->setPin(*newPin); }, item);
            oldPin->clear();
            newPin->clear();
            return status;
        },
        std::move(done));
}

void DeviceViewModel::authenticatePin(std::function<void(bool)> done)
{
    runOnSelectedWhileBusy(
        [this, pin = pinBytes(authPin_)](const DeviceItem& item) {
            const IOReturn status =
                runOnDevice([&] { return authenToken_->requestToken(*pin, Permission::CredentialManagement); }, item);
            tokenDevice_ = item.device;
            pin->clear();
            return status;
        },
        [done = std::move(done)](IOReturn status) { done(status == kIOReturnSuccess); });
}

void DeviceViewModel::pinOkClicked()
{
    if (busy_)
        return;
    if (!pinAuthen_) {
        const std::string title = uiStr_.pinMessageBoxTitle;
        if (auto message = checkNewPin()) {
            showNotice(title, *message);
            return;
        }
        const bool pinSet = isPinSet();
        setOrChangePinOnDevice(pinSet, [this, title, pinSet](IOReturn status) {
            const bool ok = status == kIOReturnSuccess;
            showNotice(title, ok ? uiStr_.pinNewPinSet : pinSet ? uiStr_.pinWrongPin : uiStr_.pinSetFailed);
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
                showNotice(title, uiStr_.pinAuthFailed);
            }
        });
    };
    if (isPinSet()) {
        if (auto message = checkPinLength(authPin_.view())) {
            showNotice(title, *message);
            return;
        }
        authenticate();
        return;
    }
    // A key without a PIN: set the new PIN first, then authenticate with it.
    if (auto message = checkNewPin()) {
        showNotice(title, *message);
        return;
    }
    setOrChangePinOnDevice(false, [this, title, authenticate](IOReturn status) {
        if (status != kIOReturnSuccess) {
            showNotice(title, uiStr_.pinSetFailed);
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
    switchViewUnlessBusy(View::deviceList);
}
