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

void DeviceViewModel::sanitizePinInput(SecureString& text)
{
    // Spaces and the C0 and C1 control characters (line feeds and tabs come in with a paste; nobody can type
    // them into the field); every other character stays, in its place.
    const std::string_view in = text.view();
    auto dropped = [&](std::size_t i) -> std::size_t {
        const auto c = static_cast<unsigned char>(in[i]);
        if (c <= 0x20 || c == 0x7F)
            return 1;
        if (c == 0xC2 && i + 1 < in.size() && static_cast<unsigned char>(in[i + 1]) >= 0x80 &&
            static_cast<unsigned char>(in[i + 1]) <= 0x9F)
            return 2;
        return 0;
    };
    std::vector<char> kept(in.size());
    std::size_t length = 0;
    for (std::size_t i = 0; i < in.size();) {
        if (const std::size_t skip = dropped(i)) {
            i += skip;
            continue;
        }
        kept[length++] = in[i++];
    }
    if (length != in.size())
        text = SecureString(std::string_view(kept.data(), length));
    OPENSSL_cleanse(kept.data(), kept.size());
}

void DeviceViewModel::pinFieldEdited(PinField field, std::string_view typed)
{
    SecureString text(typed);
    sanitizePinInput(text);
    switch (field) {
    case PinField::oldPin: setOldPin(text); break;
    case PinField::newPin: setNewPin(text); break;
    case PinField::confirmPin: setConfirmPin(text); break;
    case PinField::authPin: setAuthPin(text); break;
    }
    updatePinInputDone();
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

void DeviceViewModel::setOrChangePin(PinStepDone done)
{
    const bool pinSet = isPinSet();
    if (auto message = checkNewPin()) {
        done(std::move(*message), false);
        return;
    }
    runOnSelectedWhileBusy(
        [this, pinSet, oldPin = pinBytes(oldPin_), newPin = pinBytes(newPin_)](const DeviceItem& item) {
            const IOReturn status = pinSet ? changePinOnDevice(item, *oldPin, *newPin) : setPinOnDevice(item, *newPin);
            oldPin->clear();
            newPin->clear();
            return status;
        },
        [this, pinSet, done = std::move(done)](Outcome outcome) {
            // When it is not known what the key did, the page's fields no longer fit the key: the list shows the key
            // as it is now.
            if (outcome == Outcome::unclear)
                setCurrentView(View::deviceList);
            done(pinOutcomeText(outcome, pinSet), outcome == Outcome::done);
        });
}

IOReturn DeviceViewModel::setPinOnDevice(const DeviceItem& item, const SecureBytes& newPin)
{
    return runOnDevice([&] { return ctap2_->setPin(newPin); }, item);
}

IOReturn DeviceViewModel::changePinOnDevice(const DeviceItem& item, const SecureBytes& oldPin,
                                            const SecureBytes& newPin)
{
    return runOnDevice([&] { return ctap2_->changePin(oldPin, newPin); }, item);
}

void DeviceViewModel::checkAuthPinLength(PinStepDone done)
{
    if (isPinSet()) {
        if (auto message = checkPinLength(authPin_.view()))
            done(std::move(*message), false);
        else
            done({}, true);
        return;
    }
    // A key without a PIN: the new PIN is set first, and the authentication then uses it.
    setOrChangePin([this, done = std::move(done)](std::string message, bool ok) {
        if (ok) {
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
        }
        done(std::move(message), ok);
    });
}

void DeviceViewModel::authenticatePin(std::function<void(Outcome)> done)
{
    runOnSelectedWhileBusy(
        [this, pin = pinBytes(authPin_)](const DeviceItem& item) {
            const IOReturn status =
                runOnDevice([&] { return authenToken_->requestToken(*pin, Permission::CredentialManagement); }, item);
            tokenDevice_ = item.device;
            pin->clear();
            return status;
        },
        std::move(done));
}

std::string DeviceViewModel::pinOutcomeText(Outcome outcome, bool change) const
{
    switch (outcome) {
    case Outcome::done: return uiStr_.pinNewPinSet;
    // Only the key's own word that the PIN was wrong says so; a blocked PIN or a policy refusal did not judge it.
    case Outcome::pinInvalid: return change ? uiStr_.pinWrongPin : uiStr_.pinSetFailed;
    case Outcome::pinBlocked: return uiStr_.pinBlocked;
    case Outcome::pinAuthBlocked: return uiStr_.pinAuthBlocked;
    case Outcome::refused: return uiStr_.pinSetFailed;
    case Outcome::unclear: return uiStr_.keyNoClearAnswer;
    case Outcome::notTaken: return uiStr_.keyBusyNothingChanged;
    case Outcome::cancelled: return {}; // the user's own doing: nothing to tell
    }
    return uiStr_.pinSetFailed;
}

std::string DeviceViewModel::pinAuthFailureText(Outcome outcome) const
{
    switch (outcome) {
    // "Wrong PIN" only when the key said so; a lost or unreadable answer is no verdict on the PIN.
    case Outcome::pinInvalid: return uiStr_.pinAuthFailed;
    // Entering the PIN again cannot help here: the text says what does.
    case Outcome::pinBlocked: return uiStr_.pinBlocked;
    case Outcome::pinAuthBlocked: return uiStr_.pinAuthBlocked;
    case Outcome::done:
    case Outcome::refused:
    case Outcome::unclear:
    case Outcome::notTaken: return uiStr_.credMgmtReadFailed;
    case Outcome::cancelled: return {};
    }
    return uiStr_.credMgmtReadFailed;
}

void DeviceViewModel::pinOkClicked()
{
    if (busy_)
        return;
    const bool authentication = pinAuthen_;
    const std::string title = authentication ? uiStr_.pinAuthTitle : uiStr_.pinMessageBoxTitle;
    PinStepDone checked = [this, authentication, title](std::string message, bool ok) {
        // A PIN set or changed is always told; before an authentication, only a step that failed. A step the user
        // cancelled has nothing to tell: the page stays as it was.
        if ((!ok || !authentication) && !message.empty())
            showNotice(title, std::move(message));
        if (!ok)
            return;
        if (!authentication) {
            setCurrentView(View::deviceList);
            return;
        }
        authenticatePin([this, title](Outcome outcome) {
            if (outcome == Outcome::done) {
                pinAuthen_ = false;
                setCurrentView(targetView_);
            } else if (outcome != Outcome::cancelled) {
                showNotice(title, pinAuthFailureText(outcome));
            }
        });
    };
    if (authentication)
        checkAuthPinLength(std::move(checked));
    else
        setOrChangePin(std::move(checked));
}

void DeviceViewModel::pinCancelClicked()
{
    switchViewUnlessBusy(View::deviceList);
}
