#include "ctap/PinCommand.h"
#include "ctap/PinResponse.h"

#include "TestHex.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

namespace {

KeyAgreement sampleKey()
{
    KeyAgreement k;
    k.keyX = Bytes(32, 0xAA);
    k.keyY = Bytes(32, 0xBB);
    return k;
}

std::string coseHex() { return "A501020338182001215820" + std::string(64, 'A') + "225820" + std::string(64, 'B'); }

} // namespace

TEST(PinCommandTest, GoldenRequests)
{
    EXPECT_EQ(X(PinCommand::getKeyAgreement(PinProtocol::Two)), "06A201020202");
    EXPECT_EQ(X(PinCommand::getRetries(PinProtocol::One)), "06A201010201");
    EXPECT_EQ(X(PinCommand::getKeyAgreement(PinProtocol::None)), "06A201000202");
    EXPECT_EQ(X(PinCommand::setPin(sampleKey(), Bytes{1}, Bytes{2}, PinProtocol::Two)),
              "06A501020203" "03" + coseHex() + "044101054102");
    EXPECT_EQ(X(PinCommand::chgPin(sampleKey(), Bytes{1}, Bytes{2}, Bytes{3}, PinProtocol::One)),
              "06A601010204" "03" + coseHex() + "044101054102064103");
    EXPECT_EQ(X(PinCommand::getPinToken(sampleKey(), Bytes{3}, PinProtocol::One)),
              "06A401010205" "03" + coseHex() + "064103");
    EXPECT_EQ(X(PinCommand::getPinUvAuthTokenUsingPinWithPermissions(sampleKey(), Bytes{3},
                                                                      Permission::CredentialManagement,
                                                                      PinProtocol::Two)),
              "06A501020209" "03" + coseHex() + "0641030904");
    EXPECT_EQ(X(PinCommand::getPinUvAuthTokenUsingUvWithPermissions(sampleKey(), Permission::CredentialManagement, "",
                                                                     PinProtocol::Two)),
              "06A501020206" "03" + coseHex() + "09040A60");
}

TEST(PinResponseTest, KeyAgreement)
{
    LogCapture log;
    auto [key, ok] = PinResponse::parseCborPinGetKeyAgreement(H("A101" + coseHex()));
    EXPECT_TRUE(ok);
    EXPECT_EQ(key, sampleKey());
    // Algorithm -7 and 48-byte coordinates still parse: the values are judged later.
    auto [odd, ok2] = PinResponse::parseCborPinGetKeyAgreement(
        H("A101A501020326200121" "5830" + std::string(96, 'C') + "22" "5830" + std::string(96, 'D')));
    EXPECT_TRUE(ok2);
    EXPECT_EQ(odd.algorithm, -7);
    EXPECT_EQ(odd.keyX.size(), 48u);
    EXPECT_TRUE(log.lines().empty());
    // Without -3: failure, the line, and an empty keyY.
    auto [partial, ok3] = PinResponse::parseCborPinGetKeyAgreement(
        H("A101A4010203381820012158 20" + std::string(64, 'A')));
    EXPECT_FALSE(ok3);
    EXPECT_TRUE(partial.keyY.empty());
    EXPECT_EQ(log.count("parseCborPinGetKeyAgreement: CBOR decode error"), 1);
    EXPECT_FALSE(PinResponse::parseCborPinGetKeyAgreement(H("")).second);
    EXPECT_FALSE(PinResponse::parseCborPinGetKeyAgreement(H("A1016161")).second);
}

TEST(PinResponseTest, TokenAndRetries)
{
    LogCapture log;
    auto [token, ok] = PinResponse::parseCborPinGetPinToken(H("A1024401020304"));
    EXPECT_TRUE(ok);
    EXPECT_EQ(token, (Bytes{1, 2, 3, 4}));
    auto [text, bad] = PinResponse::parseCborPinGetPinToken(H("A1026461626364"));
    EXPECT_FALSE(bad);
    EXPECT_TRUE(text.empty());
    EXPECT_EQ(log.count("parseCborPinGetPinToken: CBOR decode error"), 1);

    PinResponse::PinRetries r;
    EXPECT_TRUE(PinResponse::parseCborPinGetRetries(H("A10308"), r));
    EXPECT_EQ(r, (PinResponse::PinRetries{8, 0}));
    PinResponse::PinRetries uvOnly{7, 0};
    EXPECT_TRUE(PinResponse::parseCborPinGetRetries(H("A10502"), uvOnly));
    EXPECT_EQ(uvOnly, (PinResponse::PinRetries{7, 2}));
    // No count, or a count of the wrong kind (a negative one; a text beside a good one), is no answer.
    PinResponse::PinRetries none;
    for (const char* answer : {"A104F4", "", "A10320", "A2030805 6178"})
        EXPECT_FALSE(PinResponse::parseCborPinGetRetries(H(answer), none)) << answer;
    EXPECT_EQ(none, PinResponse::PinRetries{});
    EXPECT_EQ(log.count("parseCborPinGetRetries: CBOR decode error"), 4);
}
