#pragma once

#include "fido/HidHelper.h"
#include "fido/PcscHelper.h"
#include "fido/PcscMonitor.h"
#include "softkey/SoftAuthenticator.h"
#include "support/CardRig.h"
#include "support/Eventually.h"
#include "support/UsbKeyRig.h"

#include <atomic>
#include <memory>
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
        if (transport_ == Transport::Usb) {
            usb_ = std::make_unique<UsbKeyRig>();
            usb_->helper().setWaitUserInputAction(onTouchPrompt);
            usbKey_ = &usb_->plug(std::move(config), "KWO FIDO", {}, usbOptions);
        } else {
            card_ = std::make_unique<CardRig>(std::move(config), std::move(cardOptions));
            pcsc_ = std::make_unique<PcscHelper>(onTouchPrompt);
        }
    }
    ~SoftKeyLink()
    {
        close();
        monitor_.reset();
        if (manager_)
            manager_->stop();
    }
    SoftKeyLink(const SoftKeyLink&) = delete;
    SoftKeyLink& operator=(const SoftKeyLink&) = delete;

    static const char* name(Transport transport) { return transport == Transport::Usb ? "Usb" : "Card"; }

    // The PC/SC service the card is reached through (pcsc-lite unless set before open()).
    void setPcscApi(std::shared_ptr<PcscApi> api) { pcscApi_ = std::move(api); }
    // Plugs the key in, or lays the card on the reader and selects the applet. False when that failed.
    bool open()
    {
        if (usb_) {
            usb_->start();
            usb_->helper().setDevice(usbKey_->device);
            return true;
        }
        if (!card_->insert())
            return false;
        // A card is usable once the monitor reports it: its session is open by then.
        auto onCard = [this](bool present, const std::string& reader) {
            cardReported_ = cardReported_ || (present && reader == card_->readerName());
        };
        if (pcscApi_)
            manager_ = std::make_shared<SmartCardSlotManager>(pcscApi_);
        monitor_ = manager_ ? PcscMonitor::create(onCard, manager_) : PcscMonitor::create(onCard);
        monitor_->startWatching();
        if (!eventually([&] { return cardReported_.load(); }, std::chrono::seconds(5)))
            return false;
        std::shared_ptr<SmartCard> card = monitor_->getActiveCard(card_->readerName());
        cardBound_ = card && pcsc_->setActiveCard(card) == kIOReturnSuccess;
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
    // The transport to bind, nullptr for the other one.
    HidHelper* hidHelper() { return usb_ ? &usb_->helper() : nullptr; }
    PcscHelper* pcscHelper() { return pcsc_.get(); }
    UsbKeyRig::Key* usbKey() { return usbKey_; }
    CardRig* card() { return card_.get(); }

    // The key goes away while the link is open: unplugged, or taken off the reader. Safe from any thread.
    void removeKey() { usb_ ? usb_->unplug(*usbKey_) : card_->front().remove(); }
    // What the key's front has received so far: HID reports, or APDUs.
    std::size_t received() const
    {
        return usb_ ? usbKey_->front->reportsReceived() : card_->front().receivedApdus().size();
    }
    // HID reports the key sent (0 for a card, whose answers pair with its APDUs).
    std::size_t sent() const { return usb_ ? usbKey_->front->reportsSent() : 0; }
    // How often the transport raised the touch prompt.
    int touchPrompts() const { return touchPrompts_.load(); }

private:
    const Transport transport_;
    std::atomic<int> touchPrompts_{0};
    std::unique_ptr<UsbKeyRig> usb_;
    UsbKeyRig::Key* usbKey_ = nullptr;
    std::unique_ptr<CardRig> card_;
    std::shared_ptr<PcscApi> pcscApi_;
    std::shared_ptr<SmartCardSlotManager> manager_;
    std::shared_ptr<PcscMonitor> monitor_;
    std::unique_ptr<PcscHelper> pcsc_;
    std::atomic<bool> cardReported_{false};
    bool cardBound_ = false;
};
