#include "ctap/CredentialManagementCommand.h"
#include "ctap/CredentialManagementResponse.h"

#include "TestHex.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>

namespace {

SSecret secretFor(PinProtocol p)
{
    auto peer = crypto::P256KeyPair::fromPrivateKey(Bytes(32, 0x42));
    KeyAgreement ka;
    ka.keyX = peer->x();
    ka.keyY = peer->y();
    return *SSecret::create(ka, p);
}

struct CommandByte {
    explicit CommandByte(std::uint8_t b) : old(credMgmtCommand.exchange(b)) {}
    ~CommandByte() { credMgmtCommand = old; }
    std::uint8_t old;
};

} // namespace

TEST(CredMgmtCommand, GetNextAndPrototypeByte)
{
    EXPECT_EQ(X(CredentialManagementCommand::enumerateRPsGetNextRP()), "0AA10103");
    EXPECT_EQ(X(CredentialManagementCommand::enumerateCredentialsGetNextCredential()), "0AA10105");
    CommandByte prototype(0x41);
    EXPECT_EQ(X(CredentialManagementCommand::enumerateRPsGetNextRP()), "41A10103");
}

TEST(CredMgmtCommand, AuthenticatedRequestsCarryTheRightMac)
{
    const Bytes token(32, 0x5A);
    for (PinProtocol p : {PinProtocol::One, PinProtocol::Two}) {
        const SSecret s = secretFor(p);
        const std::string mac = X(s.authenticate(token, Bytes{0x01}));
        const std::string head = p == PinProtocol::One ? "0AA30101030104" "50" : "0AA30101030204" "5820";
        EXPECT_EQ(X(CredentialManagementCommand::getCredsMetadata(token, s, p)), head + mac);
    }
    const SSecret two = secretFor(PinProtocol::Two);
    const Bytes hash(32, 0xC3);
    const Bytes message = H("04A1015820" + X(hash));
    EXPECT_EQ(X(CredentialManagementCommand::enumerateCredentialsBegin(token, two, hash, PinProtocol::Two)),
              "0AA4010402A1015820" + X(hash) + "030204" "5820" + X(two.authenticate(token, message)));
    const Bytes credId{0xDE, 0xAD};
    const std::string params = "A102A2626964" "42DEAD" "6474797065" "6A7075626C69632D6B6579";
    EXPECT_EQ(X(CredentialManagementCommand::deleteCredential(token, two, credId, "public-key", PinProtocol::Two)),
              "0AA4010602" + params + "030204" "5820" + X(two.authenticate(token, H("06" + params))));
    // An empty type is still sent, as an empty text string.
    const std::string emptyType = X(CredentialManagementCommand::deleteCredential(token, two, credId, "", PinProtocol::Two));
    EXPECT_NE(emptyType.find("647479706560"), std::string::npos);
    // No protocol chosen yet: key 3 holds 0.
    EXPECT_EQ(X(CredentialManagementCommand::enumerateRPsBegin(token, two, PinProtocol::None)).substr(0, 14),
              "0AA30102030004");
}

TEST(CredMgmtResponse, Metadata)
{
    LogCapture log;
    auto [existing, remaining, ok] = CredentialManagementResponse::ParseCborGetCredsMetaData(H("A201050218 19"));
    EXPECT_TRUE(ok);
    EXPECT_EQ(existing, 5u);
    EXPECT_EQ(remaining, 25u);
    auto [e2, r2, ok2] = CredentialManagementResponse::ParseCborGetCredsMetaData(H("A10105"));
    EXPECT_FALSE(ok2);
    EXPECT_EQ(e2, 5u);
    EXPECT_EQ(r2, 0u);
    EXPECT_EQ(log.count("ParseCborGetCredsMetaData: CBOR decode error"), 1);
}

TEST(CredMgmtResponse, RelyingParties)
{
    LogCapture log;
    std::vector<RpInfo> list;
    std::uint64_t total = 0;
    EXPECT_TRUE(CredentialManagementResponse::ParseCborEnumerateRPs(
        H("A303A26269646361 2E62646E616D65614E045820" + std::string(64, 'E') + "0503"), list, total));
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].id, "a.b");
    EXPECT_EQ(list[0].name, "N");
    EXPECT_EQ(list[0].idHash, Bytes(32, 0xEE));
    EXPECT_EQ(total, 3u);
    // A get-next answer that does not decode adds no row, even while the total is above 0.
    EXPECT_FALSE(CredentialManagementResponse::ParseCborEnumerateRPs(H("FF"), list, total));
    EXPECT_EQ(list.size(), 1u);
    EXPECT_EQ(log.count("ParseCborEnumerateRPs: CBOR decode error"), 1);
    std::vector<RpInfo> none;
    std::uint64_t zero = 0;
    CredentialManagementResponse::ParseCborEnumerateRPs(H("A10500"), none, zero);
    EXPECT_TRUE(none.empty());
    // Entries of the wrong kind are a malformed answer, never an empty relying party: {3: 1, 4: 1, 5: "x"}, and an
    // rp map whose id is a number.
    std::uint64_t six = 6;
    EXPECT_FALSE(CredentialManagementResponse::ParseCborEnumerateRPs(H("A3 0301 0401 056178"), none, six));
    EXPECT_FALSE(CredentialManagementResponse::ParseCborEnumerateRPs(H("A2 03A1626964 01 0441EE"), none, six));
    EXPECT_TRUE(none.empty());
    EXPECT_EQ(six, 6u);
}

TEST(CredMgmtResponse, Credentials)
{
    LogCapture log;
    std::vector<CredentialInfo> list;
    std::uint64_t total = 0;
    const std::string user = "06A2626964 4201 02 646E616D65 6175";
    const std::string credId = "07A2626964 4299 88 6474797065 6A7075626C69632D6B6579";
    const std::string pub = "08A501020326200121 4101 22 4102";
    EXPECT_TRUE(CredentialManagementResponse::ParseCborEnumerateCredentials(
        H("A5" + user + credId + pub + "0902" "0A02"), list, total));
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].userEntity.id, (Bytes{1, 2}));
    EXPECT_EQ(list[0].userEntity.name, "u");
    EXPECT_EQ(list[0].publicKeyCredentialDescriptor.id, (Bytes{0x99, 0x88}));
    EXPECT_EQ(list[0].publicKeyCredentialDescriptor.type, "public-key");
    EXPECT_EQ(list[0].keyAgreement.algorithm, -7);
    EXPECT_EQ(list[0].keyAgreement.keyX, Bytes{1});
    EXPECT_EQ(list[0].credProtect, 2u);
    EXPECT_EQ(total, 2u);
    // Without a user, without a credential id, or with an entry of the wrong kind, the answer is malformed: nothing
    // is added and nothing taken from it.
    std::uint64_t total2 = 0;
    for (const std::string& bad : {"A2" + credId + "0905", "A2" + user + "0905", "A3" + user + credId + "0961",
                                  "A2 0661 75" + credId, "A3" + user + credId + "0801"}) {
        EXPECT_FALSE(CredentialManagementResponse::ParseCborEnumerateCredentials(H(bad), list, total2)) << bad;
    }
    EXPECT_EQ(list.size(), 1u);
    EXPECT_EQ(total2, 0u);
    EXPECT_EQ(log.count("ParseCborEnumerateCredentials: CBOR decode error"), 5);
    // A public key without an algorithm keeps -25.
    CredentialManagementResponse::ParseCborEnumerateCredentials(H("A3" + user + credId + "08A10102"), list, total2);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[1].keyAgreement.algorithm, -25);
}
