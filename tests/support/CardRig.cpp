#include "support/CardRig.h"

#include <PCSC/winscard.h>
#include <PCSC/wintypes.h>

std::string CardRig::readerNameFor(std::uint16_t port)
{
    return port == VpcdCard::kPortReader1 ? "Virtual PCD 00 01" : "Virtual PCD 00 00";
}

CardRig::CardRig(SoftKeyConfig config, NfcCardFront::Options options, std::uint16_t port)
    : port_(port), readerName_(readerNameFor(port)), lock_(port),
      key_(std::make_unique<SoftAuthenticator>(std::move(config))),
      front_(std::make_unique<NfcCardFront>(*key_, std::move(options)))
{
    // A card left by an earlier test may still be seen until pcscd's next poll.
    waitForReader(false);
}

CardRig::~CardRig() { remove(); }

bool CardRig::insert() { return front_->insert(port_) && waitForReader(true); }

bool CardRig::remove()
{
    if (front_->inserted())
        front_->remove();
    return waitForReader(false);
}

bool CardRig::waitForReader(bool present, std::chrono::milliseconds limit) const
{
    SCARDCONTEXT ctx = 0;
    if (SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &ctx) != SCARD_S_SUCCESS)
        return false;
    SCARD_READERSTATE state{};
    state.szReader = readerName_.c_str();
    state.dwCurrentState = SCARD_STATE_UNAWARE;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    bool reached = false;
    while (!reached && std::chrono::steady_clock::now() < deadline) {
        if (SCardGetStatusChange(ctx, 200, &state, 1) == SCARD_S_SUCCESS) {
            reached = ((state.dwEventState & SCARD_STATE_PRESENT) != 0) == present;
            state.dwCurrentState = state.dwEventState & ~static_cast<DWORD>(SCARD_STATE_CHANGED);
        }
    }
    SCardReleaseContext(ctx);
    return reached;
}
