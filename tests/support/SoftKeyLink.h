#pragma once

#include "fido/HidHelper.h"
#include "fido/PcscHelper.h"
#include "fido/PcscMonitor.h"
#include "softkey/SoftAuthenticator.h"
#include "support/CardRig.h"
#include "support/UsbKeyRig.h"

#include <atomic>
#include <memory>
#include <string>

// One software key reached through a real transport, ready for a CTAP client to bind: a USB key on a
// HidHelper over a socket pair, or a card on the first vpcd reader through pcscd (PcscMonitor + PcscHelper,
// FIDO applet selected). A card link holds the reader's port lock for its whole life, and its exchanges belong
// to the thread that opened it.
class SoftKeyLink {
public:
    enum class Transport { Usb, Card };

    explicit SoftKeyLink(Transport transport, SoftKeyConfig config = {}, CtaphidFront::Options usbOptions = {},
                         NfcCardFront::Options cardOptions = {});
    ~SoftKeyLink();
    SoftKeyLink(const SoftKeyLink&) = delete;
    SoftKeyLink& operator=(const SoftKeyLink&) = delete;

    static const char* name(Transport transport) { return transport == Transport::Usb ? "Usb" : "Card"; }

    // The PC/SC service the card is reached through (pcsc-lite unless set before open()).
    void setPcscApi(std::shared_ptr<PcscApi> api) { pcscApi_ = std::move(api); }
    // Plugs the key in, or lays the card on the reader and selects the applet. False when that failed.
    bool open();
    // Deselects and unbinds the card; leaves the USB key plugged. The destructor calls it.
    void close();

    Transport transport() const { return transport_; }
    SoftAuthenticator& key();
    // The transport to bind, nullptr for the other one.
    HidHelper* hidHelper();
    PcscHelper* pcscHelper() { return transport_ == Transport::Card ? pcsc_.get() : nullptr; }
    UsbKeyRig::Key* usbKey() { return usbKey_; }
    CardRig* card() { return card_.get(); }

    // The key goes away while the link is open: unplugged, or taken off the reader. Safe from any thread.
    void removeKey();
    // What the key's front has received so far: HID reports, or APDUs.
    std::size_t received() const;
    // HID reports the key sent (0 for a card, whose answers pair with its APDUs).
    std::size_t sent() const;
    // How often the transport raised the touch prompt.
    int touchPrompts() const { return touchPrompts_.load(); }

private:
    const Transport transport_;
    std::atomic<int> touchPrompts_{0};
    std::unique_ptr<UsbKeyRig> usb_;
    UsbKeyRig::Key* usbKey_ = nullptr;
    SoftKeyConfig config_;
    CtaphidFront::Options usbOptions_;
    std::unique_ptr<CardRig> card_;
    std::shared_ptr<PcscApi> pcscApi_;
    std::shared_ptr<SmartCardSlotManager> manager_;
    std::shared_ptr<PcscMonitor> monitor_;
    std::unique_ptr<PcscHelper> pcsc_;
    std::atomic<bool> cardReported_{false};
    bool cardBound_ = false;
};
