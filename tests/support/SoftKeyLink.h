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
    void setPcscApi(std::shared_ptr<PcscApi> api) { manager_ = std::make_shared<SmartCardSlotManager>(std::move(api)); }
    // Plugs the key in, or lays the card on the reader and selects the applet once the monitor reports the card
    // (its session is open by then). False when that failed.
    bool open()
    {
        if (usb_) {
            usb_->start();
            usb_->helper().setDevice(usbKey_->device);
            return true;
        }
        monitor_ = PcscMonitor::create(
            [this](bool present, const std::string& reader) {
                if (reader == card_->readerName())
                    cardReported_ = present;
            },
            manager_ ? manager_ : SmartCardSlotManager::defaultManager());
        monitor_->startWatching();
        cardBound_ = card_->insert() && eventually([&] { return cardReported_.load(); }, std::chrono::seconds(5)) &&
                     pcsc_->setActiveCard(monitor_->getActiveCard(card_->readerName())) == kIOReturnSuccess;
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

    // The key goes away while the link is open (unplugged, or taken off the reader); safe from any thread.
    void removeKey() { usb_ ? usb_->unplug(*usbKey_) : card_->front().remove(); }
    // What the key's front has received so far: HID reports, or APDUs; and HID reports it sent (0 for a card).
    std::size_t received() const
    {
        return usb_ ? usbKey_->front->reportsReceived() : card_->front().receivedApdus().size();
    }
    std::size_t sent() const { return usb_ ? usbKey_->front->reportsSent() : 0; }
    // How often the transport raised the touch prompt.
    int touchPrompts() const { return touchPrompts_.load(); }

private:
    const Transport transport_;
    std::atomic<int> touchPrompts_{0};
    std::atomic<bool> cardReported_{false};
    bool cardBound_ = false;
    std::unique_ptr<UsbKeyRig> usb_;
    UsbKeyRig::Key* usbKey_ = nullptr;
    std::unique_ptr<CardRig> card_;
    std::shared_ptr<SmartCardSlotManager> manager_;
    std::shared_ptr<PcscMonitor> monitor_;
    std::unique_ptr<PcscHelper> pcsc_;
};
