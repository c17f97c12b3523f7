// The CTAP 2 client against the software key over a real transport: channel set-up, getInfo, the clientPIN
// operations and the PIN token under both protocols, reset, the touch requests and the status mapping.
#include "KeyFixture.h"

#include "TestHex.h"
#include "ctap/AuthenToken.h"
#include "ctap/CredentialManagementCommand.h"
#include "softkey/CtapCbor.h"
#include "support/Eventually.h"

#include <future>
#include <thread>

using namespace std::chrono_literals;
using Touch = SoftAuthenticator::Touch;

namespace {

class Ctap2OnKey : public KeyFixture {
};

[[maybe_unused]] const CtaphidFront::Received* lastOfCommand(const std::vector<CtaphidFront::Received>& all,
                                                             std::uint8_t cmd)
{
    for (auto it = all.rbegin(); it != all.rend(); ++it)
        if (it->cmd == cmd)
            return &*it;
    return nullptr;
}

} // namespace

TEST_F(Ctap2OnKey, InitOpensAChannelOnUsbAndSucceedsOnACardWithTheBroadcastChannel)
{
    connect();
    const std::size_t before = link().received();
    auto [init, status] = ctap().sendCmdInit();
    EXPECT_EQ(status, kIOReturnSuccess);
    if constexpr (kUsb) {
        const auto received = link().usbKey()->front->received();
        const auto* sent = lastOfCommand(received, 0x06);
        ASSERT_NE(sent, nullptr);
        EXPECT_EQ(sent->cid, Ctap2::kBroadcastCid);
        EXPECT_EQ(sent->payload.size(), 8u); // the nonce
        const auto channels = link().usbKey()->front->channels();
        EXPECT_EQ(channels.back(), init.cid);
        EXPECT_EQ(ctap().cid(), init.cid);
        EXPECT_EQ(init.protocolVersion, 2);
        EXPECT_EQ(init.deviceMajor, 5);
        EXPECT_EQ(init.deviceMinor, 4);
        EXPECT_EQ(init.deviceBuild, 3);
        EXPECT_EQ(init.capabilityFlag, 0x0D);
        // Later requests go out on the new channel.
        EXPECT_EQ(ctap().getInfo().second, kIOReturnSuccess);
        EXPECT_EQ(link().usbKey()->front->received().back().cid, init.cid);
        // A second INIT opens another channel.
        auto again = ctap().sendCmdInit();
        EXPECT_EQ(again.second, kIOReturnSuccess);
        EXPECT_NE(again.first.cid, init.cid);
        EXPECT_EQ(ctap().cid(), again.first.cid);
    } else {
        EXPECT_EQ(init, ResponseInit{});
        EXPECT_EQ(ctap().cid(), Ctap2::kBroadcastCid);
        EXPECT_EQ(link().received(), before); // nothing reaches the card
        EXPECT_EQ(ctap().sendCmdWink(), kIOReturnUnsupported);
    }
}

#ifndef KEY_TRANSPORT_CARD
namespace {

// Answers the next INIT with a hand-made answer packet built from the nonce the host sent.
std::future<void> answerInitWith(CtaphidFront& front, std::function<Bytes(const Bytes& nonce)> make)
{
    front.injectFault({CtaphidFront::Fault::Silence, 0, std::uint8_t{0x06}});
    const std::size_t already = front.received().size();
    return std::async(std::launch::async, [&front, already, make = std::move(make)] {
        if (!front.waitForReceived(already + 1, 3s))
            return;
        const Bytes nonce = front.received().back().payload;
        const Bytes payload = make(nonce);
        Bytes report{0xFF, 0xFF, 0xFF, 0xFF, 0x86, 0x00, static_cast<std::uint8_t>(payload.size())};
        report.insert(report.end(), payload.begin(), payload.end());
        report.resize(64, 0);
        front.sendRaw(report);
    });
}

} // namespace

TEST_F(Ctap2OnKey, InitAnswerMustEchoTheNonceInSeventeenBytes)
{
    connect();
    CtaphidFront& front = *link().usbKey()->front;
    const Bytes tail = H("01020304 02 09 08 07 05");
    struct Case {
        const char* name;
        std::function<void(Bytes& answer)> spoil;
    };
    const Case refused[] = {
        {"one byte of the nonce differs", [](Bytes& a) { a[7] ^= 0x01; }},
        {"16 bytes", [](Bytes& a) { a.pop_back(); }},
        {"18 bytes", [](Bytes& a) { a.push_back(0xEE); }},
    };
    for (const Case& c : refused) {
        auto done = answerInitWith(front, [&](const Bytes& nonce) {
            Bytes p = nonce;
            p.insert(p.end(), tail.begin(), tail.end());
            c.spoil(p);
            return p;
        });
        auto [init, status] = ctap().sendCmdInit();
        done.get();
        EXPECT_EQ(status, kIOReturnInvalid) << c.name;
        EXPECT_EQ(ctap().cid(), Ctap2::kBroadcastCid) << c.name;
        EXPECT_EQ(init, ResponseInit{}) << c.name;
    }

    auto done = answerInitWith(front, [&](const Bytes& nonce) {
        Bytes p = nonce;
        p.insert(p.end(), tail.begin(), tail.end());
        return p;
    });
    auto [init, status] = ctap().sendCmdInit();
    done.get();
    EXPECT_EQ(status, kIOReturnSuccess);
    EXPECT_EQ(init.cid, 0x01020304u); // big-endian
    EXPECT_EQ(ctap().cid(), 0x01020304u);
    EXPECT_EQ(init.protocolVersion, 2);
    EXPECT_EQ(init.deviceMajor, 9);
    EXPECT_EQ(init.capabilityFlag, 5);
}

TEST_F(Ctap2OnKey, KeySettingsAppliedForOneOperationChooseChannelProtocolAndCommandByte)
{
    connect();
    const std::uint32_t cid = ctap().sendCmdInit().first.cid;
    ASSERT_EQ(ctap().getInfo().second, kIOReturnSuccess);
    // Another key was read in between: its channel and protocol are in the client now.
    ctap().applyKeySettings(0x11223344, PinProtocol::Two, false);
    ctap().applyKeySettings(cid, PinProtocol::One, true);
    EXPECT_EQ(credMgmtCommand.load(), 0x41);
    key().clearRequestLog();
    EXPECT_EQ(ctap().getPinRetries().second, kIOReturnSuccess);
    EXPECT_EQ(link().usbKey()->front->received().back().cid, cid);
    const auto requests = takeRequests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requestField(requests[0].request, 1), 1u);
    ctap().applyKeySettings(cid, PinProtocol::Two, false);
    EXPECT_EQ(credMgmtCommand.load(), 0x0A);
}
#endif

TEST_F(Ctap2OnKey, GetInfoFillsInfoAndChoosesTheHighestProtocol)
{
    connect();
    auto [info, status] = ctap().getInfo();
    ASSERT_EQ(status, kIOReturnSuccess);
    EXPECT_EQ(info.versions, (std::vector<std::string>{"FIDO_2_0", "FIDO_2_1_PRE", "FIDO_2_1"}));
    EXPECT_EQ(info.aaguid, "4D542D534F46544B45592D3030303031");
    EXPECT_EQ(info.options.at("clientPin"), false);
    EXPECT_EQ(info.options.at("credMgmt"), true);
    EXPECT_EQ(info.pinUvAuthProtocols, (std::vector<std::uint64_t>{2, 1}));
    EXPECT_EQ(info.maxMsgSize, 1200u);
    EXPECT_EQ(info.minPINLength, 4u);
    EXPECT_EQ(info.firmwareVersion, 0x050403u);
    EXPECT_EQ(info.remainingDiscoverableCredentials, 25u);
    EXPECT_EQ(ctap().pinProtocol(), PinProtocol::Two);

    key().updateConfig([](SoftKeyConfig& c) { c.pinUvAuthProtocols = std::vector<std::uint64_t>{1}; });
    EXPECT_EQ(ctap().getInfo().second, kIOReturnSuccess);
    EXPECT_EQ(ctap().pinProtocol(), PinProtocol::One);

    key().updateConfig([](SoftKeyConfig& c) { c.pinUvAuthProtocols.reset(); });
    EXPECT_EQ(ctap().getInfo().second, kIOReturnSuccess);
    EXPECT_EQ(ctap().pinProtocol(), PinProtocol::None);

    // A failed read leaves no protocol behind.
    key().updateConfig([](SoftKeyConfig& c) { c.pinUvAuthProtocols = std::vector<std::uint64_t>{2}; });
    EXPECT_EQ(ctap().getInfo().second, kIOReturnSuccess);
    EXPECT_EQ(ctap().pinProtocol(), PinProtocol::Two);
    key().queueRawReply({Bytes{0x01}, std::uint8_t{0x04}});
    std::tie(info, status) = ctap().getInfo();
    EXPECT_EQ(status, kIOReturnError);
    EXPECT_EQ(info, Info{});
    EXPECT_EQ(ctap().pinProtocol(), PinProtocol::None);
}

TEST_F(Ctap2OnKey, SetChangeAndWrongPinUnderBothProtocols)
{
    connect();
    ASSERT_EQ(ctap().getInfo().second, kIOReturnSuccess);
    for (PinProtocol protocol : {PinProtocol::One, PinProtocol::Two}) {
        SCOPED_TRACE(rawValue(protocol));
        factoryReset();
        ctap().setPinProtocol(protocol);

        EXPECT_EQ(ctap().setPin(pinOf("1234")), kIOReturnSuccess);
        EXPECT_TRUE(key().hasPin());
        auto requests = takeRequests();
        ASSERT_EQ(requests.size(), 2u); // key agreement, setPIN
        EXPECT_EQ(requestField(requests[1].request, 2), 3u);
        EXPECT_EQ(requestField(requests[1].request, 1), rawValue(protocol));
        EXPECT_EQ(ctap().getInfo().first.options.at("clientPin"), true);
        ctap().setPinProtocol(protocol);

        auto [retries, status] = ctap().getPinRetries();
        EXPECT_EQ(status, kIOReturnSuccess);
        EXPECT_EQ(retries.retries, 8u);

        // A 2.1 key refuses a second setPIN.
        EXPECT_EQ(ctap().setPin(pinOf("9999")), kIOReturnNotPermitted);

        log_.clear();
        EXPECT_EQ(ctap().changePin(pinOf("0000"), pinOf("5678")), kIOReturnError);
        EXPECT_TRUE(log_.contains("CBOR error: ERR_PIN_INVALID"));
        EXPECT_EQ(ctap().getPinRetries().first.retries, 7u);

        EXPECT_EQ(ctap().changePin(pinOf("1234"), pinOf("5678")), kIOReturnSuccess);
        EXPECT_EQ(ctap().getPinRetries().first.retries, 8u);
        // The new PIN is the one that counts now.
        auto old = ctap().getPinUvAuthTokenUsingPinWithPermissions(pinOf("1234"), Permission::CredentialManagement, "");
        EXPECT_EQ(std::get<2>(old), kIOReturnError);
        EXPECT_TRUE(std::get<0>(old).empty());
        auto fresh =
            ctap().getPinUvAuthTokenUsingPinWithPermissions(pinOf("5678"), Permission::CredentialManagement, "");
        EXPECT_EQ(std::get<2>(fresh), kIOReturnSuccess);
        EXPECT_EQ(std::get<0>(fresh).size(), 32u);
        ASSERT_TRUE(std::get<1>(fresh));
        EXPECT_EQ(std::get<1>(fresh)->pinProtocol(), protocol);

        // A PIN of multi-byte characters travels as its UTF-8 bytes.
        const std::string accents = "\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9";
        EXPECT_EQ(ctap().changePin(pinOf("5678"), pinOf(accents)), kIOReturnSuccess);
        EXPECT_EQ(std::get<2>(ctap().getPinToken(pinOf(accents))), kIOReturnSuccess);
    }
}

TEST_F(Ctap2OnKey, PinsOutsideOneTo63BytesAreRefusedBeforeAnythingIsSent)
{
    connect();
    ASSERT_EQ(ctap().getInfo().second, kIOReturnSuccess);
    key().clearRequestLog();
    const std::string tooLong(64, '7');
    std::string accentsTooLong;
    for (int i = 0; i < 32; ++i)
        accentsTooLong += "\xC3\xA9"; // 32 characters, 64 bytes
    EXPECT_EQ(ctap().setPin(pinOf("")), kIOReturnInvalid);
    EXPECT_EQ(ctap().setPin(pinOf(tooLong)), kIOReturnInvalid);
    EXPECT_EQ(ctap().setPin(pinOf(accentsTooLong)), kIOReturnInvalid);
    EXPECT_EQ(ctap().changePin(pinOf("1234"), pinOf(tooLong)), kIOReturnInvalid);
    EXPECT_EQ(ctap().changePin(pinOf(""), pinOf("1234")), kIOReturnInvalid);
    EXPECT_EQ(std::get<2>(ctap().getPinToken(pinOf(""))), kIOReturnInvalid);
    EXPECT_EQ(
        std::get<2>(ctap().getPinUvAuthTokenUsingPinWithPermissions(pinOf(""), Permission::CredentialManagement, "")),
        kIOReturnInvalid);
    EXPECT_TRUE(key().requestLog().empty());

    const std::string longest(63, '7');
    EXPECT_EQ(ctap().setPin(pinOf(longest)), kIOReturnSuccess);
    EXPECT_EQ(std::get<2>(ctap().getPinToken(pinOf(longest))), kIOReturnSuccess);
}

TEST_F(Ctap2OnKey, TokenWithPermissionsOrLegacyTokenForPre21Keys)
{
    connect();
    ASSERT_EQ(ctap().getInfo().second, kIOReturnSuccess);
    ASSERT_TRUE(key().setPin("1234"));
    AuthenToken token(ctap());

    for (PinProtocol protocol : {PinProtocol::One, PinProtocol::Two}) {
        SCOPED_TRACE(rawValue(protocol));
        ctap().setPinProtocol(protocol);
        key().clearRequestLog();
        ctap().setFido2Pre(false);
        EXPECT_EQ(token.requestToken(pinOf("1234"), Permission::CredentialManagement), kIOReturnSuccess);
        EXPECT_EQ(token.getToken().size(), 32u);
        ASSERT_TRUE(token.getSharedSecret());
        EXPECT_EQ(token.getSharedSecret()->pinProtocol(), protocol);
        auto requests = takeRequests();
        ASSERT_EQ(requests.size(), 2u);
        const Bytes& request = requests[1].request;
        EXPECT_EQ(request[0], 0x06);
        EXPECT_EQ(requestField(request, 2), 0x09u);
        EXPECT_EQ(requestField(request, 9), 0x04u);
        EXPECT_FALSE(requestHas(request, 10)); // no rpId
        EXPECT_EQ(requestField(request, 1), rawValue(protocol));

        ctap().setFido2Pre(true);
        EXPECT_EQ(token.requestToken(pinOf("1234"), Permission::CredentialManagement), kIOReturnSuccess);
        EXPECT_EQ(token.getToken().size(), 32u);
        requests = takeRequests();
        ASSERT_EQ(requests.size(), 2u);
        EXPECT_EQ(requestField(requests[1].request, 2), 0x05u);
        EXPECT_FALSE(requestHas(requests[1].request, 9));
        EXPECT_FALSE(requestHas(requests[1].request, 10));
    }

    // A wrong PIN: no token, the secret of the failed exchange, and one try fewer.
    ctap().setFido2Pre(false);
    EXPECT_EQ(token.requestToken(pinOf("4321"), Permission::CredentialManagement), kIOReturnError);
    EXPECT_TRUE(token.getToken().empty());
    EXPECT_TRUE(token.getSharedSecret());
    EXPECT_EQ(ctap().getPinRetries().first.retries, 7u);
    EXPECT_EQ(key().pinRetries(), 7u);

    // A token bound to an rpId is not something this client asks for.
    key().clearRequestLog();
    EXPECT_EQ(std::get<2>(ctap().getPinUvAuthTokenUsingPinWithPermissions(pinOf("1234"), Permission::makeCredential,
                                                                          "example.com")),
              kIOReturnInvalid);
    EXPECT_TRUE(key().requestLog().empty());
}

TEST_F(Ctap2OnKey, RetriesCountDownAndPinIsBlockedAfterThreeMismatches)
{
    SoftKeyConfig config;
    config.uvRetries = 3;
    connect(config);
    ASSERT_EQ(ctap().getInfo().second, kIOReturnSuccess);
    ASSERT_TRUE(key().setPin("1234"));
    auto [retries, status] = ctap().getPinRetries();
    EXPECT_EQ(status, kIOReturnSuccess);
    EXPECT_EQ(retries.retries, 8u);
    EXPECT_EQ(retries.uvRetries, 3u);
    for (const char* wrong : {"1111", "2222"})
        EXPECT_EQ(std::get<2>(ctap().getPinToken(pinOf(wrong))), kIOReturnError);
    log_.clear();
    EXPECT_EQ(std::get<2>(ctap().getPinToken(pinOf("3333"))), kIOReturnError);
    EXPECT_TRUE(log_.contains("CBOR error: ERR_PIN_AUTH_BLOCKED"));
    EXPECT_EQ(ctap().getPinRetries().first.retries, 5u);

    // A CTAP error or an unreadable answer to getRetries is reported as an invalid answer.
    key().queueRawReply({Bytes{0x31}, std::uint8_t{0x06}, std::uint8_t{0x01}});
    std::tie(retries, status) = ctap().getPinRetries();
    EXPECT_EQ(status, kIOReturnInvalid);
    EXPECT_EQ(retries.retries, 0u);
    key().queueRawReply({Bytes{0x00, 0xA1, 0x04, 0xF4}, std::uint8_t{0x06}, std::uint8_t{0x01}});
    EXPECT_EQ(ctap().getPinRetries().second, kIOReturnInvalid);
}

TEST_F(Ctap2OnKey, UnusableKeyAgreementOrTokenAnswersAreInvalid)
{
    connect();
    ASSERT_EQ(ctap().getInfo().second, kIOReturnSuccess);
    ASSERT_TRUE(key().setPin("1234"));
    const Bytes notOnCurve(32, 0x01);
    auto keyAgreementAnswer = [](const Bytes& x, const Bytes& y) {
        Bytes a{0x00};
        const Bytes body = CtapCbor::map({{CtapCbor::uint(1), CtapCbor::coseP256(-25, x, y)}});
        a.insert(a.end(), body.begin(), body.end());
        return a;
    };
    // A point off the curve, and coordinates of the wrong length, are refused before any PIN is encrypted.
    for (const auto& [x, y] : {std::pair{notOnCurve, notOnCurve}, std::pair{Bytes(31, 0x05), Bytes(32, 0x05)},
                               std::pair{Bytes(32, 0x00), Bytes(32, 0x00)}}) {
        key().clearRequestLog();
        key().queueRawReply({keyAgreementAnswer(x, y), std::uint8_t{0x06}, std::uint8_t{0x02}});
        EXPECT_EQ(ctap().changePin(pinOf("1234"), pinOf("5678")), kIOReturnInvalid);
        EXPECT_EQ(key().requestLog().size(), 1u);
    }
    key().queueRawReply({Bytes{0x00, 0xA0}, std::uint8_t{0x06}, std::uint8_t{0x02}});
    EXPECT_EQ(ctap().setPin(pinOf("5678")), kIOReturnInvalid);
    key().queueRawReply({Bytes{0x01}, std::uint8_t{0x06}, std::uint8_t{0x02}});
    EXPECT_EQ(ctap().setPin(pinOf("5678")), kIOReturnError);

    // Token answers that cannot be a token: wrong lengths for the protocol, text instead of bytes.
    auto tokenAnswer = [](Bytes value) {
        Bytes a{0x00};
        const Bytes body = CtapCbor::map({{CtapCbor::uint(2), std::move(value)}});
        a.insert(a.end(), body.begin(), body.end());
        return a;
    };
    const std::vector<std::pair<PinProtocol, Bytes>> broken = {
        {PinProtocol::Two, CtapCbor::bytes(Bytes(32, 0x42))}, // IV + one block: a 16-byte token
        {PinProtocol::Two, CtapCbor::bytes(Bytes(16, 0x42))}, // an IV and nothing else
        {PinProtocol::Two, CtapCbor::bytes(Bytes(40, 0x42))}, // not whole blocks
        {PinProtocol::Two, CtapCbor::bytes(Bytes{})},         {PinProtocol::One, CtapCbor::bytes(Bytes(15, 0x42))},
        {PinProtocol::One, CtapCbor::bytes(Bytes(48, 0x42))}, {PinProtocol::One, CtapCbor::text("token")},
    };
    for (const auto& [protocol, value] : broken) {
        ctap().setPinProtocol(protocol);
        key().queueRawReply({tokenAnswer(value), std::uint8_t{0x06}, std::uint8_t{0x09}});
        auto [token, secret, status] =
            ctap().getPinUvAuthTokenUsingPinWithPermissions(pinOf("1234"), Permission::CredentialManagement, "");
        EXPECT_EQ(status, kIOReturnInvalid) << X(value);
        EXPECT_TRUE(token.empty());
        EXPECT_TRUE(secret);
    }
    ctap().setPinProtocol(PinProtocol::One);
    key().queueRawReply({tokenAnswer(CtapCbor::bytes(Bytes(16, 0x42))), std::uint8_t{0x06}, std::uint8_t{0x05}});
    EXPECT_EQ(std::get<0>(ctap().getPinToken(pinOf("1234"))).size(), 16u); // One allows 16-byte tokens
}

TEST_F(Ctap2OnKey, ResetOnlyInsideItsWindow)
{
    connect();
    ASSERT_TRUE(key().setPin("1234"));
    key().closeResetWindow();
    log_.clear();
    EXPECT_EQ(ctap().reset(), kIOReturnNotPermitted);
    EXPECT_TRUE(log_.contains("CBOR error: ERR_NOT_ALLOWED"));
    EXPECT_TRUE(key().hasPin());
    key().openResetWindow();
    EXPECT_EQ(ctap().reset(), kIOReturnSuccess);
    EXPECT_FALSE(key().hasPin());
    EXPECT_EQ(key().touchRequests(), 1u);
    EXPECT_GE(link().touchPrompts(), 0);
}

TEST_F(Ctap2OnKey, TouchRequestsTouchedDeniedOrTimedOut)
{
    connect();
    key().setTouch(Touch::Given, 150ms); // long enough for the touch prompt to come up
    EXPECT_EQ(ctap().selection(), kIOReturnSuccess);
    EXPECT_GE(link().touchPrompts(), 1);
    // The dummy makeCredential is refused after the touch, and that counts as touched.
    EXPECT_EQ(ctap().selectDevice(), kIOReturnSuccess);
    EXPECT_EQ(key().requestLog().back().status(), 0x35); // PIN_NOT_SET
    ASSERT_TRUE(key().setPin("1234"));
    EXPECT_EQ(ctap().selectDevice(), kIOReturnSuccess);
    EXPECT_EQ(key().requestLog().back().status(), 0x31); // PIN_INVALID
    EXPECT_TRUE(key().credentials().empty());
    EXPECT_EQ(key().requestLog().back().request, Ctap2::makeSelectDeviceRequest());

    key().setTouch(Touch::Denied, 20ms);
    EXPECT_EQ(ctap().selection(), kIOReturnAborted);
    EXPECT_EQ(ctap().selectDevice(), kIOReturnAborted);
    EXPECT_EQ(ctap().reset(), kIOReturnAborted);
    key().setTouch(Touch::TimedOut, 20ms);
    EXPECT_EQ(ctap().selection(), kIOReturnTimeout);
    EXPECT_EQ(ctap().selectDevice(), kIOReturnTimeout);
    EXPECT_EQ(ctap().reset(), kIOReturnTimeout);
    EXPECT_TRUE(key().hasPin());
}

TEST_F(Ctap2OnKey, TouchRequestsCancelledFromAnotherThread)
{
    connect();
    key().setTouch(Touch::HeldUntilCancel);
    ASSERT_TRUE(key().setPin("1234"));
    const std::vector<std::pair<const char*, std::function<IOReturn()>>> requests = {
        {"selection", [&] { return ctap().selection(); }},
        {"selectDevice", [&] { return ctap().selectDevice(); }},
        {"reset", [&] { return ctap().reset(); }},
    };
    for (const auto& [name, request] : requests) {
        SCOPED_TRACE(name);
        // The user cancels from the touch prompt, which the transport raises once the key asks for a touch.
        const int prompts = link().touchPrompts();
        auto canceller = std::async(std::launch::async, [&] {
            if (!eventually([&] { return link().touchPrompts() > prompts; }, 3s))
                return kIOReturnError;
            return ctap().sendCmdCancel();
        });
        EXPECT_EQ(request(), kIOReturnAborted);
        EXPECT_EQ(canceller.get(), kIOReturnSuccess);
    }
    EXPECT_TRUE(key().hasPin());
    // The key is still usable afterwards.
    key().setTouch(Touch::Given);
    EXPECT_EQ(ctap().selection(), kIOReturnSuccess);
}

TEST_F(Ctap2OnKey, KeyRemovedDuringATouchIsNoTouch)
{
    connect();
    key().setTouch(Touch::HeldUntilCancel);
    auto remover = std::async(std::launch::async, [&] {
        if (key().waitForTouchRequest(3s))
            link().removeKey();
    });
    const IOReturn status = ctap().selectDevice();
    remover.get();
    EXPECT_NE(status, kIOReturnSuccess);
    EXPECT_NE(ctap().selection(), kIOReturnSuccess);
}

TEST_F(Ctap2OnKey, EmptyOrBrokenAnswersToATouchRequestAreNoTouch)
{
    connect();
    // The key answers nothing at all: no status byte, so nobody touched it.
    for (std::uint8_t command : {std::uint8_t{0x0B}, std::uint8_t{0x01}}) {
        key().queueRawReply({Bytes{}, command});
        log_.clear();
        const IOReturn status = command == 0x0B ? ctap().selection() : ctap().selectDevice();
        EXPECT_EQ(status, kIOReturnError);
        EXPECT_TRUE(log_.contains("CBOR error: ERR_INVALID_CBOR"));
    }
    // A key that sends INVALID_CBOR itself did answer: selection keeps its mapping.
    key().queueRawReply({Bytes{0x12}, std::uint8_t{0x0B}});
    EXPECT_EQ(ctap().selection(), kIOReturnSuccess);
    key().queueRawReply({Bytes{0x01}, std::uint8_t{0x0B}});
    EXPECT_EQ(ctap().selection(), kIOReturnError);
    key().queueRawReply({Bytes{0x30}, std::uint8_t{0x01}});
    EXPECT_EQ(ctap().selectDevice(), kIOReturnNotPermitted);
    key().queueRawReply({Bytes{0x2D}, std::uint8_t{0x01}});
    EXPECT_EQ(ctap().selectDevice(), kIOReturnAborted);
    key().queueRawReply({Bytes{0x01}, std::uint8_t{0x01}});
    EXPECT_EQ(ctap().selectDevice(), kIOReturnSuccess);
#ifndef KEY_TRANSPORT_CARD
    // An ERROR reply ends the answer early with nothing gathered.
    for (std::uint8_t command : {std::uint8_t{0x0B}, std::uint8_t{0x01}}) {
        link().usbKey()->front->injectFault({CtaphidFront::Fault::ErrorReply, 0x7F, std::uint8_t{0x10}});
        const IOReturn status = command == 0x0B ? ctap().selection() : ctap().selectDevice();
        EXPECT_NE(status, kIOReturnSuccess);
    }
#endif
}

TEST_F(Ctap2OnKey, StatusBytesMapToStatusesWithTheirLogLines)
{
    connect();
    struct Row {
        Bytes answer;
        IOReturn status;
        CTAPHID_ERROR_CODE code;
        std::string line; // "" for none
        Bytes payload;
    };
    const std::vector<Row> rows = {
        {{0x00, 0xA0}, kIOReturnSuccess, CTAPHID_ERROR_CODE::ERR_NO_ERROR, "", {0xA0}},
        {{0x00}, kIOReturnSuccess, CTAPHID_ERROR_CODE::ERR_NO_ERROR, "", {}},
        {{0x27}, kIOReturnAborted, CTAPHID_ERROR_CODE::ERR_OPERATION_DENIED, "CBOR error: ERR_OPERATION_DENIED", {}},
        {{0x2D}, kIOReturnAborted, CTAPHID_ERROR_CODE::ERR_KEEPALIVE_CANCEL, "CBOR error: ERR_KEEPALIVE_CANCEL", {}},
        {{0x2F},
         kIOReturnTimeout,
         CTAPHID_ERROR_CODE::ERR_USER_ACTION_TIMEOUT,
         "CBOR error: ERR_USER_ACTION_TIMEOUT",
         {}},
        {{0x30}, kIOReturnNotPermitted, CTAPHID_ERROR_CODE::ERR_NOT_ALLOWED, "CBOR error: ERR_NOT_ALLOWED", {}},
        {{0x31}, kIOReturnError, CTAPHID_ERROR_CODE::ERR_PIN_INVALID, "CBOR error: ERR_PIN_INVALID", {}},
        {{0x31, 0xA0}, kIOReturnError, CTAPHID_ERROR_CODE::ERR_PIN_INVALID, "CBOR error: ERR_PIN_INVALID", {0xA0}},
        {{0x12}, kIOReturnError, CTAPHID_ERROR_CODE::ERR_INVALID_CBOR, "CBOR error: ERR_INVALID_CBOR", {}},
        {{}, kIOReturnError, CTAPHID_ERROR_CODE::ERR_INVALID_CBOR, "CBOR error: ERR_INVALID_CBOR", {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(X(row.answer));
        key().queueRawReply({row.answer, std::uint8_t{0x04}});
        log_.clear();
        const Ctap2::CborAnswer answer = ctap().sendCmdCbor(Bytes{0x04});
        EXPECT_EQ(answer.status, row.status);
        EXPECT_EQ(answer.code, row.code);
        EXPECT_EQ(answer.payload, row.payload);
        EXPECT_EQ(answer.statusByteReceived, !row.answer.empty());
        if (row.line.empty())
            EXPECT_TRUE(log_.lines().empty());
        else
            EXPECT_EQ(log_.lines(), std::vector<std::string>{row.line});
    }
    // Status bytes without a name (newer keys send some) fail plainly, under a code no caller reads specially.
    for (std::uint8_t unknown : {std::uint8_t{0x3B}, std::uint8_t{0x3F}, std::uint8_t{0x40}, std::uint8_t{0xE5}}) {
        key().queueRawReply({Bytes{unknown}, std::uint8_t{0x04}});
        log_.clear();
        const Ctap2::CborAnswer answer = ctap().sendCmdCbor(Bytes{0x04});
        EXPECT_EQ(answer.status, kIOReturnError);
        EXPECT_EQ(answer.statusByte, unknown);
        EXPECT_NE(answer.code, CTAPHID_ERROR_CODE::ERR_NO_ERROR);
        EXPECT_NE(answer.code, CTAPHID_ERROR_CODE::ERR_INVALID_CBOR);
        EXPECT_NE(answer.code, CTAPHID_ERROR_CODE::ERR_OPERATION_DENIED);
        ASSERT_EQ(log_.lines().size(), 1u);
        EXPECT_EQ(log_.lines()[0].rfind("CBOR error: ", 0), 0u);
        // The selection does not take it for a touch or a refusal.
        key().queueRawReply({Bytes{unknown}, std::uint8_t{0x0B}});
        EXPECT_EQ(ctap().selection(), kIOReturnError);
    }
}

#ifndef KEY_TRANSPORT_CARD
TEST_F(Ctap2OnKey, TransportFailurePassesThroughWithoutLogLine)
{
    connect();
    link().usbKey()->front->injectFault({CtaphidFront::Fault::Silence, 0, std::uint8_t{0x10}});
    log_.clear();
    const Ctap2::CborAnswer answer = ctap().sendCmdCbor(Bytes{0x04});
    EXPECT_EQ(answer.status, kIOReturnError); // the transport's answer time-out
    EXPECT_EQ(answer.code, CTAPHID_ERROR_CODE::ERR_INVALID_CBOR);
    EXPECT_FALSE(answer.statusByteReceived);
    EXPECT_TRUE(answer.payload.empty());
    EXPECT_EQ(log_.lines(), std::vector<std::string>{"receiveResponse: timeout"});
    // A removal ends the wait with its own status.
    link().usbKey()->front->injectFault({CtaphidFront::Fault::HangUp, 0, std::uint8_t{0x10}});
    log_.clear();
    const Ctap2::CborAnswer gone = ctap().sendCmdCbor(Bytes{0x04});
    EXPECT_NE(gone.status, kIOReturnSuccess);
    EXPECT_FALSE(gone.statusByteReceived);
    // getRetries passes a transport failure through as it came.
    EXPECT_EQ(ctap().getPinRetries().second, ctap().sendCmdCbor(Bytes{0x04}).status);

    // Nothing bound: every command fails with an I/O error.
    ctap().setHidHelper(nullptr);
    EXPECT_EQ(ctap().sendCmdCbor(Bytes{0x04}).status, kIOReturnIOError);
    EXPECT_EQ(ctap().sendCmdInit().second, kIOReturnIOError);
    EXPECT_EQ(ctap().selection(), kIOReturnIOError);
}

TEST_F(Ctap2OnKey, AKeyThatLeftIsReportedAsNoDevice)
{
    connect();
    ASSERT_EQ(ctap().getInfo().second, kIOReturnSuccess);
    ASSERT_TRUE(key().setPin("1234"));
    ASSERT_EQ(ctap().getPinRetries().second, kIOReturnSuccess);
    link().removeKey();
    log_.clear();
    EXPECT_EQ(ctap().getPinRetries().second, kIOReturnNoDevice);
    EXPECT_EQ(ctap().getInfo().second, kIOReturnNoDevice);
}
#endif
