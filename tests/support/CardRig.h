#pragma once

#include "platform/PcscApi.h"
#include "softkey/NfcCardFront.h"
#include "softkey/SoftAuthenticator.h"
#include "softkey/VpcdCard.h"

#include <string>

// A software key as a contactless card on one vpcd reader. It holds the reader's port lock for its whole life
// and leaves the reader empty (as pcscd sees it) when it goes, so the next test starts clean.
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

    // Puts the card on the reader / takes it off, and waits until pcscd reports the change.
    bool insert() { return front_.insert(port_) && waitForReader(true); }
    bool remove()
    {
        front_.remove();
        return waitForReader(false);
    }
    bool waitForReader(bool present, std::chrono::milliseconds limit = std::chrono::seconds(5)) const
    {
        const auto api = PcscApi::system();
        SCARDCONTEXT context = 0;
        if (api->establishContext(context) != SCARD_S_SUCCESS)
            return false;
        SCARD_READERSTATE state{};
        state.szReader = readerName_.c_str();
        const auto deadline = std::chrono::steady_clock::now() + limit;
        bool reached = false;
        while (!reached && std::chrono::steady_clock::now() < deadline) {
            if (api->getStatusChange(context, 200, std::span(&state, 1)) == SCARD_S_SUCCESS) {
                reached = ((state.dwEventState & SCARD_STATE_PRESENT) != 0) == present;
                state.dwCurrentState = state.dwEventState & ~static_cast<DWORD>(SCARD_STATE_CHANGED);
            }
        }
        api->releaseContext(context);
        return reached;
    }

private:
    const std::uint16_t port_;
    const std::string readerName_;
    VpcdPortLock lock_;
    SoftAuthenticator key_;
    NfcCardFront front_;
};
