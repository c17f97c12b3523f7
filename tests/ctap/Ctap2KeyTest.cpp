// The CTAP 2 client against the software key over a real transport: channel set-up, getInfo, the clientPIN
// operations and the PIN token under both protocols, reset and the touch requests, and the status mapping.
#include "KeyFixture.h"

#include "TestHex.h"
#include "ctap/AuthenToken.h"
#include "ctap/CredentialManagementCommand.h"
#include "softkey/CtapCbor.h"
#include "support/Eventually.h"

#include <future>

using namespace std::chrono_literals;
using Touch = SoftAuthenticator::Touch;
using Ctap2OnKey = KeyFixture;

TEST_F(Ctap2OnKey, InitOpensAChannelOnUsbOnly)
{
    connect();
    const std::size_t before = link().received();
    auto [init, status] = ctap().sendCmdInit();
    EXPECT_EQ(status, kIOReturnSuccess);
    if constexpr (kUsb) {
        CtaphidFront& front = *link().usbKey()->front;
        EXPECT_EQ(front.received().back().cid, Ctap2::kBroadcastCid);
        EXPECT_EQ(front.received().back().payload.size(), 8u); // the nonce
        EXPECT_EQ(init.cid, front.channels().back());
        EXPECT_EQ(ctap().cid(), init.cid);
        EXPECT_EQ(ctap().getInfo().second, kIOReturnSuccess);
        EXPECT_EQ(front.received().back().cid, init.cid);
        // Settings of another key read in between give way to this key's channel, protocol and command byte.
        ctap().applyKeySettings(0x11223344, PinProtocol::Two, false);
        ctap().applyKeySettings(init.cid, PinProtocol::One, true);
        EXPECT_EQ(credMgmtCommand.load(), 0x41);
        key().clearRequestLog();
        EXPECT_EQ(ctap().getPinRetries().second, kIOReturnSuccess);
        EXPECT_EQ(front.received().back().cid, init.cid);
        EXPECT_EQ(requestField(key().requestLog().at(0).request, 1), 1u);
        ctap().applyKeySettings(init.cid, PinProtocol::Two, false);
        EXPECT_EQ(credMgmtCommand.load(), 0x0A);
    } else {
        // A card has no channels: nothing is sent and the client stays on the broadcast channel.
        EXPECT_EQ(init, ResponseInit{});
        EXPECT_EQ(ctap().cid(), Ctap2::kBroadcastCid);
        EXPECT_EQ(link().received(), before);
        EXPECT_EQ(ctap().sendCmdWink(), kIOReturnUnsupported);
    }
}

TEST_F(Ctap2OnKey, GetInfoChoosesTheHighestProtocolAndAFailedReadLeavesNone)
{
    connect();
    auto [info, status] = ctap().getInfo();
    ASSERT_EQ(status, kIOReturnSuccess);
    EXPECT_EQ(info.versions, (std::vector<std::string>{"FIDO_2_0", "FIDO_2_1_PRE", "FIDO_2_1"}));
    EXPECT_EQ(info.pinUvAuthProtocols, (std::vector<std::uint64_t>{2, 1}));
    EXPECT_EQ(ctap().pinProtocol(), PinProtocol::Two);
    reply(Bytes{0x01}, 0x04);
    EXPECT_EQ(ctap().getInfo(), std::make_pair(Info{}, kIOReturnError));
    EXPECT_EQ(ctap().pinProtocol(), PinProtocol::None);
}

// setPIN, a wrong PIN, changePIN (to a PIN of multi-byte characters) and both token requests, under both protocols.
TEST_F(Ctap2OnKey, PinOperationsUnderBothProtocols)
{
    connect();
    ASSERT_EQ(ctap().getInfo().second, kIOReturnSuccess);
    AuthenToken token(ctap());
    const std::string accents = "\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9";
    for (PinProtocol protocol : {PinProtocol::One, PinProtocol::Two}) {
        SCOPED_TRACE(rawValue(protocol));
        factoryReset();
        ctap().setPinProtocol(protocol);
        EXPECT_EQ(ctap().setPin(pin("1234")), kIOReturnSuccess);
        auto requests = takeRequests();
        ASSERT_EQ(requests.size(), 2u); // key agreement, setPIN
        EXPECT_EQ(requestField(requests[1].request, 2), 3u);
        EXPECT_EQ(requestField(requests[1].request, 1), rawValue(protocol));
        EXPECT_TRUE(key().pinIs("1234"));
        EXPECT_EQ(ctap().setPin(pin("9999")), kIOReturnNotPermitted); // a 2.1 key refuses a second setPIN

        log_.clear();
        EXPECT_EQ(ctap().changePin(pin("0000"), pin("5678")), kIOReturnError);
        EXPECT_TRUE(log_.contains("CBOR error: ERR_PIN_INVALID"));
        EXPECT_EQ(ctap().getPinRetries().first.retries, 7u);
        EXPECT_EQ(ctap().changePin(pin("1234"), pin(accents)), kIOReturnSuccess); // sent as its UTF-8 bytes
        EXPECT_TRUE(key().pinIs(accents));
        EXPECT_EQ(ctap().getPinRetries().first.retries, 8u);

        // A pre-2.1 key gets the legacy token request, others the one with permissions; the old PIN gets neither,
        // and the secret of the failed exchange is kept.
        for (bool pre : {false, true}) {
            ctap().setFido2Pre(pre);
            key().clearRequestLog();
            EXPECT_EQ(token.requestToken(pin("1234"), Permission::CredentialManagement), kIOReturnError);
            EXPECT_TRUE(token.getToken().empty());
            EXPECT_TRUE(token.getSharedSecret());
            EXPECT_EQ(token.requestToken(pin(accents), Permission::CredentialManagement), kIOReturnSuccess);
            EXPECT_EQ(token.getToken().size(), 32u);
            EXPECT_EQ(token.getSharedSecret()->pinProtocol(), protocol);
            requests = takeRequests();
            ASSERT_EQ(requests.size(), 4u);
            EXPECT_EQ(requestField(requests[3].request, 2), pre ? 5u : 9u);
            EXPECT_EQ(requestField(requests[3].request, 9), pre ? std::nullopt : std::optional<std::uint64_t>(4));
        }
    }
}

// PINs of no bytes or more than 63 (as UTF-8), and tokens bound to an rpId, are refused before anything is sent.
TEST_F(Ctap2OnKey, PinsOutsideOneTo63BytesAreRefusedBeforeAnythingIsSent)
{
    connect();
    ASSERT_EQ(ctap().getInfo().second, kIOReturnSuccess);
    key().clearRequestLog();
    const std::string tooLong(64, '7');
    std::string accentsTooLong;
    for (int i = 0; i < 32; ++i)
        accentsTooLong += "\xC3\xA9"; // 32 characters, 64 bytes
    const Permission cm = Permission::CredentialManagement;
    for (IOReturn status : {ctap().setPin(pin("")), ctap().setPin(pin(tooLong)), ctap().setPin(pin(accentsTooLong)),
                            ctap().changePin(pin("1234"), pin(tooLong)), ctap().changePin(pin(""), pin("1234")),
                            std::get<2>(ctap().getPinToken(pin(""))),
                            std::get<2>(ctap().getPinUvAuthTokenUsingPinWithPermissions(pin(""), cm, "")),
                            std::get<2>(ctap().getPinUvAuthTokenUsingPinWithPermissions(pin("1234"), cm, "a.example"))})
        EXPECT_EQ(status, kIOReturnInvalid);
    EXPECT_TRUE(key().requestLog().empty());
    const std::string longest(63, '7');
    EXPECT_EQ(ctap().setPin(pin(longest)), kIOReturnSuccess);
    EXPECT_EQ(std::get<2>(ctap().getPinToken(pin(longest))), kIOReturnSuccess);
}

// Key-agreement, token and retries answers that cannot be used are refused: no PIN is encrypted to a bad point,
// no token kept that the protocol does not allow, no count read from an answer without one.
TEST_F(Ctap2OnKey, UnusableClientPinAnswersAreInvalid)
{
    connect();
    ASSERT_EQ(ctap().getInfo().second, kIOReturnSuccess);
    ASSERT_TRUE(key().setPin("1234"));
    auto agreement = [](const Bytes& x, const Bytes& y) {
        return ok(CtapCbor::map({{CtapCbor::uint(1), CtapCbor::coseP256(-25, x, y)}}));
    };
    const std::pair<Bytes, IOReturn> agreements[] = {
        {agreement(Bytes(32, 0x01), Bytes(32, 0x01)), kIOReturnInvalid}, // off the curve
        {agreement(Bytes(31, 0x05), Bytes(32, 0x05)), kIOReturnInvalid},
        {agreement(Bytes(32, 0x00), Bytes(32, 0x00)), kIOReturnInvalid},
        {Bytes{0x00, 0xA0}, kIOReturnInvalid},
        {Bytes{0x01}, kIOReturnError},
    };
    for (const auto& [answer, status] : agreements) {
        key().clearRequestLog();
        reply(answer, 0x06, 0x02);
        EXPECT_EQ(ctap().changePin(pin("1234"), pin("5678")), status) << X(answer);
        EXPECT_EQ(key().requestLog().size(), 1u);
    }

    const std::pair<PinProtocol, Bytes> tokens[] = {
        {PinProtocol::Two, CtapCbor::bytes(Bytes(32, 0x42))}, // IV + one block: a 16-byte token
        {PinProtocol::Two, CtapCbor::bytes(Bytes(16, 0x42))}, // an IV and nothing else
        {PinProtocol::Two, CtapCbor::bytes(Bytes(40, 0x42))}, // not whole blocks
        {PinProtocol::Two, CtapCbor::bytes(Bytes{})},         {PinProtocol::One, CtapCbor::bytes(Bytes(15, 0x42))},
        {PinProtocol::One, CtapCbor::bytes(Bytes(48, 0x42))}, {PinProtocol::One, CtapCbor::text("token")},
    };
    for (const auto& [protocol, value] : tokens) {
        ctap().setPinProtocol(protocol);
        reply(ok(CtapCbor::map({{CtapCbor::uint(2), value}})), 0x06, 0x09);
        auto [token, secret, status] =
            ctap().getPinUvAuthTokenUsingPinWithPermissions(pin("1234"), Permission::CredentialManagement, "");
        EXPECT_EQ(status, kIOReturnInvalid) << X(value);
        EXPECT_TRUE(token.empty());
        EXPECT_TRUE(secret);
    }
    ctap().setPinProtocol(PinProtocol::One);
    reply(ok(CtapCbor::map({{CtapCbor::uint(2), CtapCbor::bytes(Bytes(16, 0x42))}})), 0x06, 0x05);
    EXPECT_EQ(std::get<0>(ctap().getPinToken(pin("1234"))).size(), 16u); // One allows 16-byte tokens

    for (const Bytes& answer : {Bytes{0x31}, ok(H("A104F4"))}) {
        reply(answer, 0x06, 0x01);
        EXPECT_EQ(ctap().getPinRetries(), std::make_pair(PinResponse::PinRetries{}, kIOReturnInvalid));
    }
}

TEST_F(Ctap2OnKey, TouchRequestsTouchedDeniedOrTimedOutAndResetOnlyInsideItsWindow)
{
    connect();
    ASSERT_TRUE(key().setPin("1234"));
    key().openResetWindow();
    for (const auto& [touch, status] : {std::pair{Touch::Denied, kIOReturnAborted},
                                        std::pair{Touch::TimedOut, kIOReturnTimeout},
                                        std::pair{Touch::Given, kIOReturnSuccess}}) {
        key().setTouch(touch);
        EXPECT_EQ(ctap().selection(), status);
        EXPECT_EQ(ctap().selectDevice(), status); // the dummy request refused after the touch counts as touched
        EXPECT_EQ(ctap().reset(), status);
        EXPECT_EQ(key().hasPin(), status != kIOReturnSuccess);
    }
    EXPECT_EQ(ctap().selectDevice(), kIOReturnSuccess); // also refused (PIN_NOT_SET) on a key without a PIN
    EXPECT_EQ(key().requestLog().back().status(), 0x35);
    EXPECT_TRUE(key().credentials().empty());

    ASSERT_TRUE(key().setPin("1234"));
    key().closeResetWindow();
    log_.clear();
    EXPECT_EQ(ctap().reset(), kIOReturnNotPermitted);
    EXPECT_TRUE(log_.contains("CBOR error: ERR_NOT_ALLOWED"));
    EXPECT_TRUE(key().hasPin());
}

TEST_F(Ctap2OnKey, TouchRequestsCancelledFromAnotherThread)
{
    connect();
    ASSERT_TRUE(key().setPin("1234"));
    key().openResetWindow();
    key().setTouch(Touch::HeldUntilCancel);
    for (auto request : {&Ctap2::selection, &Ctap2::selectDevice, &Ctap2::reset}) {
        // The user cancels from the touch prompt, which the transport raises once the key asks for a touch.
        const int prompts = link().touchPrompts();
        auto canceller = std::async(std::launch::async, [&] {
            const bool prompted = eventually([&] { return link().touchPrompts() > prompts; });
            return prompted ? ctap().sendCmdCancel() : kIOReturnError;
        });
        EXPECT_EQ((ctap().*request)(), kIOReturnAborted);
        EXPECT_EQ(canceller.get(), kIOReturnSuccess);
    }
    EXPECT_TRUE(key().hasPin());
    key().setTouch(Touch::Given);
    EXPECT_EQ(ctap().selection(), kIOReturnSuccess); // the key is still usable afterwards
}

TEST_F(Ctap2OnKey, KeyRemovedDuringATouchIsNoTouch)
{
    connect();
    key().setTouch(Touch::HeldUntilCancel);
    auto remover = std::async(std::launch::async, [&] {
        if (key().waitForTouchRequest(3s))
            link().removeKey();
    });
    EXPECT_NE(ctap().selectDevice(), kIOReturnSuccess);
    remover.get();
    EXPECT_NE(ctap().selection(), kIOReturnSuccess);
}

// What a status byte becomes: the status of sendCmdCbor and its log line, and what the touch requests make of it.
TEST_F(Ctap2OnKey, StatusBytesMapToStatusesWithTheirLogLines)
{
    connect();
    const IOReturn OK = kIOReturnSuccess, ERR = kIOReturnError, ABORTED = kIOReturnAborted;
    const IOReturn TIMEOUT = kIOReturnTimeout, REFUSED = kIOReturnNotPermitted;
    struct Row {
        Bytes answer;
        IOReturn status, selection, selectDevice;
        std::string name; // of the log line, "" for none
    };
    const Row rows[] = {
        {{0x00, 0xA0}, OK, OK, OK, ""},
        {{0x00}, OK, OK, OK, ""},
        {{0x27}, ABORTED, ABORTED, ABORTED, "ERR_OPERATION_DENIED"},
        {{0x2D}, ABORTED, ABORTED, ABORTED, "ERR_KEEPALIVE_CANCEL"},
        {{0x2F}, TIMEOUT, TIMEOUT, TIMEOUT, "ERR_USER_ACTION_TIMEOUT"},
        {{0x30}, REFUSED, REFUSED, REFUSED, "ERR_NOT_ALLOWED"},
        {{0x31, 0xA0}, ERR, ERR, OK, "ERR_PIN_INVALID"},
        {{0x01}, ERR, ERR, OK, "ERR_INVALID_CMD"},
        {{0x12}, ERR, OK, OK, "ERR_INVALID_CBOR"}, // the key sent INVALID_CBOR itself: it did answer
        {{}, ERR, ERR, ERR, "ERR_INVALID_CBOR"},   // no status byte at all: nobody touched the key
        // Bytes without a name (newer keys send some) fail plainly; selection takes them for no touch or refusal.
        {{0x3B}, ERR, ERR, OK, "UNKNOWN_0x3B"},
        {{0x3F}, ERR, ERR, OK, "UNKNOWN_0x3F"},
        {{0x40}, ERR, ERR, OK, "UNKNOWN_0x40"},
        {{0xE5}, ERR, ERR, OK, "UNKNOWN_0xE5"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(X(row.answer));
        reply(row.answer, 0x04);
        log_.clear();
        const Ctap2::CborAnswer answer = ctap().sendCmdCbor(Bytes{0x04});
        EXPECT_EQ(answer.status, row.status);
        EXPECT_EQ(answer.statusByteReceived, !row.answer.empty());
        EXPECT_EQ(answer.statusByte, row.answer.empty() ? 0 : row.answer[0]);
        EXPECT_EQ(answer.payload, row.answer.size() > 1 ? Bytes{0xA0} : Bytes{});
        EXPECT_EQ(log_.lines(), row.name.empty() ? std::vector<std::string>{}
                                                 : std::vector<std::string>{"CBOR error: " + row.name});
        reply(row.answer, 0x0B);
        EXPECT_EQ(ctap().selection(), row.selection);
        reply(row.answer, 0x01);
        EXPECT_EQ(ctap().selectDevice(), row.selectDevice);
    }
}

#ifndef KEY_TRANSPORT_CARD
// Failures of the transport pass through as they came, with the transport's log line and no CBOR one.
TEST_F(Ctap2OnKey, TransportFailuresPassThrough)
{
    connect();
    CtaphidFront& front = *link().usbKey()->front;
    front.injectFault({CtaphidFront::Fault::Silence, 0, std::uint8_t{0x10}});
    log_.clear();
    const Ctap2::CborAnswer answer = ctap().sendCmdCbor(Bytes{0x04});
    EXPECT_EQ(answer.status, kIOReturnError); // the transport's answer time-out
    EXPECT_FALSE(answer.statusByteReceived);
    EXPECT_EQ(log_.lines(), std::vector<std::string>{"receiveResponse: timeout"});
    // An ERROR reply ends the answer early with nothing gathered: no touch either.
    for (auto request : {&Ctap2::selection, &Ctap2::selectDevice}) {
        front.injectFault({CtaphidFront::Fault::ErrorReply, 0x7F, std::uint8_t{0x10}});
        EXPECT_NE((ctap().*request)(), kIOReturnSuccess);
    }
    // The key removed while it works; later requests find no device.
    front.injectFault({CtaphidFront::Fault::HangUp, 0, std::uint8_t{0x10}});
    const Ctap2::CborAnswer gone = ctap().sendCmdCbor(Bytes{0x04});
    EXPECT_NE(gone.status, kIOReturnSuccess);
    EXPECT_FALSE(gone.statusByteReceived);
    EXPECT_EQ(ctap().getPinRetries().second, kIOReturnNoDevice);
    EXPECT_EQ(ctap().getInfo().second, kIOReturnNoDevice);
    // Nothing bound: every command fails with an I/O error.
    ctap().setHidHelper(nullptr);
    EXPECT_EQ(ctap().sendCmdCbor(Bytes{0x04}).status, kIOReturnIOError);
    EXPECT_EQ(ctap().sendCmdInit().second, kIOReturnIOError);
    EXPECT_EQ(ctap().selection(), kIOReturnIOError);
}

// An INIT answer must echo the nonce in exactly 17 bytes; anything else leaves the client on the broadcast channel.
TEST_F(Ctap2OnKey, InitAnswerMustEchoTheNonceInSeventeenBytes)
{
    connect();
    CtaphidFront& front = *link().usbKey()->front;
    const std::pair<std::function<void(Bytes&)>, ResponseInit> rows[] = {
        {[](Bytes& a) { a[7] ^= 0x01; }, {}},   // one byte of the nonce differs
        {[](Bytes& a) { a.pop_back(); }, {}},   // 16 bytes
        {[](Bytes& a) { a.push_back(0xEE); }, {}}, // 18 bytes
        {[](Bytes&) {}, {0x01020304, 2, 9, 8, 7, 5}}, // the channel is big-endian
    };
    for (const auto& [spoil, expected] : rows) {
        // The key stays silent; the answer is made here from the nonce the host sent.
        front.injectFault({CtaphidFront::Fault::Silence, 0, std::uint8_t{0x06}});
        const std::size_t already = front.received().size();
        auto answered = std::async(std::launch::async, [&, already] {
            if (!front.waitForReceived(already + 1, 3s))
                return;
            Bytes payload = front.received().back().payload;
            const Bytes tail = H("01020304 02 09 08 07 05");
            payload.insert(payload.end(), tail.begin(), tail.end());
            spoil(payload);
            Bytes report{0xFF, 0xFF, 0xFF, 0xFF, 0x86, 0x00, static_cast<std::uint8_t>(payload.size())};
            report.insert(report.end(), payload.begin(), payload.end());
            report.resize(64, 0);
            front.sendRaw(report);
        });
        auto [init, status] = ctap().sendCmdInit();
        answered.get();
        EXPECT_EQ(init, expected);
        EXPECT_EQ(status, expected.cid ? kIOReturnSuccess : kIOReturnInvalid);
        EXPECT_EQ(ctap().cid(), expected.cid ? expected.cid : Ctap2::kBroadcastCid);
    }
}
#endif
