#pragma once

#include "softkey/NfcCardFront.h"
#include "softkey/SoftAuthenticator.h"
#include "softkey/VpcdCard.h"

#include <memory>
#include <string>

// A software key as a contactless card on one vpcd reader. It holds the reader's port lock for its whole life
// and leaves the reader empty (as pcscd sees it) when it goes, so the next test starts clean.
class CardRig {
public:
    explicit CardRig(SoftKeyConfig config = {}, NfcCardFront::Options options = {},
                     std::uint16_t port = VpcdCard::kPortReader0);
    ~CardRig();
    CardRig(const CardRig&) = delete;
    CardRig& operator=(const CardRig&) = delete;

    static std::string readerNameFor(std::uint16_t port);
    const std::string& readerName() const { return readerName_; }
    std::uint16_t port() const { return port_; }
    SoftAuthenticator& key() { return *key_; }
    NfcCardFront& front() { return *front_; }

    // Puts the card on the reader / takes it off, and waits until pcscd reports the change.
    bool insert();
    bool remove();
    bool waitForReader(bool present, std::chrono::milliseconds limit = std::chrono::seconds(5)) const;

private:
    const std::uint16_t port_;
    const std::string readerName_;
    VpcdPortLock lock_;
    std::unique_ptr<SoftAuthenticator> key_;
    std::unique_ptr<NfcCardFront> front_;
};
