// Credential management against the software key over a real transport, under both PIN protocols and both
// command bytes (0x0A, and the prototype 0x41 with a legacy token).
#include "KeyFixture.h"

#include "TestHex.h"
#include "ctap/AuthenToken.h"
#include "ctap/CredentialManagementCommand.h"
#include "fido/Utils.h"
#include "softkey/CtapCbor.h"
#include "softkey/SoftKeyFixtures.h"

#include <algorithm>
#include <set>

namespace {

struct Mode {
    PinProtocol protocol;
    bool preview; // the key offers only the prototype command; the client uses the legacy token
    std::uint8_t command() const { return preview ? 0x41 : 0x0A; }
    std::string name() const
    {
        return std::string(protocol == PinProtocol::One ? "One" : "Two") + (preview ? "/0x41" : "/0x0A");
    }
};

const std::vector<Mode> kModes = {
    {PinProtocol::One, false}, {PinProtocol::Two, false}, {PinProtocol::One, true}, {PinProtocol::Two, true}};

Bytes rpHash(const std::string& id)
{
    return sha256(Bytes(id.begin(), id.end()));
}

Bytes ok(const Bytes& body)
{
    Bytes a(body.size() + 1, 0x00);
    std::copy(body.begin(), body.end(), a.begin() + 1);
    return a;
}

class CredMgmtOnKey : public KeyFixture {
protected:
    // A blank key in the given mode with PIN 1234 and a fresh token for credential management.
    void start(const Mode& mode)
    {
        factoryReset();
        key().updateConfig([&](SoftKeyConfig& c) {
            c.credMgmt = !mode.preview;
            c.credMgmtPreview = mode.preview;
        });
        ctap().setFido2Pre(mode.preview);
        ctap().setPinProtocol(mode.protocol);
        ASSERT_TRUE(key().setPin("1234"));
        ASSERT_EQ(token_.requestToken(pinOf("1234"), Permission::CredentialManagement), kIOReturnSuccess);
        ASSERT_TRUE(token_.getSharedSecret());
        key().clearRequestLog();
    }
    void load(const std::string& fixtures)
    {
        std::string error;
        ASSERT_TRUE(SoftKeyFixtures::load(fixtures, key(), error)) << error;
    }
    const SecureBytes& token() { return token_.getToken(); }
    const SSecret& secret() { return *token_.getSharedSecret(); }

    // Every request since the last call was a credential-management request with this command byte and, where
    // authenticated, this protocol; returns their sub-commands.
    std::vector<std::uint64_t> subCommandsSent(const Mode& mode)
    {
        std::vector<std::uint64_t> subs;
        for (const auto& r : takeRequests()) {
            EXPECT_EQ(r.command(), mode.command());
            if (auto p = requestField(r.request, 3)) {
                EXPECT_EQ(*p, rawValue(mode.protocol));
            }
            subs.push_back(requestField(r.request, 1).value_or(0));
        }
        return subs;
    }

    AuthenToken token_{ctap_};
};

using Subs = std::vector<std::uint64_t>;

} // namespace

TEST_F(CredMgmtOnKey, CountsAndEnumerationsUnderBothProtocolsAndCommandBytes)
{
    connect();
    for (const Mode& mode : kModes) {
        SCOPED_TRACE(mode.name());
        start(mode);

        // No credentials at all.
        auto [existing, remaining, status] = ctap().getCredsMetadata(token(), secret());
        EXPECT_EQ(status, kIOReturnSuccess);
        EXPECT_EQ(existing, 0u);
        EXPECT_EQ(remaining, 25u);
        log_.clear();
        auto [rps, total, rpStatus] = ctap().enumerateRPs(token(), secret());
        EXPECT_EQ(rpStatus, kIOReturnSuccess); // NO_CREDENTIALS is the empty list
        EXPECT_TRUE(log_.contains("CBOR error: ERR_NO_CREDENTIALS"));
        EXPECT_TRUE(rps.empty());
        EXPECT_EQ(total, 0u);
        EXPECT_EQ(subCommandsSent(mode), (Subs{1, 2}));

        // One relying party with one credential: no get-next request.
        load("rp id=one.example name=\"One Corp\"\n"
             "credential rp=one.example user=0101 userName=alice displayName=\"Alice A\" protect=2\n");
        std::tie(existing, remaining, status) = ctap().getCredsMetadata(token(), secret());
        EXPECT_EQ(existing, 1u);
        EXPECT_EQ(remaining, 24u);
        std::tie(rps, total, rpStatus) = ctap().enumerateRPs(token(), secret());
        EXPECT_EQ(rpStatus, kIOReturnSuccess);
        EXPECT_EQ(total, 1u);
        ASSERT_EQ(rps.size(), 1u);
        EXPECT_EQ(rps[0], (RpInfo{"one.example", "One Corp", rpHash("one.example")}));
        auto [creds, credTotal, credStatus] = ctap().enumerateCredentials(token(), secret(), rpHash("one.example"));
        EXPECT_EQ(credStatus, kIOReturnSuccess);
        EXPECT_EQ(credTotal, 1u);
        ASSERT_EQ(creds.size(), 1u);
        const SoftKeyCredential stored = key().credentials().at(0);
        EXPECT_EQ(creds[0].userEntity, (PublicKeyCredentialUserEntity{H("0101"), "alice", "", "Alice A"}));
        EXPECT_EQ(creds[0].publicKeyCredentialDescriptor,
                  (PublicKeyCredentialDescriptor{stored.credentialId, "public-key"}));
        EXPECT_EQ(creds[0].keyAgreement.algorithm, -7);
        EXPECT_EQ(creds[0].keyAgreement.keyX, stored.publicX);
        EXPECT_EQ(creds[0].keyAgreement.keyY, stored.publicY);
        EXPECT_EQ(creds[0].credProtect, 2u);
        EXPECT_EQ(subCommandsSent(mode), (Subs{1, 2, 4}));

        // Three relying parties, one of them without a name, one with three credentials.
        load("rp id=two.example name=\"Two\"\n"
             "credential rp=two.example user=0201 userName=bob displayName=Bob\n"
             "credential rp=two.example user=0202 userName=carol displayName=Carol\n"
             "credential rp=two.example user=0203 userName=dave displayName=Dave\n"
             "credential rp=nameless.example user=0301 userName=erin\n");
        std::tie(existing, remaining, status) = ctap().getCredsMetadata(token(), secret());
        EXPECT_EQ(existing, 5u);
        EXPECT_EQ(remaining, 20u);
        std::tie(rps, total, rpStatus) = ctap().enumerateRPs(token(), secret());
        EXPECT_EQ(rpStatus, kIOReturnSuccess);
        EXPECT_EQ(total, 3u);
        ASSERT_EQ(rps.size(), 3u);
        std::sort(rps.begin(), rps.end(), [](const RpInfo& a, const RpInfo& b) { return a.id < b.id; });
        EXPECT_EQ(rps[0], (RpInfo{"nameless.example", "", rpHash("nameless.example")}));
        EXPECT_EQ(rps[1], (RpInfo{"one.example", "One Corp", rpHash("one.example")}));
        EXPECT_EQ(rps[2], (RpInfo{"two.example", "Two", rpHash("two.example")}));
        std::tie(creds, credTotal, credStatus) = ctap().enumerateCredentials(token(), secret(), rps[2].idHash);
        EXPECT_EQ(credStatus, kIOReturnSuccess);
        EXPECT_EQ(credTotal, 3u);
        std::set<std::string> names;
        std::set<Bytes> ids;
        for (const auto& c : creds) {
            names.insert(c.userEntity.name);
            ids.insert(c.publicKeyCredentialDescriptor.id);
        }
        EXPECT_EQ(names, (std::set<std::string>{"bob", "carol", "dave"}));
        EXPECT_EQ(ids.size(), 3u);
        // The enumerations' get-next requests follow their begin with nothing in between.
        EXPECT_EQ(subCommandsSent(mode), (Subs{1, 2, 3, 3, 4, 5, 5}));
    }
}

TEST_F(CredMgmtOnKey, DeleteThenReadAgain)
{
    connect();
    for (const Mode& mode : kModes) {
        SCOPED_TRACE(mode.name());
        start(mode);
        load("rp id=del.example name=Del\n"
             "credential rp=del.example user=01 userName=first\n"
             "credential rp=del.example user=02 userName=second\n");
        auto [creds, total, status] = ctap().enumerateCredentials(token(), secret(), rpHash("del.example"));
        ASSERT_EQ(status, kIOReturnSuccess);
        ASSERT_EQ(creds.size(), 2u);
        const PublicKeyCredentialDescriptor gone = creds[0].publicKeyCredentialDescriptor;
        const PublicKeyCredentialDescriptor kept = creds[1].publicKeyCredentialDescriptor;

        EXPECT_EQ(ctap().deleteCredential(token(), secret(), gone), kIOReturnSuccess);
        EXPECT_EQ(std::get<0>(ctap().getCredsMetadata(token(), secret())), 1u);
        std::tie(creds, total, status) = ctap().enumerateCredentials(token(), secret(), rpHash("del.example"));
        EXPECT_EQ(status, kIOReturnSuccess);
        EXPECT_EQ(total, 1u);
        ASSERT_EQ(creds.size(), 1u);
        EXPECT_EQ(creds[0].publicKeyCredentialDescriptor, kept);

        log_.clear();
        EXPECT_EQ(ctap().deleteCredential(token(), secret(), gone), kIOReturnError);
        EXPECT_TRUE(log_.contains("CBOR error: ERR_NO_CREDENTIALS"));
        EXPECT_EQ(ctap().deleteCredential(token(), secret(), kept), kIOReturnSuccess);
        EXPECT_TRUE(key().credentials().empty());
        auto [emptyRps, emptyTotal, emptyStatus] = ctap().enumerateRPs(token(), secret());
        EXPECT_EQ(emptyStatus, kIOReturnSuccess);
        EXPECT_TRUE(emptyRps.empty());
        EXPECT_EQ(emptyTotal, 0u);
        EXPECT_EQ(subCommandsSent(mode), (Subs{4, 5, 6, 1, 4, 6, 6, 2}));
    }
}

TEST_F(CredMgmtOnKey, AnEnumerationReportsItsFirstFailureAndListsOnlyReadableAnswers)
{
    connect();
    const Mode mode{PinProtocol::Two, false};
    start(mode);
    load("credential rp=a.example user=01 userName=a1\n"
         "credential rp=a.example user=02 userName=a2\n"
         "credential rp=a.example user=03 userName=a3\n"
         "credential rp=b.example user=04 userName=b1\n"
         "credential rp=c.example user=05 userName=c1\n");

    const Bytes unreadable{0x00, 0xFF};
    const Bytes noUser = ok(CtapCbor::map({{CtapCbor::uint(10), CtapCbor::uint(1)}}));
    struct Case {
        std::string name;
        bool credentials; // enumerate a.example's credentials, else the relying parties
        std::vector<SoftAuthenticator::RawReply> replies;
        IOReturn status;
        std::size_t rows;
        std::uint64_t total;
        Subs subs;
    };
    const std::uint8_t cmd = mode.command();
    const std::vector<Case> cases = {
        {"begin refused", false, {{Bytes{0x33}, cmd, std::uint8_t{2}}}, kIOReturnError, 0, 0, {2}},
        {"begin on an empty key", false, {{Bytes{0x2E}, cmd, std::uint8_t{2}}}, kIOReturnSuccess, 0, 0, {2}},
        {"no credentials for the party", true, {{Bytes{0x2E}, cmd, std::uint8_t{4}}}, kIOReturnSuccess, 0, 0, {4}},
        {"second round refused", false, {{Bytes{0x01}, cmd, std::uint8_t{3}}}, kIOReturnError, 1, 3, {2, 3}},
        {"second round says no credentials", false, {{Bytes{0x2E}, cmd, std::uint8_t{3}}}, kIOReturnError, 1, 3,
         {2, 3}},
        {"second round not permitted", true, {{Bytes{0x30}, cmd, std::uint8_t{5}}}, kIOReturnNotPermitted, 1, 3,
         {4, 5}},
        {"second round unreadable, third fine", false, {{unreadable, cmd, std::uint8_t{3}}}, kIOReturnInvalid, 2, 3,
         {2, 3, 3}},
        {"third round unreadable", false,
         {{ok(CtapCbor::map({{CtapCbor::uint(3), CtapCbor::map({{CtapCbor::text("id"), CtapCbor::text("x.example")}})},
                             {CtapCbor::uint(4), CtapCbor::bytes(rpHash("x.example"))}})),
           cmd, std::uint8_t{3}},
          {unreadable, cmd, std::uint8_t{3}}},
         kIOReturnInvalid, 2, 3, {2, 3, 3}},
        {"second round without a user, third fine", true, {{noUser, cmd, std::uint8_t{5}}}, kIOReturnInvalid, 2, 3,
         {4, 5, 5}},
        {"second round without a user, third refused", true,
         {{noUser, cmd, std::uint8_t{5}}, {Bytes{0x01}, cmd, std::uint8_t{5}}}, kIOReturnInvalid, 1, 3, {4, 5, 5}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        key().clearRawReplies();
        for (const auto& reply : c.replies)
            key().queueRawReply(reply);
        IOReturn status = kIOReturnSuccess;
        std::uint64_t total = 0;
        if (c.credentials) {
            std::vector<CredentialInfo> creds;
            std::tie(creds, total, status) = ctap().enumerateCredentials(token(), secret(), rpHash("a.example"));
            EXPECT_EQ(creds.size(), c.rows);
            for (const auto& cred : creds)
                EXPECT_FALSE(cred.userEntity.id.empty());
        } else {
            std::vector<RpInfo> rps;
            std::tie(rps, total, status) = ctap().enumerateRPs(token(), secret());
            EXPECT_EQ(rps.size(), c.rows);
            for (const auto& rp : rps)
                EXPECT_EQ(rp.idHash, rpHash(rp.id)); // no empty row for an answer that did not parse
        }
        EXPECT_EQ(status, c.status);
        EXPECT_EQ(total, c.total);
        EXPECT_EQ(subCommandsSent(mode), c.subs);
    }
}

TEST_F(CredMgmtOnKey, HugeTotalsFromTheKeyAreCapped)
{
    connect();
    const Mode mode{PinProtocol::Two, false};
    start(mode);
    auto rpAnswer = [](int i, std::optional<std::uint64_t> announced) {
        const std::string id = "rp" + std::to_string(i) + ".example";
        std::vector<CtapCbor::Entry> m{{CtapCbor::uint(3), CtapCbor::map({{CtapCbor::text("id"), CtapCbor::text(id)}})},
                                       {CtapCbor::uint(4), CtapCbor::bytes(rpHash(id))}};
        if (announced)
            m.push_back({CtapCbor::uint(5), CtapCbor::uint(*announced)});
        return ok(CtapCbor::map(std::move(m)));
    };
    key().queueRawReply({rpAnswer(0, 1'000'000), mode.command(), std::uint8_t{2}});
    for (int i = 1; i < 1005; ++i)
        key().queueRawReply({rpAnswer(i, std::nullopt), mode.command(), std::uint8_t{3}});
    log_.clear();
    auto [rps, total, status] = ctap().enumerateRPs(token(), secret());
    EXPECT_EQ(status, kIOReturnSuccess);
    EXPECT_EQ(total, 1'000'000u);
    EXPECT_EQ(rps.size(), Ctap2::kMaxRelyingParties);
    EXPECT_EQ(rps.back().id, "rp999.example");
    EXPECT_EQ(key().requestLog().size(), Ctap2::kMaxRelyingParties);
    EXPECT_TRUE(log_.contains("enumerateRPs: the key reports 1000000 entries, reading 1000"));
    key().clearRawReplies();
    key().clearRequestLog();

    auto credAnswer = [](int i, std::optional<std::uint64_t> announced) {
        std::vector<CtapCbor::Entry> m{
            {CtapCbor::uint(6),
             CtapCbor::map({{CtapCbor::text("id"), CtapCbor::bytes(Bytes{static_cast<std::uint8_t>(i)})}})},
            {CtapCbor::uint(7),
             CtapCbor::map({{CtapCbor::text("id"), CtapCbor::bytes(Bytes(16, static_cast<std::uint8_t>(i)))},
                            {CtapCbor::text("type"), CtapCbor::text("public-key")}})}};
        if (announced)
            m.push_back({CtapCbor::uint(9), CtapCbor::uint(*announced)});
        return ok(CtapCbor::map(std::move(m)));
    };
    key().queueRawReply({credAnswer(0, 0xFFFFFFFFFFFFFFFF), mode.command(), std::uint8_t{4}});
    for (int i = 1; i < 1005; ++i)
        key().queueRawReply({credAnswer(i, std::nullopt), mode.command(), std::uint8_t{5}});
    auto [creds, credTotal, credStatus] = ctap().enumerateCredentials(token(), secret(), rpHash("rp0.example"));
    EXPECT_EQ(credStatus, kIOReturnSuccess);
    EXPECT_EQ(creds.size(), Ctap2::kMaxCredentialsPerRp);
    EXPECT_EQ(key().requestLog().size(), Ctap2::kMaxCredentialsPerRp);
    key().clearRawReplies();
}

TEST_F(CredMgmtOnKey, KeyRejectsAWrongMacOrATokenWithoutThePermission)
{
    connect();
    const Mode mode{PinProtocol::Two, false};
    start(mode);
    load("credential rp=x.example user=01 userName=x1\n");
    const PublicKeyCredentialDescriptor descriptor{key().credentials().at(0).credentialId, "public-key"};

    // One byte of the token wrong: every MAC is wrong.
    SecureBytes wrong = token();
    wrong.data()[0] ^= 0x01;
    log_.clear();
    EXPECT_EQ(std::get<2>(ctap().getCredsMetadata(wrong, secret())), kIOReturnError);
    EXPECT_TRUE(log_.contains("CBOR error: ERR_PIN_AUTH_INVALID"));
    auto [rps, total, status] = ctap().enumerateRPs(wrong, secret());
    EXPECT_EQ(status, kIOReturnError);
    EXPECT_TRUE(rps.empty());
    EXPECT_EQ(std::get<2>(ctap().enumerateCredentials(wrong, secret(), rpHash("x.example"))), kIOReturnError);
    EXPECT_EQ(ctap().deleteCredential(wrong, secret(), descriptor), kIOReturnError);
    EXPECT_EQ(key().credentials().size(), 1u);
    EXPECT_EQ(subCommandsSent(mode), (Subs{1, 2, 4, 6}));

    // A token for making credentials, and a legacy token on the 2.1 command.
    auto [mcToken, mcSecret, mcStatus] =
        ctap().getPinUvAuthTokenUsingPinWithPermissions(pinOf("1234"), Permission::makeCredential, "");
    ASSERT_EQ(mcStatus, kIOReturnSuccess) << testing::PrintToString(log_.lines());
    EXPECT_EQ(std::get<2>(ctap().getCredsMetadata(mcToken, *mcSecret)), kIOReturnError);
    EXPECT_EQ(ctap().deleteCredential(mcToken, *mcSecret, descriptor), kIOReturnError);
    auto [legacyToken, legacySecret, legacyStatus] = ctap().getPinToken(pinOf("1234"));
    ASSERT_EQ(legacyStatus, kIOReturnSuccess);
    EXPECT_EQ(std::get<2>(ctap().getCredsMetadata(legacyToken, *legacySecret)), kIOReturnError);
    EXPECT_EQ(key().credentials().size(), 1u);
}

TEST_F(CredMgmtOnKey, RequestsAreAuthenticatedUnderTheTokensProtocol)
{
    connect();
    const Mode mode{PinProtocol::One, false};
    start(mode);
    load("credential rp=p.example user=01 userName=p1\n");
    // Another key's protocol is in the client by now; the token still belongs to its own exchange.
    ctap().setPinProtocol(PinProtocol::Two);
    auto [existing, remaining, status] = ctap().getCredsMetadata(token(), secret());
    EXPECT_EQ(status, kIOReturnSuccess);
    EXPECT_EQ(existing, 1u);
    EXPECT_EQ(std::get<2>(ctap().enumerateRPs(token(), secret())), kIOReturnSuccess);
    EXPECT_EQ(subCommandsSent(mode), (Subs{1, 2})); // checks protocol 1 on each
}
