// The software key's own rules where the application's client never goes; the common paths are checked with
// that client (tests/ctap) and with an independent one (independent_client_test.py).
#include "softkey/SoftAuthenticator.h"
#include "softkey/SoftKeyFixtures.h"
#include "softkey/tests/TestCtapClient.h"

#include "TestHex.h"

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;
using C = TestCtapClient;
using K = CtapCbor;
using S = std::vector<std::string>; // answers' statuses, in the order the requests went

constexpr std::uint8_t PIN_INVALID = 0x31, PIN_BLOCKED = 0x32, PIN_AUTH_BLOCKED = 0x34;

struct Fixture {
    explicit Fixture(std::uint64_t protocol = 2, const std::string& fixtures = "", SoftKeyConfig config = {})
        : key(std::move(config)), client([this](const Bytes& r) { return key.handle(r); }, protocol)
    {
        std::string error;
        EXPECT_TRUE(SoftKeyFixtures::load(fixtures, key, error)) << error;
    }
    std::string answer(const Bytes& request) { return X(key.handle(request)); }
    std::string status(const Bytes& request) { return answer(request).substr(0, 2); }
    SoftAuthenticator key;
    TestCtapClient client;
};

class PinProtocols : public ::testing::TestWithParam<std::uint64_t> {};

} // namespace

// Integer keys ascending; text keys the shorter encoding first, then byte-wise ("rk" "up" "credMgmt" "clientPin").
TEST(SoftAuthenticator, GetInfoIsCanonical)
{
    EXPECT_EQ(X(SoftAuthenticator().handle(Bytes{0x04})),
              "00A90183684649444F5F325F306C4649444F5F325F315F505245684649444F5F325F3103504D542D534F46544B45592D3030"
              "30303104A562726BF5627570F568637265644D676D74F569636C69656E7450696EF46E70696E557641757468546F6B656EF5"
              "051904B0068202010A81A263616C672664747970656A7075626C69632D6B65790D040E1A00050403141819");
}

TEST(SoftAuthenticator, MalformedRequestsGetTheMatchingStatus)
{
    Fixture f;
    EXPECT_EQ(f.answer(Bytes{}), "03");
    EXPECT_EQ(f.answer(H("06A201")), "12");           // truncated CBOR
    EXPECT_EQ(f.answer(H("068102")), "11");           // an array, not a map
    EXPECT_EQ(f.answer(H("06A10101")), "14");         // no sub-command
    EXPECT_EQ(f.answer(H("06A2016230310202")), "11"); // protocol as text
    EXPECT_EQ(f.answer(H("04A0")), "03");             // getInfo takes no parameters
    EXPECT_EQ(f.answer(H("02A0")), "01");             // getAssertion is not offered
    EXPECT_EQ(f.answer(H("06A2010302 02")), "02");    // protocol 3
    EXPECT_EQ(f.answer(H("06A10202")), "14");         // getKeyAgreement without a protocol
    EXPECT_EQ(f.answer(H("06A20102021863")), "3E");   // sub-command 0x63
}

TEST_P(PinProtocols, PinPolicyMismatchesAndBlocking)
{
    Fixture f(GetParam());
    auto& c = f.client;
    // At least 4 code points (PIN_POLICY_VIOLATION), and at most 63 bytes: the padded block needs room for a zero.
    EXPECT_EQ((S{f.status(c.setPinRequest("123")), f.status(c.setPinRequest(std::string(64, '7'))),
                 f.status(c.setPinRequest("\xC3\xA9\xC3\xA9\xC3\xA9")), f.status(c.setPinRequest(std::string(63, '7'))),
                 f.status(c.setPinRequest("1234", std::string(63, '7')))}),
              (S{"37", "37", "37", "00", "00"}));

    // Refused before the PIN is looked at: a MAC that does not cover what was sent (PIN_AUTH_INVALID), permissions
    // the key has no use for (UNAUTHORIZED_PERMISSION), a token request of one form with a field of the other.
    Bytes tampered = c.setPinRequest("5678", "1234");
    tampered.back() ^= 1;
    EXPECT_EQ(f.status(tampered), "33");
    EXPECT_EQ(c.token("1234", 0x08).first, 0x40);
    const auto hash = C::e(6, K::bytes(c.pinHashEnc("1234")));
    EXPECT_EQ(f.answer(c.pinRequest(5, {C::e(3, c.cose()), hash, C::e(9, K::uint(4))})), "02");
    EXPECT_EQ(f.answer(c.pinRequest(9, {C::e(3, c.cose()), hash})), "14");
    EXPECT_EQ(f.key.pinRetries(), 8u);

    // A mismatch costs a try and replaces the key-agreement key; every token is a new one.
    const std::string keyAgreement = f.answer(c.pinRequest(2));
    EXPECT_EQ(c.token("0000", 4).first, PIN_INVALID);
    EXPECT_NE(f.answer(c.pinRequest(2)), keyAgreement);
    EXPECT_EQ(f.key.pinRetries(), 7u);
    EXPECT_NE(c.token("1234", 4).second, c.token("1234", 0).second);

    // Three mismatches in a row (changePIN counts) block PIN use until the next power-up; no tries left, for good.
    EXPECT_EQ(c.token("0000", 4).first, PIN_INVALID);
    EXPECT_EQ(f.status(c.setPinRequest("5678", "0000")), "31");
    EXPECT_EQ(c.token("0000", 4).first, PIN_AUTH_BLOCKED);
    EXPECT_EQ(c.token("1234", 4).first, PIN_AUTH_BLOCKED);
    f.key.powerUp();
    EXPECT_EQ(c.token("1234", 4).first, 0);
    f.key.setPinRetries(1);
    EXPECT_EQ(c.token("0000", 4).first, PIN_BLOCKED);
    EXPECT_EQ(c.token("1234", 4).first, PIN_BLOCKED);
}

TEST_P(PinProtocols, CredentialManagementEdges)
{
    Fixture f(GetParam(), "pin 1234\ncredential rp=a.example user=01\ncredential rp=a.example user=02\n"
                          "credential rp=b.example user=03 id=C0FFEE\n");
    auto& c = f.client;
    const Bytes token = c.token("1234", 0x04).second;
    auto cm = [&](std::uint64_t sub, const Bytes& tok, std::optional<Bytes> params = {}) {
        return f.status(c.credMgmt(0x0A, sub, tok, std::move(params)));
    };
    auto of = [](std::string rp) { return K::map({{K::uint(1), K::bytes(sha256(Bytes(rp.begin(), rp.end())))}}); };

    // get-next (NOT_ALLOWED) only right after an enumeration, until it ends or another command comes in between.
    EXPECT_EQ((S{cm(3, {}), cm(2, token), cm(3, {}), cm(3, {})}), (S{"30", "00", "00", "30"}));
    EXPECT_EQ(cm(4, token, of("a.example")), "00");
    f.key.handle(Bytes{0x04});
    EXPECT_EQ(cm(5, {}), "30");

    // The MAC covers the parameters as sent, under the token's protocol; without one the token is required.
    Bytes tampered = c.credMgmt(0x0A, 4, token, of("a.example"));
    tampered[10] ^= 0x01; // in the relying party's hash
    EXPECT_EQ(f.status(tampered), "33");
    TestCtapClient other([&](const Bytes& r) { return f.key.handle(r); }, 3 - GetParam());
    EXPECT_EQ(f.status(other.credMgmt(0x0A, 1, token)), "33");
    EXPECT_EQ(f.status(C::request(0x0A, {C::e(1, K::uint(1)), C::e(3, K::uint(GetParam()))})), "36");

    // A credential deleted once (then NO_CREDENTIALS); its relying party has none left.
    const Bytes id = K::map({{K::uint(2), K::map({{K::text("id"), K::bytes(H("C0FFEE"))},
                                                  {K::text("type"), K::text("public-key")}})}});
    EXPECT_EQ((S{cm(6, token, id), cm(6, token, id), cm(4, token, of("b.example"))}), (S{"00", "2E", "2E"}));

    // A token bound to one relying party reads only that one.
    const Bytes bound = c.token("1234", 0x04, "a.example").second;
    EXPECT_EQ((S{cm(2, bound), cm(4, bound, of("a.example"))}), (S{"33", "00"}));
}

INSTANTIATE_TEST_SUITE_P(OneAndTwo, PinProtocols, ::testing::Values(1u, 2u));

// What the client tests script: a reply answers the first request it matches (any, or this command and sub-command),
// in the order queued; the request it answers changes nothing, and the log shows the reply it got.
TEST(SoftAuthenticator, ScriptedRepliesAnswerTheRequestsTheyMatchInTheirOrder)
{
    Fixture f;
    const Bytes keyAgreement = f.client.pinRequest(2);
    f.key.queueRawReply({H("00A1"), 0x06, 2});
    f.key.queueRawReply({{}});
    f.key.queueRawReply({H("00"), 0x06, 3});
    EXPECT_EQ((S{f.answer(Bytes{0x04}), f.answer(keyAgreement), f.status(keyAgreement),
                 f.answer(f.client.setPinRequest("1234"))}),
              (S{"", "00A1", "00", "00"}));
    EXPECT_FALSE(f.key.hasPin());
    const auto log = f.key.requestLog(); // the client asked for the key agreement again before its setPIN
    ASSERT_EQ(log.size(), 5u);
    EXPECT_EQ((S{X(log[0].response), X(log[1].response), X(log[4].response)}), (S{"", "00A1", "00"}));
}

TEST(SoftAuthenticator, ResetIsRefusedOutsideThePowerUpWindowBeforeAnyTouch)
{
    Fixture f(2, "pin 1234\ncredential rp=r.example user=09\n");
    f.key.closeResetWindow();
    EXPECT_EQ(f.status(Bytes{0x07}), "30");
    EXPECT_EQ(f.key.touchRequests(), 0u);
    f.key.powerUp();
    EXPECT_EQ(f.status(Bytes{0x07}), "00");
    EXPECT_TRUE(!f.key.hasPin() && f.key.credentials().empty());

    SoftKeyConfig noWindow;
    noWindow.resetWindow = 0ms;
    EXPECT_EQ(Fixture(2, "", noWindow).status(Bytes{0x07}), "30");
}
