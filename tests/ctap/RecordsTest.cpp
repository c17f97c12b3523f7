#include "ctap/Info.h"
#include "ctap/PinProtocol.h"
#include "ctap/ResponseInit.h"

#include <gtest/gtest.h>

TEST(Records, DefaultsAndProtocolValues)
{
    const Info info;
    EXPECT_TRUE(info.aaguid.empty());
    EXPECT_FALSE(info.forcePINChange);
    EXPECT_EQ(info.minPINLength, 0u);
    EXPECT_EQ(info.remainingDiscoverableCredentials, 0u);
    EXPECT_EQ(ResponseInit{}.cid, 0u);
    EXPECT_FALSE(pinProtocolFromRaw(3));
    EXPECT_EQ(pinProtocolFromRaw(0), PinProtocol::None);
    EXPECT_EQ(rawValue(PinProtocol::Two), 2u);
}
