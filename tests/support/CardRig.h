#pragma once

#include "platform/SmartCardSlotManager.h"
#include "softkey/NfcCardFront.h"
#include "support/Eventually.h"

#include <string>

// A software key as a contactless card on one vpcd reader. It holds the reader's port lock for its whole life
// and leaves the reader empty when it goes, so the next test starts clean.
class CardRig {
public:
    explicit CardRig(SoftKeyConfig config = {}, NfcCardFront::Options options = {},
                     std::uint16_t port = VpcdCard::kPortReader0)
        : port_(port), readerName_(readerNameFor(port)), lock_(port), key_(std::move(config)),
          front_(key_, std::move(options))
    {
        waitForReader(false); // a card left by an earlier test may still be seen until pcscd's next poll
    }
    ~CardRig() { remove(); }
    CardRig(const CardRig&) = delete;
    CardRig& operator=(const CardRig&) = delete;

    static std::string readerNameFor(std::uint16_t port)
    {
        return port == VpcdCard::kPortReader1 ? "Virtual PCD 00 01" : "Virtual PCD 00 00";
    }
    const std::string& readerName() const { return readerName_; }
    std::uint16_t port() const { return port_; }
    SoftAuthenticator& key() { return key_; }
    NfcCardFront& front() { return front_; }

    // Puts the card on the reader / takes it off, and waits until the process-wide reader watching sees it.
    bool insert() { return front_.insert(port_) && waitForReader(true); }
    bool remove()
    {
        front_.remove();
        return waitForReader(false);
    }
    bool waitForReader(bool present, std::chrono::milliseconds limit = std::chrono::seconds(5)) const
    {
        return waitForReader(readerName_, present, limit);
    }
    static bool waitForReader(const std::string& reader, bool present, std::chrono::milliseconds limit)
    {
        const auto reached = [&] {
            const auto slot = SmartCardSlotManager::defaultManager()->getSlotWithName(reader);
            return slot && (slot->state() == SmartCardSlotState::validCard) == present;
        };
        return eventually(reached, limit);
    }

private:
    const std::uint16_t port_;
    const std::string readerName_;
    VpcdPortLock lock_;
    SoftAuthenticator key_;
    NfcCardFront front_;
};
