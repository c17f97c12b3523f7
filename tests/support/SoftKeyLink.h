#pragma once

#include "fido/PcscHelper.h"
#include "fido/PcscMonitor.h"
#include "support/CardRig.h"
#include "support/Eventually.h"
#include "support/UsbKeyRig.h"

#include <atomic>
#include <utility>

// One software key reached through a real transport, ready for a CTAP client to bind: a USB key on a HidHelper
// over a socket pair, or a card on the first vpcd reader through pcscd (PcscMonitor + PcscHelper, FIDO applet
// selected). A card link holds the reader's port lock for its whole life, and its exchanges belong to the thread
// that opened it.
class SoftKeyLink {
public:
    enum class Transport { Usb, Card };

    explicit SoftKeyLink(Transport transport, SoftKeyConfig config = {}, CtaphidFront::Options usbOptions = {},
                         NfcCardFront::Options cardOptions = {})
        : transport_(transport)
    {
        auto onTouchPrompt = [this](bool waiting) { touchPrompts_ += waiting ? 1 : 0; };
        if (transport == Transport::Usb) {
            usb_ = std::make_unique<UsbKeyRig>();
            usb_->helper().setWaitUserInputAction(onTouchPrompt);
            usbKey_ = &usb_->plug(std::move(config), "KWO FIDO", {}, usbOptions);
        } else {
            card_ = std::make_unique<CardRig>(std::move(config), std::move(cardOptions));
            pcsc_ = std::make_unique<PcscHelper>(onTouchPrompt);
        }
    }
    ~SoftKeyLink() { close(); }
    SoftKeyLink(const SoftKeyLink&) = delete;
    SoftKeyLink& operator=(const SoftKeyLink&) = delete;

    static const char* name(Transport transport) { return transport == Transport::Usb ? "Usb" : "Card"; }

    // The PC/SC service the card is reached through (pcsc-lite unless set before open()).
    void setPcscApi(std::shared_ptr<PcscApi> api) { manager_ = std::make_shared<SmartCardSlotManager>(std::move(api)); }
    // Plugs the key in, or lays the card on the reader, binds it once the monitor has it and selects the applet.
    // False when that failed.
    bool open()
    {
        if (usb_) {
            usb_->start();
            usb_->helper().setDevice(usbKey_->device);
            return true;
        }
        monitor_ = PcscMonitor::create({}, manager_ ? manager_ : SmartCardSlotManager::defaultManager());
        monitor_->startWatching();
        const auto bind = [this] { // fails until the card's session is open
            const auto card = monitor_->getActiveCard(card_->readerName());
            return card && pcsc_->setActiveCard(card) == kIOReturnSuccess;
        };
        cardBound_ = card_->insert() && eventually(bind, std::chrono::seconds(5));
        return cardBound_ && pcsc_->sendCmdSelect() == kIOReturnSuccess;
    }
    // Deselects and unbinds the card; leaves the USB key plugged. The destructor calls it.
    void close()
    {
        if (std::exchange(cardBound_, false)) {
            pcsc_->sendCmdDeselect();
            pcsc_->setActiveCard(nullptr);
        }
    }

    Transport transport() const { return transport_; }
    SoftAuthenticator& key() { return usb_ ? usbKey_->authenticator() : card_->key(); }
    HidHelper* hidHelper() { return usb_ ? &usb_->helper() : nullptr; }
    PcscHelper* pcscHelper() { return pcsc_.get(); }
    UsbKeyRig::Key* usbKey() { return usbKey_; }
    CardRig* card() { return card_.get(); }

    // The key goes away while the link is open (unplugged, or taken off the reader); safe from any thread.
    void removeKey() { usb_ ? usb_->unplug(*usbKey_) : card_->front().remove(); }
    // What the key's front has received so far: HID reports, or APDUs; and HID reports it sent (0 for a card).
    std::size_t received() const
    {
        return usb_ ? usbKey_->front->reportsReceived() : card_->front().receivedApdus().size();
    }
    std::size_t sent() const { return usb_ ? usbKey_->front->reportsSent() : 0; }
    int touchPrompts() const { return touchPrompts_.load(); }

private:
    const Transport transport_;
    std::atomic<int> touchPrompts_{0};
    bool cardBound_ = false;
    std::unique_ptr<UsbKeyRig> usb_;
    UsbKeyRig::Key* usbKey_ = nullptr;
    std::unique_ptr<CardRig> card_;
    std::shared_ptr<SmartCardSlotManager> manager_;
    std::shared_ptr<PcscMonitor> monitor_; // goes first, with the handlers that hold the manager's slots
    std::unique_ptr<PcscHelper> pcsc_;
};
