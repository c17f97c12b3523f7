#include "softkey/VpcdCard.h"

#include <PCSC/winscard.h>
#include <PCSC/wintypes.h>

#include <gtest/gtest.h>

#include <thread>

namespace {

constexpr const char* kReader0 = "Virtual PCD 00 00";

// Waits until pcscd reports the reader's card present (or absent).
bool waitForCard(SCARDCONTEXT ctx, bool present, std::chrono::seconds limit = std::chrono::seconds(5))
{
    SCARD_READERSTATE state{};
    state.szReader = kReader0;
    state.dwCurrentState = SCARD_STATE_UNAWARE;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (SCardGetStatusChange(ctx, 500, &state, 1) == SCARD_S_SUCCESS) {
            const bool isPresent = (state.dwEventState & SCARD_STATE_PRESENT) != 0;
            if (isPresent == present)
                return true;
            state.dwCurrentState = state.dwEventState;
        }
    }
    return false;
}

} // namespace

TEST(VpcdCard, PcscdSeesInsertApduAndRemove)
{
    VpcdPortLock lock(VpcdCard::kPortReader0);
    SCARDCONTEXT ctx = 0;
    ASSERT_EQ(SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &ctx), SCARD_S_SUCCESS)
        << "pcscd must be running";
    VpcdCard card(VpcdCard::kPortReader0, Bytes{0x3B, 0x80, 0x80, 0x01, 0x01}, [](const Bytes& apdu) {
        Bytes reply = apdu; // echo, then 90 00
        reply.push_back(0x90);
        reply.push_back(0x00);
        return reply;
    });
    ASSERT_TRUE(card.insert());
    ASSERT_TRUE(waitForCard(ctx, true));

    SCARDHANDLE handle = 0;
    DWORD protocol = 0;
    ASSERT_EQ(SCardConnect(ctx, kReader0, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &handle, &protocol),
              SCARD_S_SUCCESS);
    const BYTE apdu[] = {0x00, 0xA4, 0x04, 0x00, 0x02, 0xAB, 0xCD};
    BYTE reply[64];
    DWORD replyLen = sizeof reply;
    const SCARD_IO_REQUEST* pci = protocol == SCARD_PROTOCOL_T0 ? SCARD_PCI_T0 : SCARD_PCI_T1;
    ASSERT_EQ(SCardTransmit(handle, pci, apdu, sizeof apdu, nullptr, reply, &replyLen), SCARD_S_SUCCESS);
    ASSERT_EQ(replyLen, sizeof apdu + 2);
    EXPECT_EQ(reply[replyLen - 2], 0x90);
    SCardDisconnect(handle, SCARD_LEAVE_CARD);

    card.remove();
    EXPECT_TRUE(waitForCard(ctx, false));
    SCardReleaseContext(ctx);
}
