#include "softkey/SoftAuthenticator.h"
#include "softkey/SoftKeyFixtures.h"
#include "softkey/tests/TestCtapClient.h"

#include "TestHex.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

using namespace std::chrono_literals;
using C = TestCtapClient;

constexpr std::uint8_t PIN_INVALID = 0x31, PIN_BLOCKED = 0x32, PIN_AUTH_INVALID = 0x33, PIN_AUTH_BLOCKED = 0x34,
                       PIN_NOT_SET = 0x35, NOT_ALLOWED = 0x30, NO_CREDENTIALS = 0x2E, INVALID_COMMAND = 0x01,
                       INVALID_PARAMETER = 0x02, MISSING_PARAMETER = 0x14, PIN_POLICY_VIOLATION = 0x37,
                       INVALID_SUBCOMMAND = 0x3E, UNAUTHORIZED_PERMISSION = 0x40;

// The touch request the application sends (a dummy makeCredential with an empty pinAuth).
Bytes touchRequest()
{
    const Bytes cdh = H("A6CB97932A23D9DA7F87221AB61D432B2BC28E66EE94397C1DC71FEDF47897CB");
    const Bytes rp = CtapCbor::map({{CtapCbor::text("id"), CtapCbor::text("SelectDevice")},
                                    {CtapCbor::text("name"), CtapCbor::text("SelectDevice")}});
    const Bytes user = CtapCbor::map({{CtapCbor::text("id"), CtapCbor::bytes(H("112233445544332211"))},
                                      {CtapCbor::text("name"), CtapCbor::text("SelectDevice")},
                                      {CtapCbor::text("displayName"), CtapCbor::text("SelectDevice")}});
    const Bytes alg = CtapCbor::map({{CtapCbor::text("alg"), CtapCbor::integer(-7)},
                                     {CtapCbor::text("type"), CtapCbor::text("public-key")}});
    return C::request(0x01, {C::e(1, CtapCbor::bytes(cdh)), C::e(2, rp), C::e(3, user), C::e(4, CtapCbor::array({alg})),
                             C::e(8, CtapCbor::bytes(Bytes{})), C::e(9, CtapCbor::uint(1))});
}

Bytes makeCredentialRequest(const std::string& rpId, const Bytes& userId, std::optional<std::pair<Bytes, std::uint64_t>> auth)
{
    const Bytes cdh(32, 0x11);
    const Bytes alg = CtapCbor::map({{CtapCbor::text("alg"), CtapCbor::integer(-7)},
                                     {CtapCbor::text("type"), CtapCbor::text("public-key")}});
    std::vector<CtapCbor::Entry> p{
        C::e(1, CtapCbor::bytes(cdh)),
        C::e(2, CtapCbor::map({{CtapCbor::text("id"), CtapCbor::text(rpId)}})),
        C::e(3, CtapCbor::map({{CtapCbor::text("id"), CtapCbor::bytes(userId)},
                               {CtapCbor::text("name"), CtapCbor::text("user")}})),
        C::e(4, CtapCbor::array({alg})),
        C::e(7, CtapCbor::map({{CtapCbor::text("rk"), CtapCbor::boolean(true)}}))};
    if (auth) {
        p.push_back(C::e(8, CtapCbor::bytes(auth->first)));
        p.push_back(C::e(9, CtapCbor::uint(auth->second)));
    }
    return C::request(0x01, std::move(p));
}

struct Fixture {
    explicit Fixture(SoftKeyConfig config = {}, std::uint64_t protocol = 2)
        : key(std::move(config)), client([this](const Bytes& r) { return key.handle(r); }, protocol)
    {
    }
    std::optional<CborItem> info() { return C::body(key.handle(Bytes{0x04})); }
    SoftAuthenticator key;
    TestCtapClient client;
};

class PinProtocols : public ::testing::TestWithParam<std::uint64_t> {};

} // namespace

TEST(SoftAuthenticator, GetInfoIsCanonicalAndFollowsTheConfiguration)
{
    Fixture f;
    const Bytes answer = f.key.handle(Bytes{0x04});
    ASSERT_EQ(answer[0], 0x00);
    // Keys ascending: 1 3 4 5 6 0A 0D 0E 14; options in CTAP canonical order (shorter keys first).
    auto item = C::body(answer);
    ASSERT_TRUE(item);
    const Bytes options = cborEncode(cborMapFind(item->get(), 4));
    EXPECT_EQ(X(options), X(CtapCbor::map({{CtapCbor::text("rk"), CtapCbor::boolean(true)},
                                           {CtapCbor::text("up"), CtapCbor::boolean(true)},
                                           {CtapCbor::text("credMgmt"), CtapCbor::boolean(true)},
                                           {CtapCbor::text("clientPin"), CtapCbor::boolean(false)},
                                           {CtapCbor::text("pinUvAuthToken"), CtapCbor::boolean(true)}})));
    EXPECT_EQ(X(options).substr(0, 10), "A562726BF5"); // "rk": true first
    auto keys = cborMapValue(item->get());
    std::vector<std::uint64_t> order;
    for (const auto& [k, v] : *keys)
        order.push_back(*cborUInt64Value(k));
    EXPECT_EQ(order, (std::vector<std::uint64_t>{1, 3, 4, 5, 6, 0x0A, 0x0D, 0x0E, 0x14}));
    EXPECT_EQ(cborEncode(item->get()), Bytes(answer.begin() + 1, answer.end()));

    ASSERT_TRUE(f.key.setPin("1234"));
    EXPECT_EQ(cborBoolValue(cborMapFind(cborMapFind(f.info()->get(), 4), std::string_view("clientPin"))), true);

    SoftKeyConfig bare;
    bare.versions = std::vector<std::string>{"FIDO_2_0"};
    bare.aaguid.reset();
    bare.omitOptions = true;
    bare.pinUvAuthProtocols.reset();
    bare.minPINLength.reset();
    bare.firmwareVersion.reset();
    bare.maxMsgSize.reset();
    bare.announceRemainingDiscoverableCredentials = false;
    Fixture g(bare);
    EXPECT_EQ(X(g.key.handle(Bytes{0x04})), "00A10181684649444F5F325F30"); // {1: ["FIDO_2_0"]}

    SoftKeyConfig preview;
    preview.credMgmt = false;
    preview.credMgmtPreview = true;
    preview.clientPin = SoftKeyConfig::Option::Absent;
    preview.pinUvAuthProtocols = std::vector<std::uint64_t>{1};
    Fixture p(preview);
    auto previewInfo = p.info();
    ASSERT_TRUE(previewInfo);
    const cbor_item_t* opts = cborMapFind(previewInfo->get(), 4);
    EXPECT_EQ(cborBoolValue(cborMapFind(opts, std::string_view("credentialMgmtPreview"))), true);
    EXPECT_EQ(cborMapFind(opts, std::string_view("credMgmt")), nullptr);
    EXPECT_EQ(cborMapFind(opts, std::string_view("clientPin")), nullptr);
    EXPECT_EQ(C::status(p.key.handle(C::request(0x06, {C::e(1, CtapCbor::uint(1)), C::e(2, CtapCbor::uint(1))}))),
              INVALID_COMMAND);
}

TEST(SoftAuthenticator, MalformedRequestsGetTheMatchingStatus)
{
    Fixture f;
    EXPECT_EQ(X(f.key.handle(Bytes{})), "03");
    EXPECT_EQ(X(f.key.handle(H("06A201"))), "12");        // truncated CBOR
    EXPECT_EQ(X(f.key.handle(H("068102"))), "11");        // an array, not a map
    EXPECT_EQ(X(f.key.handle(H("06A10101"))), "14");      // no sub-command
    EXPECT_EQ(X(f.key.handle(H("06A2016230310202"))), "11"); // protocol as text
    EXPECT_EQ(X(f.key.handle(H("04A0"))), "03");          // getInfo takes no parameters
    EXPECT_EQ(X(f.key.handle(H("02A0"))), "01");          // getAssertion is not offered
    EXPECT_EQ(X(f.key.handle(H("06A2010302 02"))), "02"); // protocol 3
    EXPECT_EQ(X(f.key.handle(H("06A10202"))), "14");      // getKeyAgreement without a protocol
    EXPECT_EQ(X(f.key.handle(H("06A20102021863"))), "3E"); // sub-command 0x63
}

TEST_P(PinProtocols, SetChangeAndTokenFollowTheRules)
{
    Fixture f({}, GetParam());
    auto& c = f.client;
    EXPECT_EQ(c.token("1234", 0).first, PIN_NOT_SET);
    EXPECT_EQ(c.changePin("1234", "5678"), PIN_NOT_SET);
    EXPECT_EQ(c.setPin("123"), PIN_POLICY_VIOLATION);                                  // under minPINLength
    EXPECT_EQ(c.setPin(std::string(64, '7')), PIN_POLICY_VIOLATION);                   // 64 bytes: no room
    EXPECT_EQ(c.setPin("\xC3\xA9\xC3\xA9\xC3\xA9"), PIN_POLICY_VIOLATION);             // 6 bytes, 3 code points
    ASSERT_EQ(c.setPin(std::string(63, '7')), 0);                                      // 63 bytes is the most
    EXPECT_EQ(c.setPin("1234"), NOT_ALLOWED);
    EXPECT_EQ(c.changePin(std::string(63, '7'), "1234"), 0);
    EXPECT_EQ(c.retries(), 8u);

    // A bad MAC or a wrongly sized block is refused before the PIN is looked at.
    ASSERT_TRUE(c.agree());
    Bytes bad = c.changePinRequest("1234", "5678");
    bad[bad.size() - 1] ^= 1; // the pinHashEnc is covered by the MAC
    EXPECT_EQ(C::status(f.key.handle(bad)), PIN_AUTH_INVALID);
    EXPECT_EQ(c.retries(), 8u);

    const auto [st, token] = c.token("1234", 0x04);
    EXPECT_EQ(st, 0);
    EXPECT_EQ(token.size(), 32u);
    const auto [st5, legacy] = c.token("1234", 0);
    EXPECT_EQ(st5, 0);
    EXPECT_NE(legacy, token); // every token request makes a new token
}

TEST_P(PinProtocols, WrongPinsCountDownBlockAndRecover)
{
    Fixture f({}, GetParam());
    auto& c = f.client;
    ASSERT_TRUE(f.key.setPin("1234"));
    ASSERT_TRUE(c.agree());
    const Bytes before = c.peerX();
    EXPECT_EQ(c.token("0000", 4).first, PIN_INVALID);
    ASSERT_TRUE(c.agree());
    EXPECT_NE(c.peerX(), before) << "a mismatch must replace the key-agreement key";
    EXPECT_EQ(c.retries(), 7u);
    EXPECT_EQ(c.token("1234", 4).first, 0);
    EXPECT_EQ(c.retries(), 8u);

    EXPECT_EQ(c.token("0000", 4).first, PIN_INVALID);
    EXPECT_EQ(c.changePin("0000", "5678"), PIN_INVALID);
    EXPECT_EQ(c.token("0000", 4).first, PIN_AUTH_BLOCKED);
    EXPECT_EQ(c.token("1234", 4).first, PIN_AUTH_BLOCKED);
    EXPECT_EQ(c.retries(), 5u);
    f.key.powerUp();
    EXPECT_EQ(c.token("1234", 4).first, 0);

    f.key.setPinRetries(1);
    EXPECT_EQ(c.token("0000", 4).first, PIN_BLOCKED);
    EXPECT_EQ(c.token("1234", 4).first, PIN_BLOCKED);
    EXPECT_EQ(c.changePin("1234", "5678"), PIN_BLOCKED);
}

TEST_P(PinProtocols, CredentialManagementChecksTokenPermissionAndState)
{
    Fixture f({}, GetParam());
    auto& c = f.client;
    ASSERT_TRUE(f.key.setPin("1234"));
    std::string error;
    ASSERT_TRUE(SoftKeyFixtures::load("rp id=a.example name=\"A\"\n"
                                      "credential rp=a.example user=01 userName=one\n"
                                      "credential rp=a.example user=02 userName=two displayName=\"Two Too\"\n"
                                      "credential rp=b.example rpName=B user=03 id=C0FFEE protect=3\n",
                                      f.key, error))
        << error;
    const auto [st, token] = c.token("1234", 0x04);
    ASSERT_EQ(st, 0);
    auto send = [&](const Bytes& r) { return f.key.handle(r); };

    auto meta = C::body(send(c.credMgmt(0x0A, 1, token)));
    ASSERT_TRUE(meta);
    EXPECT_EQ(cborUInt64Value(cborMapFind(meta->get(), 1)), 3u);
    EXPECT_EQ(cborUInt64Value(cborMapFind(meta->get(), 2)), 22u);

    EXPECT_EQ(X(send(c.credMgmt(0x0A, 3, token))), "30"); // get-next with no enumeration
    auto rp1 = C::body(send(c.credMgmt(0x0A, 2, token)));
    ASSERT_TRUE(rp1);
    EXPECT_EQ(cborUInt64Value(cborMapFind(rp1->get(), 5)), 2u);
    EXPECT_EQ(cborStringValue(cborMapFind(cborMapFind(rp1->get(), 3), std::string_view("name"))), "A");
    EXPECT_EQ(cborBytesValue(cborMapFind(rp1->get(), 4)), sha256(Bytes{'a', '.', 'e', 'x', 'a', 'm', 'p', 'l', 'e'}));
    auto rp2 = C::body(send(c.credMgmt(0x0A, 3, token)));
    ASSERT_TRUE(rp2);
    EXPECT_EQ(cborStringValue(cborMapFind(cborMapFind(rp2->get(), 3), std::string_view("id"))), "b.example");
    EXPECT_EQ(cborMapFind(rp2->get(), 5), nullptr);
    EXPECT_EQ(X(send(c.credMgmt(0x0A, 3, token))), "30"); // enumeration finished

    const Bytes hashA = sha256(Bytes{'a', '.', 'e', 'x', 'a', 'm', 'p', 'l', 'e'});
    const Bytes params = CtapCbor::map({{CtapCbor::uint(1), CtapCbor::bytes(hashA)}});
    auto cred1 = C::body(send(c.credMgmt(0x0A, 4, token, params)));
    ASSERT_TRUE(cred1);
    EXPECT_EQ(cborUInt64Value(cborMapFind(cred1->get(), 9)), 2u);
    // Another command ends the enumeration.
    send(Bytes{0x04});
    EXPECT_EQ(X(send(c.credMgmt(0x0A, 5, token))), "30");

    // The MAC covers the parameters as sent; a different hash with the old MAC fails.
    Bytes tampered = c.credMgmt(0x0A, 4, token, params);
    tampered[10] ^= 0x01;
    EXPECT_EQ(C::status(send(tampered)), PIN_AUTH_INVALID);
    EXPECT_EQ(C::status(send(c.credMgmt(0x0A, 1, token, {}, GetParam() == 1 ? 2 : 1))), PIN_AUTH_INVALID);
    EXPECT_EQ(C::status(send(c.credMgmt(0x0A, 1, Bytes(32, 0)))), PIN_AUTH_INVALID);
    EXPECT_EQ(C::status(send(C::request(0x0A, {C::e(1, CtapCbor::uint(1)), C::e(3, CtapCbor::uint(GetParam()))}))),
              0x36);

    // Delete, then the relying party is gone with its last credential.
    const Bytes descriptor = CtapCbor::map({{CtapCbor::uint(2), CtapCbor::map({{CtapCbor::text("id"), CtapCbor::bytes(H("C0FFEE"))},
                                                                              {CtapCbor::text("type"), CtapCbor::text("public-key")}})}});
    EXPECT_EQ(X(send(c.credMgmt(0x0A, 6, token, descriptor))), "00");
    EXPECT_EQ(X(send(c.credMgmt(0x0A, 6, token, descriptor))), "2E");
    auto rps = C::body(send(c.credMgmt(0x0A, 2, token)));
    EXPECT_EQ(cborUInt64Value(cborMapFind(rps->get(), 5)), 1u);
    const Bytes hashB = sha256(Bytes{'b', '.', 'e', 'x', 'a', 'm', 'p', 'l', 'e'});
    EXPECT_EQ(C::status(send(c.credMgmt(0x0A, 4, token, CtapCbor::map({{CtapCbor::uint(1), CtapCbor::bytes(hashB)}})))),
              NO_CREDENTIALS);

    // Without the credential-management permission, and with a token bound to one relying party.
    const auto [st2, mcToken] = c.token("1234", 0x01);
    ASSERT_EQ(st2, 0);
    EXPECT_EQ(C::status(send(c.credMgmt(0x0A, 1, mcToken))), PIN_AUTH_INVALID);
    const auto [st3, boundToken] = c.token("1234", 0x04, "a.example");
    ASSERT_EQ(st3, 0);
    EXPECT_EQ(C::status(send(c.credMgmt(0x0A, 2, boundToken))), PIN_AUTH_INVALID);
    EXPECT_EQ(C::status(send(c.credMgmt(0x0A, 4, boundToken, params))), 0);
    EXPECT_EQ(C::status(send(c.credMgmt(0x41, 1, boundToken))), INVALID_COMMAND); // not announced
}

INSTANTIATE_TEST_SUITE_P(OneAndTwo, PinProtocols, ::testing::Values(1u, 2u));

TEST(SoftAuthenticator, PrototypeCommandTakesLegacyTokens)
{
    SoftKeyConfig config;
    config.versions = std::vector<std::string>{"FIDO_2_0", "FIDO_2_1_PRE"};
    config.credMgmt = false;
    config.credMgmtPreview = true;
    config.pinUvAuthToken.reset();
    config.pinUvAuthProtocols = std::vector<std::uint64_t>{1};
    Fixture f(config, 1);
    ASSERT_TRUE(f.key.setPin("1234"));
    SoftKeyCredential cred;
    cred.rpId = "x.example";
    cred.userId = {1};
    ASSERT_TRUE(f.key.addCredential(cred));
    const auto [st, token] = f.client.token("1234", 0);
    ASSERT_EQ(st, 0);
    EXPECT_EQ(X(f.key.handle(f.client.credMgmt(0x0A, 1, token))), "01");
    auto meta = C::body(f.key.handle(f.client.credMgmt(0x41, 1, token)));
    ASSERT_TRUE(meta);
    EXPECT_EQ(cborUInt64Value(cborMapFind(meta->get(), 1)), 1u);
    // Protocol Two is not offered, and a key without pinUvAuthToken has no sub-command 9.
    TestCtapClient two([&](const Bytes& r) { return f.key.handle(r); }, 2);
    EXPECT_EQ(two.token("1234", 0).first, 0xFF);
    EXPECT_EQ(f.client.token("1234", 4).first, INVALID_SUBCOMMAND);
}

TEST(SoftAuthenticator, TokenRequestsCheckPermissions)
{
    Fixture f;
    ASSERT_TRUE(f.key.setPin("1234"));
    auto& c = f.client;
    EXPECT_EQ(c.token("1234", 0x08).first, UNAUTHORIZED_PERMISSION);
    ASSERT_TRUE(c.agree());
    Bytes withPerm = c.tokenRequest("1234", 0);
    // getPinToken with a permissions entry is a parameter error.
    withPerm = C::request(0x06, {C::e(1, CtapCbor::uint(2)), C::e(2, CtapCbor::uint(5)), C::e(3, c.cose()),
                                 C::e(6, CtapCbor::bytes(c.pinHashEnc("1234"))), C::e(9, CtapCbor::uint(4))});
    EXPECT_EQ(C::status(f.key.handle(withPerm)), INVALID_PARAMETER);
    const Bytes noPerm = C::request(0x06, {C::e(1, CtapCbor::uint(2)), C::e(2, CtapCbor::uint(9)), C::e(3, c.cose()),
                                           C::e(6, CtapCbor::bytes(c.pinHashEnc("1234")))});
    EXPECT_EQ(C::status(f.key.handle(noPerm)), MISSING_PARAMETER);
    EXPECT_EQ(f.key.pinRetries(), 8u) << "refused requests must not cost a retry";
}

TEST(SoftAuthenticator, SetPinOnAPinProtectedOlderKeyIsPinAuthInvalid)
{
    SoftKeyConfig config;
    config.versions = std::vector<std::string>{"FIDO_2_0"};
    Fixture f(config);
    ASSERT_TRUE(f.key.setPin("1234"));
    EXPECT_EQ(f.client.setPin("5678"), PIN_AUTH_INVALID);
    EXPECT_EQ(X(f.key.handle(Bytes{0x0B})), "01"); // no selection on a 2.0 key
}

TEST(SoftAuthenticator, TouchRequestsFollowTheScript)
{
    Fixture f;
    EXPECT_EQ(X(f.key.handle(touchRequest())), "35"); // touched, no PIN
    ASSERT_TRUE(f.key.setPin("1234"));
    EXPECT_EQ(X(f.key.handle(touchRequest())), "31"); // touched, PIN set
    f.key.queueTouch(SoftAuthenticator::Touch::Denied);
    f.key.queueTouch(SoftAuthenticator::Touch::TimedOut, 20ms);
    EXPECT_EQ(X(f.key.handle(Bytes{0x0B})), "27");
    EXPECT_EQ(X(f.key.handle(Bytes{0x0B})), "2F");
    EXPECT_EQ(X(f.key.handle(Bytes{0x0B})), "00");
    EXPECT_EQ(f.key.touchRequests(), 5u);

    // Held until the host cancels; the front reports the wait as UPNEEDED.
    f.key.setTouch(SoftAuthenticator::Touch::HeldUntilCancel);
    std::atomic<bool> cancel{false};
    std::atomic<int> upNeeded{0};
    SoftAuthenticator::RequestContext ctx{[&] { return cancel.load(); }, [&](SoftAuthenticator::Keepalive k) {
                                              if (k == SoftAuthenticator::Keepalive::UpNeeded)
                                                  ++upNeeded;
                                          }};
    Bytes answer;
    std::thread t([&] { answer = f.key.handle(Bytes{0x0B}, ctx); });
    ASSERT_TRUE(f.key.waitForTouchRequest(2s));
    cancel = true;
    t.join();
    EXPECT_EQ(X(answer), "2D");
    EXPECT_EQ(upNeeded.load(), 1);
    EXPECT_FALSE(f.key.touchPending());

    // Manual: the test presses.
    f.key.setTouch(SoftAuthenticator::Touch::Manual);
    std::thread m([&] { answer = f.key.handle(Bytes{0x0B}); });
    ASSERT_TRUE(f.key.waitForTouchRequest(2s));
    f.key.giveTouch(false);
    m.join();
    EXPECT_EQ(X(answer), "27");
}

TEST(SoftAuthenticator, ResetOnlyInsideThePowerUpWindow)
{
    Fixture f;
    ASSERT_TRUE(f.key.setPin("1234"));
    SoftKeyCredential cred;
    cred.rpId = "r.example";
    cred.userId = {9};
    ASSERT_TRUE(f.key.addCredential(cred));
    f.key.closeResetWindow();
    EXPECT_EQ(X(f.key.handle(Bytes{0x07})), "30");
    EXPECT_EQ(f.key.touchRequests(), 0u) << "refused before asking for a touch";
    f.key.powerUp();
    f.key.queueTouch(SoftAuthenticator::Touch::Denied);
    EXPECT_EQ(X(f.key.handle(Bytes{0x07})), "27");
    EXPECT_TRUE(f.key.hasPin());
    EXPECT_EQ(X(f.key.handle(Bytes{0x07})), "00");
    EXPECT_FALSE(f.key.hasPin());
    EXPECT_TRUE(f.key.credentials().empty());

    SoftKeyConfig shortWindow;
    shortWindow.resetWindow = 30ms;
    Fixture g(shortWindow);
    std::this_thread::sleep_for(60ms);
    EXPECT_EQ(X(g.key.handle(Bytes{0x07})), "30");
    g.key.openResetWindow();
    EXPECT_EQ(X(g.key.handle(Bytes{0x07})), "00");
}

TEST(SoftAuthenticator, MakeCredentialStoresAResidentKeyBehindThePin)
{
    Fixture f;
    EXPECT_EQ(C::status(f.key.handle(makeCredentialRequest("m.example", {1}, std::nullopt))), 0);
    ASSERT_EQ(f.key.credentials().size(), 1u);
    ASSERT_TRUE(f.key.setPin("1234"));
    EXPECT_EQ(C::status(f.key.handle(makeCredentialRequest("m.example", {2}, std::nullopt))), 0x36);
    const auto [st, token] = f.client.token("1234", 0x01, "m.example");
    ASSERT_EQ(st, 0);
    const Bytes param = f.client.mac(token, Bytes(32, 0x11));
    EXPECT_EQ(C::status(f.key.handle(makeCredentialRequest("n.example", {2}, std::pair{param, 2}))), PIN_AUTH_INVALID);
    const Bytes ok = f.key.handle(makeCredentialRequest("m.example", {1}, std::pair{param, 2}));
    ASSERT_EQ(C::status(ok), 0);
    EXPECT_EQ(f.key.credentials().size(), 1u) << "the same user replaces its credential";
    auto att = C::body(ok);
    auto authData = cborBytesValue(cborMapFind(att->get(), 2));
    ASSERT_TRUE(authData);
    EXPECT_EQ((*authData)[32], 0x45); // UP, UV, AT
    EXPECT_EQ(X(std::span(*authData).subspan(37, 16)), X(*f.key.config().aaguid));
}

TEST(SoftAuthenticator, ScriptedRepliesLogAndSeed)
{
    SoftKeyConfig seeded;
    seeded.seed = 42;
    SoftAuthenticator a(seeded), b(seeded);
    const Bytes ka = C::request(0x06, {C::e(1, CtapCbor::uint(2)), C::e(2, CtapCbor::uint(2))});
    EXPECT_EQ(a.handle(ka), b.handle(ka));
    SoftAuthenticator c;
    EXPECT_NE(a.handle(ka), c.handle(ka));

    a.queueRawReply({H("00A1"), 0x06, 2});
    a.queueRawReply({{}, std::nullopt, std::nullopt});
    EXPECT_EQ(X(a.handle(Bytes{0x04})), "");                 // the unmatched empty reply comes first
    EXPECT_EQ(X(a.handle(ka)), "00A1");                      // truncated CBOR for getKeyAgreement
    EXPECT_EQ(C::status(a.handle(ka)), 0);                   // back to normal
    const auto log = a.requestLog();
    ASSERT_EQ(log.size(), 5u);
    EXPECT_EQ(log[2].command(), 0x04);
    EXPECT_EQ(X(log[2].response), "");
    EXPECT_EQ(X(log[3].response), "00A1");
    EXPECT_EQ(log[4].status(), 0x00);

    a.setProcessingDelay(30ms);
    const auto start = std::chrono::steady_clock::now();
    a.handle(Bytes{0x04});
    EXPECT_GE(std::chrono::steady_clock::now() - start, 30ms);
}

TEST(SoftKeyFixtures, RejectsBadLinesWithTheirNumber)
{
    SoftAuthenticator key;
    std::string error;
    EXPECT_FALSE(SoftKeyFixtures::load("# ok\ncredential rp=a user=XYZ\n", key, error));
    EXPECT_EQ(error, "line 2: user must be hexadecimal");
    EXPECT_FALSE(SoftKeyFixtures::load("credential user=01\n", key, error));
    EXPECT_FALSE(SoftKeyFixtures::load("credential rp=a user=01 name=\"open\n", key, error));
    EXPECT_FALSE(SoftKeyFixtures::load("pin 12\n", key, error));
    EXPECT_FALSE(SoftKeyFixtures::load("credential rp=a user=01 key=0102\n", key, error));
    EXPECT_FALSE(SoftKeyFixtures::load("bogus\n", key, error));
    EXPECT_TRUE(key.credentials().empty());

    const std::string scalar(64, '1');
    ASSERT_TRUE(SoftKeyFixtures::load("pin 4321\ncredential rp=a user=01 displayName=\"A # B\" key=" + scalar + "\n",
                                      key, error))
        << error;
    const auto creds = key.credentials();
    ASSERT_EQ(creds.size(), 1u);
    EXPECT_EQ(creds[0].userDisplayName, "A # B");
    EXPECT_EQ(creds[0].credentialId.size(), 32u);
    EXPECT_EQ(creds[0].publicX, crypto::P256KeyPair::fromPrivateKey(hexToBytes(scalar))->x());
    EXPECT_TRUE(key.hasPin());
}
