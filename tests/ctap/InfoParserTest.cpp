#include "ctap/InfoParser.h"

#include "TestHex.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

TEST(InfoParserTest, TypicalAnswer)
{
    Info info;
    PinProtocol p = PinProtocol::Two;
    // {1: ["U2F_V2", "FIDO_2_0"], 3: 16 bytes, 4: {"clientPin": true, "rk": true}, 6: [1]}
    ASSERT_TRUE(parseInfo(H("A4 01 82 6655 3246 5F56 32 68 4649 444F 5F32 5F30"
                            "03 50 000102030405060708090A0B0C0D0E0F"
                            "04 A2 69 636C69656E7450696E F5 62 726B F5"
                            "06 81 01"),
                          info, p));
    EXPECT_EQ(info.versions, (std::vector<std::string>{"U2F_V2", "FIDO_2_0"}));
    EXPECT_EQ(info.aaguid, "000102030405060708090A0B0C0D0E0F");
    EXPECT_EQ(info.options.size(), 2u);
    EXPECT_TRUE(info.options.at("clientPin"));
    EXPECT_EQ(info.pinUvAuthProtocols, std::vector<std::uint64_t>{1});
    EXPECT_EQ(p, PinProtocol::One);
}

TEST(InfoParserTest, ProtocolChoice)
{
    Info info;
    PinProtocol p = PinProtocol::None;
    parseInfo(H("A1 06 82 02 01"), info, p);
    EXPECT_EQ(p, PinProtocol::Two);
    parseInfo(H("A1 06 80"), info, p);
    EXPECT_EQ(p, PinProtocol::None);
    parseInfo(H("A1 05 01"), info, p);
    EXPECT_EQ(p, PinProtocol::None);
    // A newer protocol this client does not know is passed over for the best one it does.
    parseInfo(H("A1 06 83 03 02 01"), info, p);
    EXPECT_EQ(p, PinProtocol::Two);
    EXPECT_EQ(info.pinUvAuthProtocols, (std::vector<std::uint64_t>{3, 2, 1}));
}

// A field of the wrong kind makes the answer malformed; what could be read is kept, so the key can still be named.
TEST(InfoParserTest, WrongKindsAreMalformedButTheRestIsRead)
{
    LogCapture log;
    Info info;
    PinProtocol p = PinProtocol::None;
    // versions ["U2F_V2", 2, -1]; options {"clientPin": 1}; firmwareVersion -5; minPINLength as text key ignored.
    ASSERT_FALSE(parseInfo(H("A5 01 83 6655 3246 5F56 32 02 20"
                            "04 A1 69 636C69656E7450696E 01"
                            "0E 24"
                            "0A 82 A2 63 616C67 26 64 74797065 6A 7075626C69632D6B6579 01"
                            "13 A2 6146 6147 6148 01"),
                          info, p));
    EXPECT_EQ(info.versions, (std::vector<std::string>{"U2F_V2", "2", "-1"}));
    EXPECT_TRUE(info.options.empty());
    EXPECT_EQ(info.firmwareVersion, 0u);
    ASSERT_EQ(info.algorithms.size(), 1u);
    EXPECT_EQ(info.algorithms[0], (std::map<std::string, std::string>{{"type", "public-key"}}));
    EXPECT_EQ(info.certifications, (std::map<std::string, std::string>{{"F", "G"}}));
    // An AAGUID that is not 16 bytes is no AAGUID.
    EXPECT_FALSE(parseInfo(H("A1 03 42 0102"), info, p));
    EXPECT_TRUE(info.aaguid.empty());
    EXPECT_EQ(log.count("parseInfo: CBOR decode error"), 2);
}

TEST(InfoParserTest, NotAMap)
{
    Info info;
    info.firmwareVersion = 9;
    PinProtocol p = PinProtocol::Two;
    EXPECT_FALSE(parseInfo(H(""), info, p));
    EXPECT_EQ(info, Info{});
    EXPECT_EQ(p, PinProtocol::None);
    EXPECT_FALSE(parseInfo(H("80"), info, p));
}
