#include "softkey/NfcCardFront.h"

#include "TestHex.h"

#include <PCSC/winscard.h>
#include <PCSC/wintypes.h>

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;
constexpr const char* kReader = "Virtual PCD 00 00";

bool waitForCard(SCARDCONTEXT ctx, bool present)
{
    SCARD_READERSTATE state{};
    state.szReader = kReader;
    state.dwCurrentState = SCARD_STATE_UNAWARE;
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (std::chrono::steady_clock::now() < deadline) {
        if (SCardGetStatusChange(ctx, 500, &state, 1) == SCARD_S_SUCCESS) {
            if (((state.dwEventState & SCARD_STATE_PRESENT) != 0) == present &&
                (present || (state.dwEventState & SCARD_STATE_EMPTY) != 0))
                return true;
            state.dwCurrentState = state.dwEventState & ~static_cast<DWORD>(SCARD_STATE_CHANGED);
        }
    }
    return false;
}

Bytes transmit(SCARDHANDLE h, DWORD protocol, const Bytes& apdu)
{
    BYTE reply[300];
    DWORD len = sizeof reply;
    const SCARD_IO_REQUEST* pci = protocol == SCARD_PROTOCOL_T0 ? SCARD_PCI_T0 : SCARD_PCI_T1;
    if (SCardTransmit(h, pci, apdu.data(), static_cast<DWORD>(apdu.size()), nullptr, reply, &len) != SCARD_S_SUCCESS)
        return {};
    return Bytes(reply, reply + len);
}

} // namespace

TEST(NfcCardPcscd, TwoTapsAreTwoPowerUpsSeenByPcscd)
{
    VpcdPortLock lock(VpcdCard::kPortReader0);
    SCARDCONTEXT ctx = 0;
    ASSERT_EQ(SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &ctx), SCARD_S_SUCCESS);
    ASSERT_TRUE(waitForCard(ctx, false)) << "the reader must start empty";

    SoftKeyConfig config;
    config.resetWindow = 0ms; // only a power-up... which opens nothing: every reset is refused
    SoftAuthenticator key(config);
    NfcCardFront card(key);
    ASSERT_TRUE(card.insert(VpcdCard::kPortReader0));
    ASSERT_TRUE(waitForCard(ctx, true));
    SCARDHANDLE h = 0;
    DWORD protocol = 0;
    ASSERT_EQ(SCardConnect(ctx, kReader, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &h, &protocol),
              SCARD_S_SUCCESS);
    EXPECT_EQ(X(transmit(h, protocol, H("FFCA010000"))), "0E783381024A4F56204B574F30329000");
    EXPECT_EQ(X(transmit(h, protocol, H("00A4040008A0000006472F000100"))), "4649444F5F325F309000");
    EXPECT_EQ(X(transmit(h, protocol, H("80108000010700"))), "309000"); // reset outside the window
    SCardDisconnect(h, SCARD_LEAVE_CARD);

    card.remove();
    ASSERT_TRUE(waitForCard(ctx, false));
    key.updateConfig([](SoftKeyConfig& c) { c.resetWindow = 10s; });
    ASSERT_TRUE(card.insert(VpcdCard::kPortReader0)); // the second tap is a new power-up
    ASSERT_TRUE(waitForCard(ctx, true));
    ASSERT_EQ(SCardConnect(ctx, kReader, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &h, &protocol),
              SCARD_S_SUCCESS);
    EXPECT_EQ(X(transmit(h, protocol, H("00A4040008A0000006472F000100"))), "4649444F5F325F309000");
    Bytes r = transmit(h, protocol, H("80108000010700"));
    for (int i = 0; i < 100 && r.size() >= 2 && r[r.size() - 2] == 0x91; ++i)
        r = transmit(h, protocol, H("8011000000"));
    EXPECT_EQ(X(r), "009000");
    SCardDisconnect(h, SCARD_LEAVE_CARD);
    card.remove();
    EXPECT_TRUE(waitForCard(ctx, false));
    SCardReleaseContext(ctx);
}
