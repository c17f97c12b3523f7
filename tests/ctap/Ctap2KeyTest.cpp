// The CTAP 2 client against the software key, built once per transport (KEY_TRANSPORT_CARD: the card on the first
// vpcd reader through pcscd, else the USB key on a socket pair): channel set-up, getInfo, clientPIN and the token,
// touch requests, the status mapping, and credential management with both command bytes (0x0A and 0x41).
#include "ctap/AuthenToken.h"
#include "ctap/Ctap2.h"
#include "fido/Utils.h"
#include "softkey/CtapCbor.h"
#include "softkey/SoftKeyFixtures.h"

#include "TestHex.h"
#include "support/Eventually.h"
#include "support/LogCapture.h"
#include "support/SoftKeyLink.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <future>

using namespace std::chrono_literals;
using Touch = SoftAuthenticator::Touch;
using Subs = std::vector<std::uint64_t>;
using C = CtapCbor;

namespace {

constexpr bool kUsb = !KEY_TRANSPORT_CARD;
SecureBytes pin(std::string_view text) { return SecureBytes(text); }
Bytes rpHash(const std::string& id) { return sha256(Bytes(id.begin(), id.end())); }

Bytes operator+(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// A key's answer: status byte OK and a CBOR map of these entries.
Bytes okMap(std::vector<C::Entry> entries) { return Bytes{0x00} + C::map(std::move(entries)); }

// The unsigned value under an integer key of a request's CBOR parameters.
std::optional<std::uint64_t> requestField(const Bytes& request, std::int64_t key)
{
    auto item = request.size() < 2 ? std::nullopt : cborDecode(std::span(request).subspan(1));
    return item ? cborUInt64Value(cborMapFind(item->get(), key)) : std::nullopt;
}

bool requestHas(const Bytes& request, std::int64_t key)
{
    auto item = request.size() < 2 ? std::nullopt : cborDecode(std::span(request).subspan(1));
    return item && cborMapFind(item->get(), key) != nullptr;
}

class Ctap2OnKey : public testing::Test {
protected:
    // Makes the key, opens the link, binds the client to it and opens a channel, as every key read starts.
    void connect()
    {
        link_ = std::make_unique<SoftKeyLink>(kUsb ? SoftKeyLink::Transport::Usb : SoftKeyLink::Transport::Card);
        ASSERT_TRUE(link_->open()) << "is pcscd running with vpcd? " << testing::PrintToString(log_.lines());
        ctap_.setHidHelper(link_->hidHelper());
        ctap_.setPcscHelper(link_->pcscHelper());
        ASSERT_EQ(ctap_.sendCmdInit().second, kIOReturnSuccess);
    }
    SoftAuthenticator& key() { return link_->key(); }
    // The key answers the next request with this command byte (and sub-command) so, instead of processing it.
    void reply(Bytes answer, std::uint8_t command, std::optional<std::uint8_t> sub = {})
    {
        key().queueRawReply({std::move(answer), command, sub});
    }
    std::vector<SoftAuthenticator::LoggedRequest> takeRequests()
    {
        auto log = key().requestLog();
        key().clearRequestLog();
        return log;
    }
    // Back to a blank key without going through the transport.
    void factoryReset()
    {
        key().openResetWindow();
        key().setTouch(Touch::Given);
        ASSERT_EQ(key().handle(Bytes{0x07}), Bytes{0x00});
        key().clearRequestLog();
    }

    LogCapture log_;
    std::unique_ptr<SoftKeyLink> link_;
    Ctap2 ctap_; // destroyed first, while the link it is bound to still stands
};

} // namespace

TEST_F(Ctap2OnKey, InitOpensAChannelOnUsbOnlyAndGetInfoChoosesTheProtocol)
{
    connect();
    const std::size_t before = link_->received();
    auto [init, status] = ctap_.sendCmdInit();
    EXPECT_EQ(status, kIOReturnSuccess);
    if constexpr (kUsb) {
        CtaphidFront& front = *link_->usbKey()->front;
        EXPECT_EQ(front.received().back().cid, Ctap2::kBroadcastCid);
        EXPECT_EQ(front.received().back().payload.size(), 8u); // the nonce
        EXPECT_EQ(init.cid, front.channels().back());
        EXPECT_EQ(ctap_.sendCmdWink(), kIOReturnSuccess);
        EXPECT_EQ(front.received().back().cid, init.cid); // later requests go out on the new channel
    } else {
        // A card has no channels: nothing is sent for INIT and the client stays on the broadcast channel.
        EXPECT_EQ(init, ResponseInit{});
        EXPECT_EQ(ctap_.cid(), Ctap2::kBroadcastCid);
        EXPECT_EQ(link_->received(), before);
        EXPECT_EQ(ctap_.sendCmdWink(), kIOReturnUnsupported);
    }
    EXPECT_EQ(ctap_.getInfo().first.pinUvAuthProtocols, (std::vector<std::uint64_t>{2, 1}));
    EXPECT_EQ(ctap_.pinProtocol(), PinProtocol::Two);
    reply(Bytes{0x01}, 0x04);
    EXPECT_EQ(ctap_.getInfo(), std::make_pair(Info{}, kIOReturnError));
    EXPECT_EQ(ctap_.pinProtocol(), PinProtocol::None); // a failed read leaves no protocol behind
}

// setPIN, a wrong PIN, changePIN (to a PIN of multi-byte characters) and both token requests, under both
// protocols; PINs of no bytes or more than 63 are refused before anything is sent.
TEST_F(Ctap2OnKey, PinOperationsUnderBothProtocols)
{
    connect();
    AuthenToken token(ctap_);
    const std::string accents = "\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9";
    for (PinProtocol protocol : {PinProtocol::One, PinProtocol::Two}) {
        SCOPED_TRACE(rawValue(protocol));
        factoryReset();
        ctap_.setPinProtocol(protocol);
        EXPECT_EQ(ctap_.setPin(pin("1234")), kIOReturnSuccess);
        EXPECT_EQ(ctap_.setPin(pin("9999")), kIOReturnNotPermitted); // a 2.1 key refuses a second setPIN
        log_.clear();
        EXPECT_EQ(ctap_.changePin(pin("0000"), pin("5678")), kIOReturnError);
        EXPECT_TRUE(log_.contains("CBOR error: ERR_PIN_INVALID"));
        EXPECT_EQ(ctap_.getPinRetries().first.retries, 7u);
        EXPECT_EQ(ctap_.changePin(pin("1234"), pin(accents)), kIOReturnSuccess);
        EXPECT_TRUE(key().pinIs(accents)); // as its UTF-8 bytes
        EXPECT_EQ(ctap_.getPinRetries().first.retries, 8u);

        // A pre-2.1 key gets the legacy token request, others the one with permissions; the old PIN gets neither,
        // and the secret of the failed exchange is kept.
        for (bool pre : {false, true}) {
            ctap_.setFido2Pre(pre);
            key().clearRequestLog();
            EXPECT_EQ(token.requestToken(pin("1234"), Permission::CredentialManagement), kIOReturnError);
            EXPECT_TRUE(token.getToken().empty() && token.getSharedSecret());
            EXPECT_EQ(token.requestToken(pin(accents), Permission::CredentialManagement), kIOReturnSuccess);
            EXPECT_EQ(token.getToken().size(), 32u);
            EXPECT_EQ(token.getSharedSecret()->pinProtocol(), protocol);
            const Bytes request = takeRequests().at(3).request;
            EXPECT_EQ(requestField(request, 2), pre ? 5u : 9u);
            EXPECT_EQ(requestField(request, 9), pre ? std::nullopt : std::optional<std::uint64_t>(4));
            EXPECT_FALSE(requestHas(request, 10)); // no rpId
        }
    }

    const std::string accents64 = accents + accents + accents + accents + accents + accents + accents + accents;
    const Permission cm = Permission::CredentialManagement;
    for (IOReturn status : {ctap_.setPin(pin("")), ctap_.setPin(pin(accents64)), // 32 characters, 64 bytes
                            ctap_.changePin(pin(accents), pin(std::string(64, '7'))),
                            ctap_.changePin(pin(""), pin("1234")), std::get<2>(ctap_.getPinToken(pin(""))),
                            std::get<2>(ctap_.getPinUvAuthTokenUsingPinWithPermissions(pin(""), cm, "")),
                            std::get<2>(ctap_.getPinUvAuthTokenUsingPinWithPermissions(pin(""), cm, "a.ex"))})
        EXPECT_EQ(status, kIOReturnInvalid);
    EXPECT_TRUE(key().requestLog().empty());
    EXPECT_EQ(ctap_.changePin(pin(accents), pin(std::string(63, '7'))), kIOReturnSuccess);
}

// A token for one relying party comes from the one PIN-with-permissions request, which carries the rpId under key 10
// beside the permission; the key answers it with a token as for any other.
TEST_F(Ctap2OnKey, ATokenForOneRelyingPartyIsAskedForInOneRequestWithItsRpId)
{
    connect();
    ASSERT_TRUE(key().setPin("1234"));
    for (PinProtocol protocol : {PinProtocol::One, PinProtocol::Two}) {
        SCOPED_TRACE(rawValue(protocol));
        ctap_.setPinProtocol(protocol);
        auto [token, secret, status] =
            ctap_.getPinUvAuthTokenUsingPinWithPermissions(pin("1234"), Permission::makeCredential, "a.example");
        EXPECT_EQ(status, kIOReturnSuccess);
        EXPECT_EQ(token.size(), 32u);
        const auto requests = takeRequests();
        ASSERT_EQ(requests.size(), 2u); // the key agreement, then the token request alone
        const Bytes& request = requests[1].request;
        auto map = cborDecode(std::span(request).subspan(1));
        ASSERT_TRUE(map);
        std::vector<std::uint64_t> keys;
        for (const auto& [k, v] : cborMapValue(map->get()).value_or(CborMapView{}))
            keys.push_back(cborUInt64Value(k).value_or(0));
        EXPECT_EQ(keys, (std::vector<std::uint64_t>{1, 2, 3, 6, 9, 10}));
        EXPECT_EQ(requestField(request, 1), rawValue(protocol));
        EXPECT_EQ(requestField(request, 2), 9u);
        EXPECT_EQ(requestField(request, 9), 1u);
        EXPECT_EQ(cborStringValue(cborMapFind(map->get(), 10)), "a.example");
    }
}

// Key-agreement, token and retries answers that cannot be used are refused: no PIN is encrypted to a bad point,
// no token kept that the protocol does not allow, no count read from an answer without one.
TEST_F(Ctap2OnKey, UnusableClientPinAnswersAreInvalid)
{
    connect();
    ASSERT_TRUE(key().setPin("1234"));
    auto agreement = [](const Bytes& x, const Bytes& y) { return okMap({{C::uint(1), C::coseP256(-25, x, y)}}); };
    // Off the curve, a short coordinate, the zero point, no key at all; and the key's refusal.
    for (const Bytes& answer : {agreement(Bytes(32, 1), Bytes(32, 1)), agreement(Bytes(31, 5), Bytes(32, 5)),
                                agreement(Bytes(32, 0), Bytes(32, 0)), okMap({}), Bytes{0x01}}) {
        key().clearRequestLog();
        reply(answer, 0x06, 0x02);
        EXPECT_EQ(ctap_.changePin(pin("1234"), pin("5678")), answer.size() > 1 ? kIOReturnInvalid : kIOReturnError);
        EXPECT_EQ(key().requestLog().size(), 1u);
    }
    // Under Two, 32 bytes are an IV and one block: a 16-byte token; then an IV alone, no whole blocks, nothing.
    const std::pair<PinProtocol, Bytes> tokens[] = {
        {PinProtocol::Two, C::bytes(Bytes(32, 0x42))}, {PinProtocol::Two, C::bytes(Bytes(16, 0x42))},
        {PinProtocol::Two, C::bytes(Bytes(40, 0x42))}, {PinProtocol::Two, C::bytes(Bytes{})},
        {PinProtocol::One, C::bytes(Bytes(15, 0x42))}, {PinProtocol::One, C::bytes(Bytes(48, 0x42))},
        {PinProtocol::One, C::text("token")},
    };
    for (const auto& [protocol, value] : tokens) {
        ctap_.setPinProtocol(protocol);
        reply(okMap({{C::uint(2), value}}), 0x06, 0x09);
        auto [token, secret, status] =
            ctap_.getPinUvAuthTokenUsingPinWithPermissions(pin("1234"), Permission::CredentialManagement, "");
        EXPECT_EQ(status, kIOReturnInvalid) << X(value);
        EXPECT_TRUE(token.empty() && secret);
    }
    ctap_.setPinProtocol(PinProtocol::One);
    reply(okMap({{C::uint(2), C::bytes(Bytes(16, 0x42))}}), 0x06, 0x05);
    EXPECT_EQ(std::get<0>(ctap_.getPinToken(pin("1234"))).size(), 16u); // One allows 16-byte tokens
    for (const Bytes& answer : {Bytes{0x31}, okMap({{C::uint(4), C::boolean(false)}})}) {
        reply(answer, 0x06, 0x01);
        EXPECT_EQ(ctap_.getPinRetries(), std::make_pair(PinResponse::PinRetries{}, kIOReturnInvalid));
    }
}

// Touch requests the user answers (touched, refused, left to time out) or cancels from another thread once the
// touch prompt is up; a key removed while it waits for the touch was not touched either.
TEST_F(Ctap2OnKey, TouchRequestsTouchedDeniedTimedOutCancelledOrCutShort)
{
    connect();
    ASSERT_TRUE(key().setPin("1234"));
    key().openResetWindow();
    for (const auto& [touch, status] :
         {std::pair{Touch::Denied, kIOReturnAborted}, std::pair{Touch::TimedOut, kIOReturnTimeout},
          std::pair{Touch::HeldUntilCancel, kIOReturnAborted}, std::pair{Touch::Given, kIOReturnSuccess}}) {
        key().setTouch(touch);
        for (auto request : {&Ctap2::selection, &Ctap2::selectDevice, &Ctap2::reset}) {
            const int prompts = link_->touchPrompts();
            auto canceller = std::async(std::launch::async, [&, cancel = touch == Touch::HeldUntilCancel] {
                const bool prompted = !cancel || eventually([&] { return link_->touchPrompts() > prompts; });
                return !cancel ? kIOReturnSuccess : prompted ? ctap_.sendCmdCancel() : kIOReturnError;
            });
            // The dummy makeCredential refused after the touch (PIN_INVALID) counts as touched.
            EXPECT_EQ((ctap_.*request)(), status);
            EXPECT_EQ(canceller.get(), kIOReturnSuccess);
        }
        EXPECT_EQ(key().hasPin(), status != kIOReturnSuccess); // only a touched reset wipes the key
    }

    key().setTouch(Touch::HeldUntilCancel);
    auto remover = std::async(std::launch::async, [&] {
        if (key().waitForTouchRequest(3s))
            link_->removeKey();
    });
    EXPECT_NE(ctap_.selectDevice(), kIOReturnSuccess);
    remover.get();
    EXPECT_NE(ctap_.selection(), kIOReturnSuccess);
}

// What a status byte becomes: the status of sendCmdCbor and its log line, and what the touch requests make of it.
TEST_F(Ctap2OnKey, StatusBytesMapToStatusesWithTheirLogLines)
{
    connect();
    const IOReturn OK = kIOReturnSuccess, ERR = kIOReturnError, REFUSED = kIOReturnNotPermitted;
    struct Row {
        Bytes answer;
        IOReturn status, selection, selectDevice;
        std::string name; // of the log line, "" for none
    };
    const Row rows[] = {
        {{0x00, 0xA0}, OK, OK, OK, ""}, // denied, timed-out and cancelled touches are in their own test
        {{0x30}, REFUSED, REFUSED, REFUSED, "ERR_NOT_ALLOWED"},
        {{0x31, 0xA0}, ERR, ERR, OK, "ERR_PIN_INVALID"},
        {{0x01}, ERR, ERR, OK, "ERR_INVALID_CMD"},
        {{0x12}, ERR, OK, OK, "ERR_INVALID_CBOR"}, // the key sent INVALID_CBOR itself: it did answer
        {{}, ERR, ERR, ERR, "ERR_INVALID_CBOR"},   // no status byte at all: nobody touched the key
        // Bytes without a name (newer keys send some) fail plainly; selection takes them for no touch or refusal.
        {{0x3B}, ERR, ERR, OK, "UNKNOWN_0x3B"},
        {{0xE5}, ERR, ERR, OK, "UNKNOWN_0xE5"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(X(row.answer));
        reply(row.answer, 0x04);
        log_.clear();
        const Ctap2::CborAnswer answer = ctap_.sendCmdCbor(Bytes{0x04});
        EXPECT_EQ(answer.status, row.status);
        EXPECT_EQ(answer.statusByteReceived, !row.answer.empty());
        EXPECT_EQ(answer.statusByte, row.answer.empty() ? 0 : row.answer[0]);
        EXPECT_EQ(log_.lines(), row.name.empty() ? std::vector<std::string>{}
                                                 : std::vector<std::string>{"CBOR error: " + row.name});
        reply(row.answer, 0x0B);
        EXPECT_EQ(ctap_.selection(), row.selection);
        reply(row.answer, 0x01);
        EXPECT_EQ(ctap_.selectDevice(), row.selectDevice);
    }
}

#if !KEY_TRANSPORT_CARD
// An INIT answer must echo the nonce in exactly 17 bytes, or the client stays on the broadcast channel. Failures
// of the transport pass through as they came, with the transport's log line and no CBOR one.
TEST_F(Ctap2OnKey, InitAnswersAreCheckedAndTransportFailuresPassThrough)
{
    connect();
    CtaphidFront& front = *link_->usbKey()->front;
    const std::pair<std::function<void(Bytes&)>, ResponseInit> inits[] = {
        {[](Bytes& a) { a[7] ^= 0x01; }, {}},         // one byte of the nonce differs
        {[](Bytes& a) { a.pop_back(); }, {}},         // 16 bytes
        {[](Bytes& a) { a.push_back(0xEE); }, {}},    // 18 bytes
        {[](Bytes&) {}, {0x01020304, 2, 9, 8, 7, 5}}, // the channel is big-endian
    };
    for (const auto& [spoil, expected] : inits) {
        // The key stays silent; the answer is made here from the nonce the host sent.
        front.injectFault({CtaphidFront::Fault::Silence, 0, std::uint8_t{0x06}});
        const std::size_t already = front.received().size();
        auto answered = std::async(std::launch::async, [&, already] {
            if (!front.waitForReceived(already + 1, 3s))
                return;
            Bytes payload = front.received().back().payload + H("01020304 02 09 08 07 05");
            spoil(payload);
            Bytes report = H("FFFFFFFF 86 00") + Bytes{static_cast<std::uint8_t>(payload.size())} + payload;
            report.resize(64, 0);
            front.sendRaw(report);
        });
        auto [init, status] = ctap_.sendCmdInit();
        answered.get();
        EXPECT_EQ(init, expected);
        EXPECT_EQ(status, expected.cid ? kIOReturnSuccess : kIOReturnInvalid);
        EXPECT_EQ(ctap_.cid(), expected.cid ? expected.cid : Ctap2::kBroadcastCid);
    }

    ASSERT_EQ(ctap_.sendCmdInit().second, kIOReturnSuccess);
    front.injectFault({CtaphidFront::Fault::Silence, 0, std::uint8_t{0x10}});
    log_.clear();
    const Ctap2::CborAnswer answer = ctap_.sendCmdCbor(Bytes{0x04});
    EXPECT_EQ(answer.status, kIOReturnError); // the transport's answer time-out
    EXPECT_FALSE(answer.statusByteReceived);
    EXPECT_EQ(log_.lines(), std::vector<std::string>{"receiveResponse: timeout"});
    // The key removed while it works; later requests find no device.
    front.injectFault({CtaphidFront::Fault::HangUp, 0, std::uint8_t{0x10}});
    const Ctap2::CborAnswer gone = ctap_.sendCmdCbor(Bytes{0x04});
    EXPECT_NE(gone.status, kIOReturnSuccess);
    EXPECT_FALSE(gone.statusByteReceived);
    EXPECT_EQ(ctap_.getPinRetries().second, kIOReturnNoDevice);
    EXPECT_EQ(ctap_.getInfo().second, kIOReturnNoDevice);
    ctap_.setHidHelper(nullptr); // nothing bound: an I/O error
    EXPECT_EQ(ctap_.sendCmdCbor(Bytes{0x04}).status, kIOReturnIOError);
    EXPECT_EQ(ctap_.sendCmdInit().second, kIOReturnIOError);
    EXPECT_EQ(ctap_.selection(), kIOReturnIOError);
}
#endif

namespace {

struct Mode {
    PinProtocol protocol;
    bool preview; // the key offers only the prototype command; the client uses the legacy token
    std::uint8_t command() const { return preview ? 0x41 : 0x0A; }
};

using Metadata = std::tuple<std::uint64_t, std::uint64_t, IOReturn>;
using Rps = std::tuple<std::vector<RpInfo>, std::uint64_t, IOReturn>;
using Creds = std::tuple<std::vector<CredentialInfo>, std::uint64_t, IOReturn>;

class CredMgmtOnKey : public Ctap2OnKey {
protected:
    // A blank key in this mode with PIN 1234, these credentials, and a fresh token for credential management.
    void start(const Mode& mode, const std::string& fixtures = "")
    {
        if (!link_)
            connect();
        factoryReset();
        mode_ = mode;
        key().updateConfig([&](SoftKeyConfig& c) {
            c.credMgmt = !mode.preview;
            c.credMgmtPreview = mode.preview;
        });
        ctap_.setFido2Pre(mode.preview);
        ctap_.setPinProtocol(mode.protocol);
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
    Metadata metadata() { return ctap_.getCredsMetadata(token(), secret()); }
    Rps rps() { return ctap_.enumerateRPs(token(), secret()); }
    Creds creds(const std::string& rp) { return ctap_.enumerateCredentials(token(), secret(), rpHash(rp)); }
    void reply(Bytes answer, std::uint8_t sub) { Ctap2OnKey::reply(std::move(answer), mode_.command(), sub); }

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

// An enumeration round's answer for a relying party, with the total when given (as a begin answer has it).
Bytes rpAnswer(const std::string& id, std::optional<std::uint64_t> total = {})
{
    std::vector<C::Entry> m{{C::uint(3), C::map({{C::text("id"), C::text(id)}})}, {C::uint(4), C::bytes(rpHash(id))}};
    if (total)
        m.push_back({C::uint(5), C::uint(*total)});
    return okMap(std::move(m));
}

} // namespace

// Reading and deleting under both protocols and both command bytes. Requests are authenticated under the protocol
// of the token's own exchange, whichever protocol the client holds by now; the key refuses a wrong MAC, a token
// without the permission, and a legacy token on the 2.1 command.
TEST_F(CredMgmtOnKey, ReadAndDeleteUnderBothProtocolsAndCommandBytes)
{
    for (const Mode mode : {Mode{PinProtocol::One, false}, Mode{PinProtocol::Two, false}, Mode{PinProtocol::One, true},
                            Mode{PinProtocol::Two, true}}) {
        SCOPED_TRACE(testing::Message() << rawValue(mode.protocol) << (mode.preview ? "/0x41" : "/0x0A"));
        start(mode);
        ctap_.setPinProtocol(mode.protocol == PinProtocol::One ? PinProtocol::Two : PinProtocol::One);
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
        EXPECT_EQ(ctap_.deleteCredential(token(), secret(), gone), kIOReturnSuccess);
        EXPECT_EQ(creds("two.example"), (Creds{{two[1]}, 1, kIOReturnSuccess}));
        log_.clear();
        EXPECT_EQ(ctap_.deleteCredential(token(), secret(), gone), kIOReturnError);
        EXPECT_TRUE(log_.contains("CBOR error: ERR_NO_CREDENTIALS"));

        SecureBytes wrong = token();
        wrong.data()[0] ^= 0x01; // every MAC is wrong
        log_.clear();
        EXPECT_EQ(ctap_.getCredsMetadata(wrong, secret()), (Metadata{0, 0, kIOReturnError}));
        EXPECT_TRUE(log_.contains("CBOR error: ERR_PIN_AUTH_INVALID"));
        EXPECT_EQ(ctap_.enumerateRPs(wrong, secret()), (Rps{{}, 0, kIOReturnError}));
        EXPECT_EQ(std::get<2>(ctap_.enumerateCredentials(wrong, secret(), rpHash("two.example"))), kIOReturnError);
        EXPECT_EQ(ctap_.deleteCredential(wrong, secret(), two[1].publicKeyCredentialDescriptor), kIOReturnError);
        // A single entry needs no get-next request; get-next requests follow their begin with nothing in between.
        EXPECT_EQ(subCommandsSent(), (Subs{1, 2, 1, 2, 3, 4, 4, 5, 6, 4, 6, 1, 2, 4, 6}));

        auto [mcToken, mcSecret, mcStatus] =
            ctap_.getPinUvAuthTokenUsingPinWithPermissions(pin("1234"), Permission::makeCredential, "");
        ASSERT_EQ(mcStatus, kIOReturnSuccess);
        EXPECT_EQ(std::get<2>(ctap_.getCredsMetadata(mcToken, *mcSecret)), kIOReturnError);
        EXPECT_EQ(ctap_.deleteCredential(mcToken, *mcSecret, two[1].publicKeyCredentialDescriptor), kIOReturnError);
        auto [legacyToken, legacySecret, legacyStatus] = ctap_.getPinToken(pin("1234"));
        ASSERT_EQ(legacyStatus, kIOReturnSuccess);
        EXPECT_EQ(std::get<2>(ctap_.getCredsMetadata(legacyToken, *legacySecret)),
                  mode.preview ? kIOReturnSuccess : kIOReturnError);
        EXPECT_EQ(key().credentials().size(), 2u);
    }
}

// An enumeration stops at the first failed exchange and reports the first failure; an answer that does not parse
// adds no row (no empty one either) and the enumeration goes on. The key's total is read up to 1000 entries.
TEST_F(CredMgmtOnKey, AnEnumerationReportsItsFirstFailureAndReadsAtMostAThousandEntries)
{
    start({PinProtocol::Two, false}, "credential rp=a.example user=01\ncredential rp=b.example user=02\n"
                                     "credential rp=c.example user=03\n");
    const Bytes unreadable{0x00, 0xFF};
    const Bytes unknown = okMap({{C::uint(10), C::uint(1)}});
    struct Case {
        const char* name;
        std::vector<std::pair<Bytes, std::uint8_t>> replies; // answers and their sub-commands
        IOReturn status;
        std::size_t rows;
        std::uint64_t total;
        Subs subs;
    };
    const Case cases[] = {
        {"begin refused", {{{0x33}, 2}}, kIOReturnError, 0, 0, {2}},
        {"begin on an empty key", {{{0x2E}, 2}}, kIOReturnSuccess, 0, 0, {2}},
        {"second round refused", {{{0x01}, 3}}, kIOReturnError, 1, 3, {2, 3}},
        {"second round says no credentials", {{{0x2E}, 3}}, kIOReturnError, 1, 3, {2, 3}},
        {"second round not permitted", {{{0x30}, 3}}, kIOReturnNotPermitted, 1, 3, {2, 3}},
        {"second round unreadable, third fine", {{unreadable, 3}}, kIOReturnInvalid, 2, 3, {2, 3, 3}},
        {"third round unreadable", {{rpAnswer("x.example"), 3}, {unreadable, 3}}, kIOReturnInvalid, 2, 3, {2, 3, 3}},
        {"second round without an entry, third refused", {{unknown, 3}, {{0x01}, 3}}, kIOReturnInvalid, 1, 3,
         {2, 3, 3}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        key().clearRawReplies();
        for (const auto& [answer, sub] : c.replies)
            reply(answer, sub);
        auto [list, total, status] = rps();
        for (const auto& rp : list)
            EXPECT_EQ(rp.idHash, rpHash(rp.id));
        EXPECT_EQ(std::tie(status, total), std::tie(c.status, c.total));
        EXPECT_EQ(list.size(), c.rows);
        EXPECT_EQ(subCommandsSent(), c.subs);
    }

    reply(rpAnswer("rp0.example", 1'000'000), 2);
    for (int i = 1; i < 1005; ++i)
        reply(rpAnswer("rp" + std::to_string(i) + ".example"), 3);
    log_.clear();
    EXPECT_EQ(std::get<0>(rps()).size(), 1000u);
    EXPECT_TRUE(log_.contains("enumerateRPs: the key reports 1000000 entries, reading 1000"));
    key().clearRawReplies();
}
