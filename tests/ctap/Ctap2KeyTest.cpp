// The CTAP 2 client against the software key, built once per transport (KEY_TRANSPORT_CARD: the card on the first
// vpcd reader through pcscd, else the USB key on a socket pair): channel set-up, getInfo, clientPIN and the token,
// touch requests, the status mapping, and credential management with both command bytes (0x0A and 0x41).
#include "ctap/AuthenToken.h"
#include "ctap/CredentialManagementCommand.h"
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
    auto [info, infoStatus] = ctap_.getInfo();
    ASSERT_EQ(infoStatus, kIOReturnSuccess);
    EXPECT_EQ(info.versions, (std::vector<std::string>{"FIDO_2_0", "FIDO_2_1_PRE", "FIDO_2_1"}));
    EXPECT_EQ(info.aaguid, "4D542D534F46544B45592D3030303031");
    EXPECT_EQ(std::make_pair(info.options.at("clientPin"), info.options.at("credMgmt")), std::make_pair(false, true));
    EXPECT_EQ(info.pinUvAuthProtocols, (std::vector<std::uint64_t>{2, 1}));
    EXPECT_EQ(std::tie(info.maxMsgSize, info.minPINLength, info.firmwareVersion, info.remainingDiscoverableCredentials),
              std::make_tuple(1200u, 4u, 0x050403u, 25u));
    EXPECT_EQ(ctap_.pinProtocol(), PinProtocol::Two);
    // The highest protocol the key lists, None when it lists none.
    using Listed = std::optional<std::vector<std::uint64_t>>;
    const std::pair<Listed, PinProtocol> choices[] = {
        {std::vector<std::uint64_t>{1}, PinProtocol::One},
        {std::nullopt, PinProtocol::None},
        {std::vector<std::uint64_t>{2}, PinProtocol::Two},
    };
    for (const auto& [listed, chosen] : choices) {
        key().updateConfig([&listed = listed](SoftKeyConfig& c) { c.pinUvAuthProtocols = listed; });
        EXPECT_EQ(ctap_.getInfo().second, kIOReturnSuccess);
        EXPECT_EQ(ctap_.pinProtocol(), chosen);
    }
    reply(Bytes{0x01}, 0x04);
    EXPECT_EQ(ctap_.getInfo(), std::make_pair(Info{}, kIOReturnError));
    EXPECT_EQ(ctap_.pinProtocol(), PinProtocol::None); // a failed read leaves no protocol behind
}

// A getInfo answer with values of other kinds than their fields take is read all the same, with status 0: those
// fields keep their defaults and the rest, the protocol choice among it, is the key's. An AAGUID of 20 bytes is
// shown whole.
TEST_F(Ctap2OnKey, GetInfoWithOddFieldsReadsTheRest)
{
    connect();
    const Bytes aaguid{0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99,
                       0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF, 0x01, 0x23, 0x45, 0x67};
    key().updateConfig([&](SoftKeyConfig& c) {
        c.aaguid = aaguid;
        c.rawInfoFields = {{0x04, C::array({C::text("clientPin")})}, {0x0E, C::text("5.4.3")}};
    });
    auto [info, status] = ctap_.getInfo();
    EXPECT_EQ(status, kIOReturnSuccess);
    EXPECT_EQ(info.aaguid, "00112233445566778899AABBCCDDEEFF01234567");
    EXPECT_TRUE(info.options.empty());
    EXPECT_EQ(info.firmwareVersion, 0u);
    EXPECT_EQ(info.versions, (std::vector<std::string>{"FIDO_2_0", "FIDO_2_1_PRE", "FIDO_2_1"}));
    EXPECT_EQ(std::tie(info.maxMsgSize, info.minPINLength), std::make_tuple(1200u, 4u));
    EXPECT_EQ(ctap_.pinProtocol(), PinProtocol::Two);
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

// Wrong PINs count the retries down and the third in a row blocks PIN use (PIN_AUTH_BLOCKED); the retries answer
// carries the UV retries beside them.
TEST_F(Ctap2OnKey, RetriesCountDownAndPinIsBlockedAfterThreeMismatches)
{
    connect();
    key().updateConfig([](SoftKeyConfig& c) { c.uvRetries = 3; });
    ASSERT_EQ(ctap_.getInfo().second, kIOReturnSuccess);
    ASSERT_TRUE(key().setPin("1234"));
    EXPECT_EQ(ctap_.getPinRetries(), std::make_pair(PinResponse::PinRetries{8, 3}, kIOReturnSuccess));
    for (const char* wrong : {"1111", "2222"})
        EXPECT_EQ(std::get<2>(ctap_.getPinToken(pin(wrong))), kIOReturnError);
    log_.clear();
    EXPECT_EQ(std::get<2>(ctap_.getPinToken(pin("3333"))), kIOReturnError);
    EXPECT_TRUE(log_.contains("CBOR error: ERR_PIN_AUTH_BLOCKED"));
    EXPECT_EQ(ctap_.getPinRetries().first.retries, 5u);
}

// The channel, PIN protocol and pre-2.1 flag of the key an operation is for replace those of the key read before:
// nothing of that key is carried into this one's requests.
TEST_F(Ctap2OnKey, KeySettingsAppliedForOneOperationChooseChannelProtocolAndCommandByte)
{
    connect();
    const std::uint32_t cid = ctap_.sendCmdInit().first.cid;
    ASSERT_EQ(ctap_.getInfo().second, kIOReturnSuccess);
    // Another key was read in between: its channel and protocol are in the client now.
    ctap_.applyKeySettings(0x11223344, PinProtocol::Two, false);
    ctap_.applyKeySettings(cid, PinProtocol::One, true);
    EXPECT_EQ(credMgmtCommand.load(), 0x41);
    key().clearRequestLog();
    EXPECT_EQ(ctap_.getPinRetries().second, kIOReturnSuccess);
    if constexpr (kUsb) {
        EXPECT_EQ(link_->usbKey()->front->received().back().cid, cid);
    }
    const auto requests = takeRequests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requestField(requests[0].request, 1), 1u);
    ctap_.applyKeySettings(cid, PinProtocol::Two, false);
    EXPECT_EQ(credMgmtCommand.load(), 0x0A);
}

// Key-agreement, token and retries answers that cannot be used are refused: no PIN is encrypted to a bad point,
// no token kept that is no ciphertext, no count read from an answer without one.
TEST_F(Ctap2OnKey, UnusableClientPinAnswersAreInvalid)
{
    connect();
    ASSERT_TRUE(key().setPin("1234"));
    auto agreement = [](const Bytes& x, const Bytes& y) { return okMap({{C::uint(1), C::coseP256(-25, x, y)}}); };
    // Off the curve, a short coordinate, the zero point, no key at all; and the key's refusal.
    for (const Bytes& answer : {agreement(Bytes(32, 1), Bytes(32, 1)), agreement(Bytes(31, 5), Bytes(32, 5)),
                                agreement(Bytes(32, 0), Bytes(32, 0)), okMap({}), Bytes{0x01}}) {
        for (bool set : {true, false}) {
            SCOPED_TRACE(testing::Message() << X(answer) << (set ? " setPin" : " changePin"));
            key().clearRequestLog();
            reply(answer, 0x06, 0x02);
            const IOReturn status = set ? ctap_.setPin(pin("5678")) : ctap_.changePin(pin("1234"), pin("5678"));
            EXPECT_EQ(status, answer.size() > 1 ? kIOReturnInvalid : kIOReturnError);
            EXPECT_EQ(key().requestLog().size(), 1u);
        }
    }
    // A token is as long as the key made it; only what is no ciphertext is refused: under Two an IV alone, no whole
    // blocks or nothing; under One no whole blocks or nothing.
    const std::tuple<PinProtocol, Bytes, std::size_t> tokens[] = {
        {PinProtocol::Two, C::bytes(Bytes(32, 0x42)), 16}, {PinProtocol::Two, C::bytes(Bytes(64, 0x42)), 48},
        {PinProtocol::Two, C::bytes(Bytes(16, 0x42)), 0},  {PinProtocol::Two, C::bytes(Bytes(40, 0x42)), 0},
        {PinProtocol::Two, C::bytes(Bytes{}), 0},          {PinProtocol::One, C::bytes(Bytes(48, 0x42)), 48},
        {PinProtocol::One, C::bytes(Bytes(15, 0x42)), 0},  {PinProtocol::One, C::bytes(Bytes{}), 0},
        {PinProtocol::One, C::text("token"), 0},
    };
    for (const auto& [protocol, value, length] : tokens) {
        ctap_.setPinProtocol(protocol);
        reply(okMap({{C::uint(2), value}}), 0x06, 0x09);
        auto [token, secret, status] =
            ctap_.getPinUvAuthTokenUsingPinWithPermissions(pin("1234"), Permission::CredentialManagement, "");
        EXPECT_EQ(status, length ? kIOReturnSuccess : kIOReturnInvalid) << X(value);
        EXPECT_TRUE(token.size() == length && secret) << X(value);
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
                const bool prompted = !cancel || eventually([&] { return link_->touchPrompts() > prompts; }, 10s);
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
        if (key().waitForTouchRequest(10s))
            link_->removeKey();
    });
    EXPECT_NE(ctap_.selectDevice(), kIOReturnSuccess);
    remover.get();
    EXPECT_NE(ctap_.selection(), kIOReturnSuccess);
}

// What a status byte becomes: the status, code and payload of sendCmdCbor with its log line, and what the touch
// requests make of it.
TEST_F(Ctap2OnKey, StatusBytesMapToStatusesWithTheirLogLines)
{
    connect();
    using E = CTAPHID_ERROR_CODE;
    const IOReturn OK = kIOReturnSuccess, ERR = kIOReturnError, REFUSED = kIOReturnNotPermitted;
    const IOReturn ABORTED = kIOReturnAborted, TIMEOUT = kIOReturnTimeout;
    struct Row {
        Bytes answer;
        IOReturn status;
        std::optional<E> code; // nothing: a byte without a case, whose code must be one no caller reads specially
        Bytes payload;
        IOReturn selection, selectDevice;
        std::string name; // of the log line, "" for none
    };
    const Row rows[] = {
        {{0x00, 0xA0}, OK, E::ERR_NO_ERROR, {0xA0}, OK, OK, ""},
        {{0x00}, OK, E::ERR_NO_ERROR, {}, OK, OK, ""},
        {{0x27}, ABORTED, E::ERR_OPERATION_DENIED, {}, ABORTED, ABORTED, "ERR_OPERATION_DENIED"},
        {{0x2D}, ABORTED, E::ERR_KEEPALIVE_CANCEL, {}, ABORTED, ABORTED, "ERR_KEEPALIVE_CANCEL"},
        {{0x2F}, TIMEOUT, E::ERR_USER_ACTION_TIMEOUT, {}, TIMEOUT, TIMEOUT, "ERR_USER_ACTION_TIMEOUT"},
        {{0x30}, REFUSED, E::ERR_NOT_ALLOWED, {}, REFUSED, REFUSED, "ERR_NOT_ALLOWED"},
        {{0x31}, ERR, E::ERR_PIN_INVALID, {}, ERR, OK, "ERR_PIN_INVALID"},
        {{0x31, 0xA0}, ERR, E::ERR_PIN_INVALID, {0xA0}, ERR, OK, "ERR_PIN_INVALID"}, // an error answer's payload too
        {{0x01}, ERR, E::ERR_INVALID_CMD, {}, ERR, OK, "ERR_INVALID_CMD"},
        {{0x12}, ERR, E::ERR_INVALID_CBOR, {}, OK, OK, "ERR_INVALID_CBOR"}, // the key sent INVALID_CBOR itself
        {{}, ERR, E::ERR_INVALID_CBOR, {}, ERR, ERR, "ERR_INVALID_CBOR"},   // no status byte: nobody touched the key
        // Bytes without a name (newer keys send some) fail plainly; selection takes them for no touch or refusal.
        {{0x3B}, ERR, std::nullopt, {}, ERR, OK, "UNKNOWN_0x3B"},
        {{0x3F}, ERR, std::nullopt, {}, ERR, OK, "UNKNOWN_0x3F"},
        {{0x40}, ERR, std::nullopt, {}, ERR, OK, "UNKNOWN_0x40"},
        {{0xE5}, ERR, std::nullopt, {}, ERR, OK, "UNKNOWN_0xE5"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(X(row.answer));
        reply(row.answer, 0x04);
        log_.clear();
        const Ctap2::CborAnswer answer = ctap_.sendCmdCbor(Bytes{0x04});
        EXPECT_EQ(answer.status, row.status);
        if (row.code)
            EXPECT_EQ(answer.code, *row.code);
        else
            for (E special : {E::ERR_NO_ERROR, E::ERR_INVALID_CBOR, E::ERR_OPERATION_DENIED})
                EXPECT_NE(answer.code, special);
        EXPECT_EQ(answer.payload, row.payload);
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
// of the transport pass through as they came, with the transport's log line and no CBOR one; an answer cut short
// by an ERROR reply is no touch.
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
    EXPECT_EQ(answer.code, CTAPHID_ERROR_CODE::ERR_INVALID_CBOR);
    EXPECT_TRUE(answer.payload.empty());
    EXPECT_FALSE(answer.statusByteReceived);
    EXPECT_EQ(log_.lines(), std::vector<std::string>{"receiveResponse: timeout"});
    // A key that never answers getRetries gives no count, whatever the transport's reason.
    front.injectFault({CtaphidFront::Fault::Silence, 0, std::uint8_t{0x10}});
    EXPECT_EQ(ctap_.getPinRetries(), std::make_pair(PinResponse::PinRetries{}, kIOReturnInvalid));
    // An ERROR reply ends the answer early with nothing gathered: no touch either.
    for (auto request : {&Ctap2::selection, &Ctap2::selectDevice}) {
        front.injectFault({CtaphidFront::Fault::ErrorReply, 0x7F, std::uint8_t{0x10}});
        EXPECT_NE((ctap_.*request)(), kIOReturnSuccess);
    }
    // The key removed while it works; later requests find no device.
    front.injectFault({CtaphidFront::Fault::HangUp, 0, std::uint8_t{0x10}});
    const Ctap2::CborAnswer gone = ctap_.sendCmdCbor(Bytes{0x04});
    EXPECT_NE(gone.status, kIOReturnSuccess);
    EXPECT_FALSE(gone.statusByteReceived);
    EXPECT_EQ(ctap_.getPinRetries().second, kIOReturnInvalid);
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
    start({PinProtocol::Two, false}, "credential rp=a.example user=01\ncredential rp=a.example user=02\n"
                                     "credential rp=a.example user=03\ncredential rp=b.example user=04\n"
                                     "credential rp=c.example user=05\n");
    const Bytes unreadable{0x00, 0xFF};
    const Bytes unknown = okMap({{C::uint(10), C::uint(1)}}); // neither a relying party nor a user
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
        {"second round not permitted", false, {{{0x30}, 3}}, kIOReturnNotPermitted, 1, 3, {2, 3}},
        {"second credential not permitted", true, {{{0x30}, 5}}, kIOReturnNotPermitted, 1, 3, {4, 5}},
        {"second round unreadable, third fine", false, {{unreadable, 3}}, kIOReturnInvalid, 2, 3, {2, 3, 3}},
        {"third round unreadable", false, {{rpAnswer("x.example"), 3}, {unreadable, 3}}, kIOReturnInvalid, 2, 3,
         {2, 3, 3}},
        {"second round without an entry, third refused", false, {{unknown, 3}, {{0x01}, 3}}, kIOReturnInvalid, 1, 3,
         {2, 3, 3}},
        {"second credential without a user, third fine", true, {{unknown, 5}}, kIOReturnInvalid, 2, 3, {4, 5, 5}},
        {"second credential without a user, third refused", true, {{unknown, 5}, {{0x01}, 5}}, kIOReturnInvalid, 1,
         3, {4, 5, 5}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        key().clearRawReplies();
        for (const auto& [answer, sub] : c.replies)
            reply(answer, sub);
        IOReturn status = kIOReturnSuccess;
        std::uint64_t total = 0;
        std::size_t rows = 0;
        if (c.credentials) {
            std::vector<CredentialInfo> list;
            std::tie(list, total, status) = creds("a.example");
            for (const auto& cred : list)
                EXPECT_FALSE(cred.userEntity.id.empty());
            rows = list.size();
        } else {
            std::vector<RpInfo> list;
            std::tie(list, total, status) = rps();
            for (const auto& rp : list)
                EXPECT_EQ(rp.idHash, rpHash(rp.id));
            rows = list.size();
        }
        EXPECT_EQ(std::tie(status, total), std::tie(c.status, c.total));
        EXPECT_EQ(rows, c.rows);
        EXPECT_EQ(subCommandsSent(), c.subs);
    }

    // Totals far beyond what any key holds: the relying parties and the credentials of one are read up to 1000.
    reply(rpAnswer("rp0.example", 1'000'000), 2);
    for (int i = 1; i < 1005; ++i)
        reply(rpAnswer("rp" + std::to_string(i) + ".example"), 3);
    log_.clear();
    auto [parties, total, status] = rps();
    EXPECT_EQ(std::tie(status, total), std::make_tuple(kIOReturnSuccess, std::uint64_t{1'000'000}));
    EXPECT_EQ(parties.size(), Ctap2::kMaxRelyingParties);
    EXPECT_EQ(parties.back().id, "rp999.example");
    EXPECT_EQ(takeRequests().size(), Ctap2::kMaxRelyingParties);
    EXPECT_TRUE(log_.contains("enumerateRPs: the key reports 1000000 entries, reading 1000"));
    key().clearRawReplies();

    auto credAnswer = [](int i, std::optional<std::uint64_t> announced) {
        const auto n = static_cast<std::uint8_t>(i);
        std::vector<C::Entry> m{
            {C::uint(6), C::map({{C::text("id"), C::bytes(Bytes{n})}})},
            {C::uint(7), C::map({{C::text("id"), C::bytes(Bytes(16, n))}, {C::text("type"), C::text("public-key")}})}};
        if (announced)
            m.push_back({C::uint(9), C::uint(*announced)});
        return okMap(std::move(m));
    };
    reply(credAnswer(0, UINT64_MAX), 4);
    for (int i = 1; i < 1005; ++i)
        reply(credAnswer(i, std::nullopt), 5);
    auto [credentials, credTotal, credStatus] = creds("rp0.example");
    EXPECT_EQ(std::tie(credStatus, credTotal), std::make_tuple(kIOReturnSuccess, std::uint64_t{UINT64_MAX}));
    EXPECT_EQ(credentials.size(), Ctap2::kMaxCredentialsPerRp);
    EXPECT_EQ(takeRequests().size(), Ctap2::kMaxCredentialsPerRp);
    key().clearRawReplies();
}
