// Credential management against the software key over a real transport, under both PIN protocols and both
// command bytes (0x0A, and the prototype 0x41 with a legacy token).
#include "KeyFixture.h"

#include "TestHex.h"
#include "ctap/AuthenToken.h"
#include "fido/Utils.h"
#include "softkey/CtapCbor.h"
#include "softkey/SoftKeyFixtures.h"

#include <algorithm>

namespace {

struct Mode {
    PinProtocol protocol;
    bool preview; // the key offers only the prototype command; the client uses the legacy token
    std::uint8_t command() const { return preview ? 0x41 : 0x0A; }
};

using Subs = std::vector<std::uint64_t>;
using Metadata = std::tuple<std::uint64_t, std::uint64_t, IOReturn>;
using Rps = std::tuple<std::vector<RpInfo>, std::uint64_t, IOReturn>;
using Creds = std::tuple<std::vector<CredentialInfo>, std::uint64_t, IOReturn>;

Bytes rpHash(const std::string& id) { return sha256(Bytes(id.begin(), id.end())); }

// A relying party's answer to an enumeration round, with the total when given (as a begin answer has it).
Bytes rpAnswer(const std::string& id, std::optional<std::uint64_t> total = {})
{
    std::vector<CtapCbor::Entry> m{{CtapCbor::uint(3), CtapCbor::map({{CtapCbor::text("id"), CtapCbor::text(id)}})},
                                   {CtapCbor::uint(4), CtapCbor::bytes(rpHash(id))}};
    if (total)
        m.push_back({CtapCbor::uint(5), CtapCbor::uint(*total)});
    return ok(CtapCbor::map(std::move(m)));
}

class CredMgmtOnKey : public KeyFixture {
protected:
    // A blank key in the given mode with PIN 1234, these credentials, and a fresh token for credential management.
    void start(const Mode& mode, const std::string& fixtures = "")
    {
        mode_ = mode;
        factoryReset();
        key().updateConfig([&](SoftKeyConfig& c) {
            c.credMgmt = !mode.preview;
            c.credMgmtPreview = mode.preview;
        });
        ctap().setFido2Pre(mode.preview);
        ctap().setPinProtocol(mode.protocol);
        load("pin 1234\n" + fixtures);
        ASSERT_EQ(token_.requestToken(pin("1234"), Permission::CredentialManagement), kIOReturnSuccess);
        key().clearRequestLog();
    }
    void load(const std::string& fixtures)
    {
        std::string error;
        ASSERT_TRUE(SoftKeyFixtures::load(fixtures, key(), error)) << error;
    }
    const SecureBytes& token() { return token_.getToken(); }
    const SSecret& secret() { return *token_.getSharedSecret(); }
    Metadata metadata() { return ctap().getCredsMetadata(token(), secret()); }
    Rps rps() { return ctap().enumerateRPs(token(), secret()); }
    Creds creds(const std::string& rp) { return ctap().enumerateCredentials(token(), secret(), rpHash(rp)); }
    void reply(Bytes answer, std::uint8_t sub) { KeyFixture::reply(std::move(answer), mode_.command(), sub); }

    // Every request since the last call was a credential-management request with the mode's command byte and,
    // where authenticated, its protocol; returns their sub-commands.
    Subs subCommandsSent()
    {
        Subs subs;
        for (const auto& r : takeRequests()) {
            EXPECT_EQ(r.command(), mode_.command());
            EXPECT_EQ(requestField(r.request, 3).value_or(rawValue(mode_.protocol)), rawValue(mode_.protocol));
            subs.push_back(requestField(r.request, 1).value_or(0));
        }
        return subs;
    }

    Mode mode_{PinProtocol::Two, false};
    AuthenToken token_{ctap_};
};

} // namespace

TEST_F(CredMgmtOnKey, ReadAndDeleteUnderBothProtocolsAndCommandBytes)
{
    connect();
    for (const Mode mode : {Mode{PinProtocol::One, false}, Mode{PinProtocol::Two, false}, Mode{PinProtocol::One, true},
                            Mode{PinProtocol::Two, true}}) {
        SCOPED_TRACE(testing::Message() << rawValue(mode.protocol) << (mode.preview ? "/0x41" : "/0x0A"));
        start(mode);
        EXPECT_EQ(metadata(), (Metadata{0, 25, kIOReturnSuccess}));
        log_.clear();
        EXPECT_EQ(rps(), (Rps{{}, 0, kIOReturnSuccess})); // NO_CREDENTIALS is the empty list
        EXPECT_TRUE(log_.contains("CBOR error: ERR_NO_CREDENTIALS"));

        load("rp id=one.example name=\"One Corp\"\n"
             "credential rp=one.example user=0101 userName=alice displayName=\"Alice A\" protect=2\n"
             "credential rp=two.example user=0201 userName=bob\n"
             "credential rp=two.example user=0202 userName=carol\n");
        EXPECT_EQ(metadata(), (Metadata{3, 22, kIOReturnSuccess}));
        auto [parties, total, status] = rps();
        std::sort(parties.begin(), parties.end(), [](const RpInfo& a, const RpInfo& b) { return a.id < b.id; });
        EXPECT_EQ(parties, (std::vector<RpInfo>{{"one.example", "One Corp", rpHash("one.example")},
                                                {"two.example", "", rpHash("two.example")}}));
        EXPECT_EQ(std::tie(total, status), std::make_tuple(2u, kIOReturnSuccess));
        const SoftKeyCredential alice = key().credentials().at(0);
        const CredentialInfo aliceInfo{{H("0101"), "alice", "", "Alice A"},
                                       {alice.credentialId, "public-key"},
                                       {2, -7, 1, alice.publicX, alice.publicY},
                                       2};
        EXPECT_EQ(creds("one.example"), (Creds{{aliceInfo}, 1, kIOReturnSuccess}));

        // Delete one of two, read again, and delete it again.
        const auto [two, twoTotal, twoStatus] = creds("two.example");
        ASSERT_EQ(two.size(), 2u);
        const PublicKeyCredentialDescriptor gone = two[0].publicKeyCredentialDescriptor;
        EXPECT_EQ(ctap().deleteCredential(token(), secret(), gone), kIOReturnSuccess);
        EXPECT_EQ(creds("two.example"), (Creds{{two[1]}, 1, kIOReturnSuccess}));
        log_.clear();
        EXPECT_EQ(ctap().deleteCredential(token(), secret(), gone), kIOReturnError);
        EXPECT_TRUE(log_.contains("CBOR error: ERR_NO_CREDENTIALS"));
        EXPECT_EQ(key().credentials().size(), 2u);
        // A single entry needs no get-next request; get-next requests follow their begin with nothing in between.
        EXPECT_EQ(subCommandsSent(), (Subs{1, 2, 1, 2, 3, 4, 4, 5, 6, 4, 6}));
    }
}

// An enumeration stops at the first failed exchange and reports the first failure; an answer that does not parse
// adds no row (never an empty one) and the enumeration goes on.
TEST_F(CredMgmtOnKey, AnEnumerationReportsItsFirstFailureAndListsOnlyReadableAnswers)
{
    connect();
    start({PinProtocol::Two, false}, "credential rp=a.example user=01 userName=a1\n"
                                     "credential rp=a.example user=02 userName=a2\n"
                                     "credential rp=a.example user=03 userName=a3\n"
                                     "credential rp=b.example user=04 userName=b1\n"
                                     "credential rp=c.example user=05 userName=c1\n");
    const Bytes unreadable{0x00, 0xFF};
    const Bytes noUser = ok(CtapCbor::map({{CtapCbor::uint(10), CtapCbor::uint(1)}}));
    struct Case {
        const char* name;
        bool credentials; // a.example's credentials, else the relying parties
        std::vector<std::pair<Bytes, std::uint8_t>> replies; // answers and their sub-commands
        IOReturn status;
        std::size_t rows;
        std::uint64_t total;
        Subs subs;
    };
    const Case cases[] = {
        {"begin refused", false, {{{0x33}, 2}}, kIOReturnError, 0, 0, {2}},
        {"begin on an empty key", false, {{{0x2E}, 2}}, kIOReturnSuccess, 0, 0, {2}},
        {"no credentials for the party", true, {{{0x2E}, 4}}, kIOReturnSuccess, 0, 0, {4}},
        {"second round refused", false, {{{0x01}, 3}}, kIOReturnError, 1, 3, {2, 3}},
        {"second round says no credentials", false, {{{0x2E}, 3}}, kIOReturnError, 1, 3, {2, 3}},
        {"second round not permitted", true, {{{0x30}, 5}}, kIOReturnNotPermitted, 1, 3, {4, 5}},
        {"second round unreadable, third fine", false, {{unreadable, 3}}, kIOReturnInvalid, 2, 3, {2, 3, 3}},
        {"third round unreadable", false, {{rpAnswer("x.example"), 3}, {unreadable, 3}}, kIOReturnInvalid, 2, 3,
         {2, 3, 3}},
        {"second round without a user, third fine", true, {{noUser, 5}}, kIOReturnInvalid, 2, 3, {4, 5, 5}},
        {"second round without a user, third refused", true, {{noUser, 5}, {{0x01}, 5}}, kIOReturnInvalid, 1, 3,
         {4, 5, 5}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        key().clearRawReplies();
        for (const auto& [answer, sub] : c.replies)
            reply(answer, sub);
        std::size_t rows = 0;
        std::uint64_t total = 0;
        IOReturn status = kIOReturnSuccess;
        if (c.credentials) {
            std::vector<CredentialInfo> list;
            std::tie(list, total, status) = creds("a.example");
            rows = list.size();
            for (const auto& cred : list)
                EXPECT_FALSE(cred.userEntity.id.empty());
        } else {
            std::vector<RpInfo> list;
            std::tie(list, total, status) = rps();
            rows = list.size();
            for (const auto& rp : list)
                EXPECT_EQ(rp.idHash, rpHash(rp.id));
        }
        EXPECT_EQ(std::tie(status, rows, total), std::tie(c.status, c.rows, c.total));
        EXPECT_EQ(subCommandsSent(), c.subs);
    }
}

// The totals come from the key: at most 1000 relying parties, and 1000 credentials of one, are read.
TEST_F(CredMgmtOnKey, HugeTotalsFromTheKeyAreCapped)
{
    connect();
    start({PinProtocol::Two, false});
    reply(rpAnswer("rp0.example", 1'000'000), 2);
    for (int i = 1; i < 1005; ++i)
        reply(rpAnswer("rp" + std::to_string(i) + ".example"), 3);
    log_.clear();
    auto [parties, total, status] = rps();
    EXPECT_EQ(std::tie(total, status), std::make_tuple(1'000'000u, kIOReturnSuccess));
    EXPECT_EQ(parties.size(), Ctap2::kMaxRelyingParties);
    EXPECT_EQ(parties.back().id, "rp999.example");
    EXPECT_EQ(takeRequests().size(), Ctap2::kMaxRelyingParties);
    EXPECT_TRUE(log_.contains("enumerateRPs: the key reports 1000000 entries, reading 1000"));

    key().clearRawReplies();
    for (int i = 0; i < 1005; ++i) {
        const Bytes id =
            CtapCbor::map({{CtapCbor::text("id"), CtapCbor::bytes(Bytes(16, static_cast<std::uint8_t>(i)))}});
        std::vector<CtapCbor::Entry> m{{CtapCbor::uint(6), id}, {CtapCbor::uint(7), id}}; // user and credential
        if (i == 0)
            m.push_back({CtapCbor::uint(9), CtapCbor::uint(UINT64_MAX)});
        reply(ok(CtapCbor::map(std::move(m))), i == 0 ? 4 : 5);
    }
    EXPECT_EQ(std::get<0>(creds("rp0.example")).size(), Ctap2::kMaxCredentialsPerRp);
    EXPECT_EQ(takeRequests().size(), Ctap2::kMaxCredentialsPerRp);
    EXPECT_TRUE(log_.contains("enumerateCredentials: the key reports 18446744073709551615 entries, reading 1000"));
    key().clearRawReplies();
}

// The key refuses a wrong MAC, a token without the permission, and a legacy token on the 2.1 command. Requests are
// authenticated under the protocol of the token's own exchange, whichever protocol the client holds by now.
TEST_F(CredMgmtOnKey, RequestsAreAuthenticatedWithTheTokensPermissionAndProtocol)
{
    connect();
    start({PinProtocol::One, false}, "credential rp=x.example user=01 userName=x1\n");
    ctap().setPinProtocol(PinProtocol::Two);
    EXPECT_EQ(metadata(), (Metadata{1, 24, kIOReturnSuccess}));
    EXPECT_EQ(std::get<2>(rps()), kIOReturnSuccess);
    EXPECT_EQ(subCommandsSent(), (Subs{1, 2}));

    const PublicKeyCredentialDescriptor descriptor{key().credentials().at(0).credentialId, "public-key"};
    SecureBytes wrong = token();
    wrong.data()[0] ^= 0x01; // every MAC is wrong
    log_.clear();
    EXPECT_EQ(ctap().getCredsMetadata(wrong, secret()), (Metadata{0, 0, kIOReturnError}));
    EXPECT_TRUE(log_.contains("CBOR error: ERR_PIN_AUTH_INVALID"));
    EXPECT_EQ(ctap().enumerateRPs(wrong, secret()), (Rps{{}, 0, kIOReturnError}));
    EXPECT_EQ(std::get<2>(ctap().enumerateCredentials(wrong, secret(), rpHash("x.example"))), kIOReturnError);
    EXPECT_EQ(ctap().deleteCredential(wrong, secret(), descriptor), kIOReturnError);
    EXPECT_EQ(subCommandsSent(), (Subs{1, 2, 4, 6}));

    auto [mcToken, mcSecret, mcStatus] =
        ctap().getPinUvAuthTokenUsingPinWithPermissions(pin("1234"), Permission::makeCredential, "");
    ASSERT_EQ(mcStatus, kIOReturnSuccess);
    EXPECT_EQ(std::get<2>(ctap().getCredsMetadata(mcToken, *mcSecret)), kIOReturnError);
    EXPECT_EQ(ctap().deleteCredential(mcToken, *mcSecret, descriptor), kIOReturnError);
    auto [legacyToken, legacySecret, legacyStatus] = ctap().getPinToken(pin("1234"));
    ASSERT_EQ(legacyStatus, kIOReturnSuccess);
    EXPECT_EQ(std::get<2>(ctap().getCredsMetadata(legacyToken, *legacySecret)), kIOReturnError);
    EXPECT_EQ(key().credentials().size(), 1u);
}
