#pragma once

#include "fido/HidHelper.h"
#include "softkey/CtaphidFront.h"
#include "softkey/SoftAuthenticator.h"
#include "support/SocketPairHidSource.h"

#include <list>
#include <memory>
#include <string>

// Software USB keys plugged into a HidHelper through socket pairs: the real transport code on one side, the
// software authenticator's CTAPHID front on the other. The HID thread runs from start() on.
class UsbKeyRig {
public:
    struct Key {
        std::shared_ptr<HidDevice> device;
        std::unique_ptr<SoftAuthenticator> key;
        std::unique_ptr<CtaphidFront> front;
        SoftAuthenticator& authenticator() { return *key; }
    };

    // Short waits, so time-out cases stay quick; the arrival pause is kept small but present.
    static HidHelper::Timing fastTiming();

    explicit UsbKeyRig(HidHelper::Timing t = fastTiming()) : helper_(std::make_unique<HidHelper>(source_, t)) {}
    ~UsbKeyRig();

    HidHelper& helper() { return *helper_; }
    SocketPairHidSource& source() { return *source_; }
    void start() { helper_->initUsb(); }

    // Plugs a new software key (a new device object every time).
    Key& plug(SoftKeyConfig config = {}, std::string product = "KWO FIDO", std::string serial = {},
              CtaphidFront::Options options = {});
    // The key leaves: its end hangs up and the host sees the removal.
    void unplug(Key& key);
    // The same authenticator (PIN, credentials) plugged in again: a new device object and a power-up.
    Key& replug(Key& key, CtaphidFront::Options options = {});

private:
    std::shared_ptr<SocketPairHidSource> source_ = std::make_shared<SocketPairHidSource>();
    std::unique_ptr<HidHelper> helper_;
    std::list<Key> keys_;
};
