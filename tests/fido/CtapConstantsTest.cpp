#include "fido/CtapConstants.h"

#include <gtest/gtest.h>

// Bytes off the wire that name nothing must not be taken for a status or command, and still read in a log line.
TEST(CtapConstants, RawBytesThatNameNothingAreRefused)
{
    EXPECT_FALSE(ctapErrorFromRaw(0x3B)); // KEEPALIVE as a command is not a status
    EXPECT_FALSE(ctapErrorFromRaw(0xE5)); // inside the extension range, but unnamed
    EXPECT_FALSE(ctaphidFromRaw(0x86));   // the bare code only, without the init bit
    EXPECT_FALSE(ctapStatusFromRaw(0));
    EXPECT_FALSE(ctapStatusFromRaw(3));
    EXPECT_EQ(ctapErrorName(0x3B), "UNKNOWN_0x3B");
}
