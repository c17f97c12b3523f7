// The client's requests byte for byte, and its parsers of the key's answers: the answers they refuse as malformed
// (one log line each) rather than read as empty or zero fields.
#include "ctap/CredentialManagementCommand.h"
#include "ctap/CredentialManagementResponse.h"
#include "ctap/Ctap2.h"
#include "ctap/InfoParser.h"
#include "ctap/PinCommand.h"

#include "TestHex.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>

namespace {

const KeyAgreement kKey{2, -25, 1, Bytes(32, 0xAA), Bytes(32, 0xBB)};
const std::string kCose = "A501020338182001215820" + X(kKey.keyX) + "225820" + X(kKey.keyY);
const auto kPeer = crypto::P256KeyPair::fromPrivateKey(Bytes(32, 0x42));
const SSecret kTwo = *SSecret::create(KeyAgreement{2, -25, 1, kPeer->x(), kPeer->y()}, PinProtocol::Two);
const SSecret kOne = *SSecret::create(KeyAgreement{2, -25, 1, kPeer->x(), kPeer->y()}, PinProtocol::One);

} // namespace

// Every request in CTAP 2 canonical CBOR, as python3-fido2 writes them too: integer keys ascending, text keys
// shorter first, integers in their shortest form; no entry left out for being empty.
TEST(CtapRequests, AreCanonical)
{
    const Permission cm = Permission::CredentialManagement;
    const std::string sd = "6C53656C656374446576696365"; // "SelectDevice"
    const std::string params = "A102A2 626964 42DEAD 6474797065 6A7075626C69632D6B6579";
    const Bytes token(32, 0x5A);
    const std::pair<Bytes, std::string> rows[] = {
        {PinCommand::getKeyAgreement(PinProtocol::Two), "06A201020202"},
        {PinCommand::getKeyAgreement(PinProtocol::None), "06A201000202"}, // no protocol chosen yet: 0
        {PinCommand::getRetries(PinProtocol::One), "06A201010201"},
        {PinCommand::setPin(kKey, Bytes{1}, Bytes{2}, PinProtocol::Two), "06A501020203 03" + kCose + "044101054102"},
        {PinCommand::chgPin(kKey, Bytes{1}, Bytes{2}, Bytes{3}, PinProtocol::One),
         "06A601010204 03" + kCose + "044101054102064103"},
        {PinCommand::getPinToken(kKey, Bytes{3}, PinProtocol::One), "06A401010205 03" + kCose + "064103"},
        {PinCommand::getPinUvAuthTokenUsingPinWithPermissions(kKey, Bytes{3}, cm, PinProtocol::Two),
         "06A501020209 03" + kCose + "0641030904"},
        {PinCommand::getPinUvAuthTokenUsingUvWithPermissions(kKey, cm, "", PinProtocol::Two),
         "06A501020206 03" + kCose + "09040A60"},
        {Ctap2::makeSelectDeviceRequest(),
         "01A6 015820 A6CB97932A23D9DA7F87221AB61D432B2BC28E66EE94397C1DC71FEDF47897CB 02A2 626964" + sd +
             "646E616D65" + sd + "03A3 626964 49112233445544332211 646E616D65" + sd + "6B646973706C61794E616D65" +
             sd + "0481A2 63616C67 26 6474797065 6A7075626C69632D6B6579 0840 0901"},
        {CredentialManagementCommand::enumerateRPsGetNextRP(), "0AA10103"},
        {CredentialManagementCommand::enumerateCredentialsGetNextCredential(), "0AA10105"},
        {CredentialManagementCommand::deleteCredential(token, kTwo, H("DEAD"), "public-key", PinProtocol::Two),
         "0AA4010602" + params + "0302045820" + X(kTwo.authenticate(token, H("06" + params)))},
        {CredentialManagementCommand::deleteCredential(token, kTwo, H("DEAD"), "", PinProtocol::Two),
         "0AA4010602 A102A2 626964 42DEAD 6474797065 60 0302045820" +
             X(kTwo.authenticate(token, H("06 A102A2 626964 42DEAD 6474797065 60")))},
    };
    for (const auto& [request, hex] : rows)
        EXPECT_EQ(X(request), removeSpaces(hex));
    EXPECT_EQ(X(CredentialManagementCommand::enumerateRPsBegin(token, kTwo, PinProtocol::None)).substr(0, 14),
              "0AA30102030004");
    // Authenticated requests carry the MAC of their sub-command and parameters: 16 bytes under One, 32 under Two.
    const Bytes hash(32, 0xC3);
    const std::pair<Bytes, std::string> macs[] = {
        {CredentialManagementCommand::getCredsMetadata(token, kOne, PinProtocol::One),
         "0AA3010103010450" + X(kOne.authenticate(token, Bytes{0x01}))},
        {CredentialManagementCommand::getCredsMetadata(token, kTwo, PinProtocol::Two),
         "0AA301010302045820" + X(kTwo.authenticate(token, Bytes{0x01}))},
        {CredentialManagementCommand::enumerateCredentialsBegin(token, kTwo, hash, PinProtocol::Two),
         "0AA4010402A1015820" + X(hash) + "0302045820" + X(kTwo.authenticate(token, H("04A1015820" + X(hash))))},
    };
    for (const auto& [request, hex] : macs)
        EXPECT_EQ(X(request), hex);
    // Protocol Two draws a fresh IV for every encryption.
    EXPECT_NE(X(*kTwo.encrypt(Bytes(32, 1), 32)).substr(0, 32), X(*kTwo.encrypt(Bytes(32, 1), 32)).substr(0, 32));
}

// Answers without the entries a request needs, or with entries of the wrong kind, are malformed: nothing is taken
// from them, never an empty key, a count of zero retries, an empty relying party or credential.
TEST(CtapResponses, WrongKindsAreMalformed)
{
    LogCapture log;
    const std::string noY = "A101A40102033818200121 5820" + X(kKey.keyX);
    for (const std::string& bad : {std::string(), std::string("A1016161"), noY})
        EXPECT_FALSE(PinResponse::parseCborPinGetKeyAgreement(H(bad)).second) << bad;
    PinResponse::PinRetries retries{7, 0};
    EXPECT_TRUE(PinResponse::parseCborPinGetRetries(H("A10502"), retries));
    EXPECT_EQ(retries, (PinResponse::PinRetries{7, 2}));
    // No count, or a count of the wrong kind (a negative one; a text beside a good one).
    PinResponse::PinRetries none;
    for (const char* answer : {"A104F4", "", "A10320", "A2030805 6178"})
        EXPECT_FALSE(PinResponse::parseCborPinGetRetries(H(answer), none)) << answer;
    EXPECT_EQ(none, PinResponse::PinRetries{});

    EXPECT_FALSE(std::get<2>(CredentialManagementResponse::ParseCborGetCredsMetaData(H("A10105"))));
    std::vector<RpInfo> rps;
    std::uint64_t total = 6;
    // {3: 1, 4: 1, 5: "x"}, an rp map whose id is a number, an answer that does not decode.
    for (const char* bad : {"A3 0301 0401 056178", "A2 03A1626964 01 0441EE", "FF"})
        EXPECT_FALSE(CredentialManagementResponse::ParseCborEnumerateRPs(H(bad), rps, total)) << bad;
    EXPECT_TRUE(CredentialManagementResponse::ParseCborEnumerateRPs(H("A10500"), rps, total)); // no row for 0
    EXPECT_TRUE(rps.empty());
    std::vector<CredentialInfo> creds;
    const std::string user = "06A2626964 4201 02 646E616D65 6175";
    const std::string credId = "07A2626964 4299 88 6474797065 6A7075626C69632D6B6579";
    // Without a credential id, without a user, with a text total, a text user, a number for the public key.
    for (const std::string& bad : {"A2" + user + "0905", "A2" + credId + "0905", "A3" + user + credId + "0961",
                                   "A2 0661 75" + credId, "A3" + user + credId + "0801"})
        EXPECT_FALSE(CredentialManagementResponse::ParseCborEnumerateCredentials(H(bad), creds, total)) << bad;
    EXPECT_TRUE(creds.empty());
    EXPECT_EQ(total, 0u);
    EXPECT_EQ(log.count("parseCborPinGetKeyAgreement: CBOR decode error"), 3);
    EXPECT_EQ(log.count("parseCborPinGetRetries: CBOR decode error"), 4);
    EXPECT_EQ(log.count("ParseCborGetCredsMetaData: CBOR decode error"), 1);
    EXPECT_EQ(log.count("ParseCborEnumerateRPs: CBOR decode error"), 3);
    EXPECT_EQ(log.count("ParseCborEnumerateCredentials: CBOR decode error"), 5);
}

// What an answer holds is taken as it comes; whether it can be used is judged later: a key-agreement key of another
// algorithm and coordinate length, a credential's public key without an algorithm, a count beside a missing one.
TEST(CtapResponses, ValuesAreTakenAsTheyCome)
{
    LogCapture log;
    auto [odd, ok] = PinResponse::parseCborPinGetKeyAgreement(
        H("A101A501020326200121 5830" + X(Bytes(48, 0xCC)) + "22 5830" + X(Bytes(48, 0xDD))));
    EXPECT_TRUE(ok);
    EXPECT_EQ(std::make_tuple(odd.algorithm, odd.keyX, odd.keyY),
              std::make_tuple(std::int64_t{-7}, Bytes(48, 0xCC), Bytes(48, 0xDD)));
    EXPECT_TRUE(log.lines().empty());
    std::vector<CredentialInfo> creds;
    std::uint64_t total = 0;
    const std::string user = "06A2626964 4201 02 646E616D65 6175";
    const std::string credId = "07A2626964 4299 88 6474797065 6A7075626C69632D6B6579";
    EXPECT_TRUE(CredentialManagementResponse::ParseCborEnumerateCredentials(H("A3" + user + credId + "08A10102"), creds,
                                                                            total));
    ASSERT_EQ(creds.size(), 1u);
    EXPECT_EQ(creds[0].keyAgreement, (KeyAgreement{2, -25, 1, {}, {}}));
    // A metadata answer without the remaining count fails, with the existing count read and the other one 0.
    EXPECT_EQ(CredentialManagementResponse::ParseCborGetCredsMetaData(H("A10105")), std::make_tuple(5u, 0u, false));
}

TEST(InfoParser, TypicalAnswerAndProtocolChoice)
{
    Info info;
    PinProtocol p = PinProtocol::Two;
    // {1: ["U2F_V2", "FIDO_2_0"], 3: 16 bytes, 4: {"clientPin": true, "rk": true}, 6: [1]}
    ASSERT_TRUE(parseInfo(H("A4 01 82 6655 3246 5F56 32 68 4649 444F 5F32 5F30 03 50 000102030405060708090A0B0C0D0E0F"
                            "04 A2 69 636C69656E7450696E F5 62 726B F5 06 81 01"),
                          info, p));
    EXPECT_EQ(info.versions, (std::vector<std::string>{"U2F_V2", "FIDO_2_0"}));
    EXPECT_EQ(info.aaguid, "000102030405060708090A0B0C0D0E0F");
    EXPECT_EQ(info.options, (std::map<std::string, bool>{{"clientPin", true}, {"rk", true}}));
    EXPECT_EQ(p, PinProtocol::One);
    // The highest protocol this client knows, past a newer one it does not; none listed leaves None.
    const std::pair<const char*, PinProtocol> choices[] = {
        {"A1 06 82 02 01", PinProtocol::Two}, {"A1 06 83 03 02 01", PinProtocol::Two}, {"A1 05 01", PinProtocol::None},
        {"A1 06 80", PinProtocol::None}};
    for (const auto& [answer, protocol] : choices) {
        EXPECT_TRUE(parseInfo(H(answer), info, p));
        EXPECT_EQ(p, protocol) << answer;
    }
}

// A value of another kind than its field takes leaves that field at its default and the rest is read, without a word;
// in lists and maps only the elements of another kind are left out. Only an answer that is no map is refused.
TEST(InfoParser, AValueOfAnotherKindKeepsItsFieldsDefaultAndTheRestIsRead)
{
    LogCapture log;
    // Every answer holds {1: ["FIDO_2_0"], 0x0E: 7}, with the entry under the row's key added or replaced.
    const std::map<int, std::string> base{{0x01, "81 68 4649444F5F325F30"}, {0x0E, "07"}};
    Info read;
    read.versions = {"FIDO_2_0"};
    read.firmwareVersion = 7;
    using Change = std::function<void(Info&)>;
    const std::string twentyBytes = "000102030405060708090A0B0C0D0E0F10111213";
    // key, its value, what becomes of the fields read
    const std::tuple<int, std::string, Change> rows[] = {
        {0x01, "61 41", [](Info& i) { i.versions.clear(); }},
        {0x02, "A0", {}},
        {0x03, "64 41414141", {}},
        {0x03, "81 41 01", {}},
        {0x04, "81 F5", {}},
        {0x05, "38 FF", {}},
        {0x06, "01", {}},
        {0x07, "61 31", {}},
        {0x08, "F5", {}},
        {0x09, "63 757362", {}},
        {0x0A, "A1 6161 6162", {}},
        {0x0B, "F9 3C00", {}},
        {0x0C, "01", {}},
        {0x0D, "61 36", {}},
        {0x0E, "24", [](Info& i) { i.firmwareVersion = 0; }},
        {0x0F, "41 01", {}},
        {0x10, "81 01", {}},
        {0x11, "A0", {}},
        {0x12, "F6", {}},
        {0x13, "80", {}},
        {0x14, "20", {}},
        {0x15, "A1 01 02", {}},
        // Elements of another kind inside lists and maps.
        {0x01, "85 66 5532465F5632 02 20 F5 41 00", [](Info& i) { i.versions = {"U2F_V2", "2", "-1"}; }},
        {0x02, "82 6B 63726564 50726F74656374 01", [](Info& i) { i.extensions = {"credProtect"}; }},
        {0x04, "A3 69 636C69656E7450696E 01 62 726B F5 01 F5", [](Info& i) { i.options = {{"rk", true}}; }},
        {0x06, "83 20 61 32 01", [](Info& i) { i.pinUvAuthProtocols = {1}; }},
        {0x09, "82 63 757362 02", [](Info& i) { i.transports = {"usb"}; }},
        {0x0A, "82 A2 63616C67 26 64 74797065 6A 7075626C69632D6B6579 61 78",
         [](Info& i) { i.algorithms = {{{"type", "public-key"}}}; }},
        {0x13, "A2 64 4649444F 01 61 46 61 47", [](Info& i) { i.certifications = {{"F", "G"}}; }},
        {0x15, "83 01 21 61 33", [](Info& i) { i.vendorPrototypeConfigCommands = {1}; }},
        // An AAGUID is whatever byte string the key gives: 20 bytes are 40 hex digits.
        {0x03, "54" + twentyBytes, [&](Info& i) { i.aaguid = twentyBytes; }},
        {0x03, "40", {}},
    };
    for (const auto& [key, value, change] : rows) {
        std::map<int, std::string> entries = base;
        entries[key] = value;
        std::string answer = "A" + std::to_string(entries.size());
        for (const auto& [k, v] : entries)
            answer += X(Bytes{static_cast<std::uint8_t>(k)}) + v;
        SCOPED_TRACE(answer);
        Info expected = read;
        if (change)
            change(expected);
        Info info;
        info.maxMsgSize = 9;
        PinProtocol p = PinProtocol::Two;
        EXPECT_TRUE(parseInfo(H(answer), info, p));
        EXPECT_EQ(info, expected);
        EXPECT_EQ(p, expected.pinUvAuthProtocols.empty() ? PinProtocol::None : PinProtocol::One);
    }
    EXPECT_TRUE(log.lines().empty());
    // An answer that is no map, or no CBOR at all, leaves the default Info and is logged.
    for (const char* notAMap : {"", "80", "A1 01"}) {
        Info info;
        info.firmwareVersion = 9;
        PinProtocol p = PinProtocol::Two;
        EXPECT_FALSE(parseInfo(H(notAMap), info, p));
        EXPECT_EQ(std::make_pair(info, p), std::make_pair(Info{}, PinProtocol::None));
    }
    EXPECT_EQ(log.count("parseInfo: CBOR decode error"), 3);
}
