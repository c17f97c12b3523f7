#include "fido/CtapConstants.h"

#include <gtest/gtest.h>

#include <set>

TEST(CtapConstants, ErrorCodesAreExactlyTheNamedBytes)
{
    int named = 0;
    for (int b = 0; b <= 0xFF; ++b)
        if (ctapErrorFromRaw(static_cast<std::uint8_t>(b)))
            ++named;
    EXPECT_EQ(named, 49);
    EXPECT_FALSE(ctapErrorFromRaw(0x3B)); // KEEPALIVE as a command is not a status
    EXPECT_FALSE(ctapErrorFromRaw(0xE5)); // inside the extension range, but unnamed
    EXPECT_EQ(ctapErrorFromRaw(0x31), CTAPHID_ERROR_CODE::ERR_PIN_INVALID);
    EXPECT_EQ(ctapErrorFromRaw(0xFF), CTAPHID_ERROR_CODE::ERR_VENDOR_LAST);
}

TEST(CtapConstants, NamesForLogLines)
{
    EXPECT_EQ(ctapErrorName(0x31), "ERR_PIN_INVALID");
    EXPECT_EQ(ctapErrorName(0x3B), "UNKNOWN_0x3B");
    EXPECT_EQ(ctapErrorName(0x40), "UNKNOWN_0x40");
    EXPECT_EQ(toString(CTAPHID_ERROR_CODE::ERR_NO_ERROR), "ERR_NO_ERROR");
    EXPECT_EQ(toString(CTAPHID::KEEPALIVE), "KEEPALIVE");
    EXPECT_EQ(toString(CTAPSTATUS::UPNEEDED), "UPNEEDED");
}

TEST(CtapConstants, CommandAndKeepaliveValues)
{
    EXPECT_FALSE(ctaphidFromRaw(0x86)); // the bare code only, without the init bit
    EXPECT_EQ(ctaphidFromRaw(0x06), CTAPHID::INIT);
    EXPECT_EQ(ctaphidFromRaw(0x3B), CTAPHID::KEEPALIVE);
    EXPECT_EQ(ctapStatusFromRaw(2), CTAPSTATUS::UPNEEDED);
    EXPECT_FALSE(ctapStatusFromRaw(0));
    EXPECT_FALSE(ctapStatusFromRaw(3));
}
