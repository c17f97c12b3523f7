#include "fido/Utils.h"

#include "TestHex.h"

#include <gtest/gtest.h>

TEST(Hex, BytesToHexString)
{
    EXPECT_EQ(bytesToHexString(Bytes{0x00, 0x0A, 0xFF}), "000AFF");
    EXPECT_EQ(bytesToHexString(Bytes{}), "");
}

TEST(Hex, HexToBytesPairRules)
{
    EXPECT_EQ(hexToBytes("0aFF"), (Bytes{0x0A, 0xFF}));
    EXPECT_EQ(hexToBytes("ABC"), (Bytes{0xAB}));        // odd last character ignored
    EXPECT_EQ(hexToBytes("zz01"), (Bytes{0x01}));       // a bad pair is dropped, not zero
    EXPECT_EQ(hexToBytes(""), Bytes{});
    EXPECT_EQ(hexToBytes("AB CD"), (Bytes{0xAB}));      // pairs AB and " C"; D left over
    EXPECT_EQ(hexToBytes("+F-0"), (Bytes{0x0F, 0x00})); // a sign before one digit parses
    EXPECT_EQ(hexToBytes("-1 F"), Bytes{});             // "-1" is negative, " F" has a space
    EXPECT_EQ(hexToBytes("0x"), Bytes{});               // no prefix handling
    EXPECT_EQ(hexToBytes("++"), Bytes{});
}

TEST(Hex, HexToBytesCountsCodePointsAndRefusesNonAscii)
{
    // "é" is one character (two UTF-8 bytes): the pairs are "éA" (dropped) and "BC".
    EXPECT_EQ(hexToBytes("\xC3\xA9" "ABC"), (Bytes{0xBC}));
    // Fullwidth digits are not hex digits.
    EXPECT_EQ(hexToBytes("\xEF\xBC\x91\xEF\xBC\x92" "12"), (Bytes{0x12}));
    // A stray continuation byte counts as one character of its own.
    EXPECT_EQ(hexToBytes("\x80" "1" "23"), (Bytes{0x23}));
}

TEST(Text, JoinAndRemoveSpaces)
{
    EXPECT_EQ(joinedWithSpace({"1", "2"}), "1 2");
    EXPECT_EQ(joinedWithSpace({"only"}), "only");
    EXPECT_EQ(joinedWithSpace({}), "");
    EXPECT_EQ(removeSpaces(" 1 2 "), "12");
    EXPECT_EQ(removeSpaces("a\tb"), "a\tb");
}

TEST(Bytes16, ByteOrder)
{
    EXPECT_EQ(toBytes(0x0102, CFByteOrderLittleEndian), (Bytes{0x02, 0x01}));
    EXPECT_EQ(toBytes(0x0102, CFByteOrderBigEndian), (Bytes{0x01, 0x02}));
    EXPECT_EQ(toBytes(0x0102, CFByteOrderUnknown), (Bytes{0x01, 0x02}));
}

TEST(HashAndRandom, Sha256AndRandomBytes)
{
    EXPECT_EQ(X(sha256(Bytes{'a', 'b', 'c'})), "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD");
    EXPECT_EQ(X(sha256(Bytes{})), "E3B0C44298FC1C149AFBF4C8996FB92427AE41E4649B934CA495991B7852B855");
    auto r = randomBytes(8);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->size(), 8u);
    EXPECT_TRUE(randomBytes(0) && randomBytes(0)->empty());
    EXPECT_FALSE(randomBytes(-1));
}
