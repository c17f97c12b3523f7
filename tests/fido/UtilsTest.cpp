#include "fido/Utils.h"

#include "TestHex.h"

#include <gtest/gtest.h>

// Text is read in pairs of Unicode characters; a pair that is not two hex digits (or a sign and one) is dropped.
TEST(Hex, HexToBytesPairRules)
{
    const std::pair<const char*, Bytes> rows[] = {
        {"0aFF", {0x0A, 0xFF}}, {"ABC", {0xAB}}, {"zz01", {0x01}}, {"", {}}, {"AB CD", {0xAB}}, {"+F-0", {0x0F, 0x00}},
        {"-1 F", {}}, {"0x", {}}, {"++", {}},
        {"\xC3\xA9" "ABC", {0xBC}},                 // "é" is one character: the pairs are "éA" and "BC"
        {"\xEF\xBC\x91\xEF\xBC\x92" "12", {0x12}}, // fullwidth digits are not hex digits
        {"\x80" "1" "23", {0x23}},                  // a stray continuation byte is a character of its own
    };
    for (const auto& [text, bytes] : rows)
        EXPECT_EQ(hexToBytes(text), bytes) << text;
}

TEST(Utils, TextsByteOrderHashAndRandom)
{
    EXPECT_EQ(joinedWithSpace({"1", "2"}), "1 2");
    EXPECT_EQ(joinedWithSpace({"only"}), "only");
    EXPECT_EQ(joinedWithSpace({}), "");
    EXPECT_EQ(removeSpaces(" 1\t2 "), "1\t2");
    EXPECT_EQ(toBytes(0x0102, CFByteOrderLittleEndian), (Bytes{0x02, 0x01}));
    EXPECT_EQ(toBytes(0x0102, CFByteOrderBigEndian), (Bytes{0x01, 0x02}));
    EXPECT_EQ(toBytes(0x0102, CFByteOrderUnknown), (Bytes{0x01, 0x02}));
    EXPECT_EQ(X(sha256(Bytes{'a', 'b', 'c'})), "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD");
    EXPECT_EQ(X(sha256(Bytes{})), "E3B0C44298FC1C149AFBF4C8996FB92427AE41E4649B934CA495991B7852B855");
    EXPECT_EQ(randomBytes(8).value_or(Bytes{}).size(), 8u);
    EXPECT_EQ(randomBytes(0), Bytes{});
    EXPECT_FALSE(randomBytes(-1));
}
