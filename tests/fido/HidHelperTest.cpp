#include "fido/HidHelper.h"

#include "TestHex.h"
#include "fido/PromptLog.h"
#include "fido/ScriptedCtaphidPeer.h"
#include "support/Eventually.h"
#include "support/LogCapture.h"
#include "support/SocketPairHidSource.h"

#include <gtest/gtest.h>

#include <sys/socket.h>

#include <atomic>
#include <future>
#include <optional>
#include <thread>
#include <tuple>

using namespace std::chrono_literals;

namespace {

constexpr std::uint32_t kCid = 0x11223344;
constexpr std::uint8_t kCbor = 0x10;

Bytes pattern(std::size_t n, std::uint8_t seed = 0)
{
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i)
        b[i] = static_cast<std::uint8_t>(seed + i * 7 + i / 251);
    return b;
}

// A transport bound to one socket-pair key, with short waits.
class HidHelperTransport : public testing::Test {
protected:
    using Response = HidHelper::Response;

    void SetUp() override
    {
        timing.answerTimeout = 250ms;
        timing.silenceTimeout = 400ms;
        timing.arrivalPause = 10ms;
        helper = std::make_unique<HidHelper>(source, timing);
        helper->setWaitUserInputAction(prompts.action());
        key = source->plug();
        helper->initUsb();
        // Without a monitor callback an arrival binds the key.
        ASSERT_TRUE(eventually([&] { return helper->device() == key; }));
        peer = std::make_unique<ScriptedCtaphidPeer>(source->peerFd(key));
    }

    void TearDown() override { helper->stopUsb(); }

    std::future<Response> sendAsync(std::uint32_t cid, CTAPHID cmd, Bytes data)
    {
        return std::async(std::launch::async, [this, cid, cmd, data] { return helper->sendCmd(cid, cmd, data); });
    }

    static Response get(std::future<Response>& f)
    {
        if (f.wait_for(5s) != std::future_status::ready) {
            ADD_FAILURE() << "sendCmd did not return";
            return {{}, kIOReturnError};
        }
        return f.get();
    }

    HidHelper::Timing timing;
    std::shared_ptr<SocketPairHidSource> source = std::make_shared<SocketPairHidSource>();
    std::unique_ptr<HidHelper> helper;
    std::shared_ptr<HidDevice> key;
    std::unique_ptr<ScriptedCtaphidPeer> peer;
    PromptLog prompts;
    LogCapture log;
};

} // namespace

// ---- framing

TEST(HidHelperFraming, HeaderCarriesChannelCommandAndLengthAndNothingIsPadded)
{
    const std::vector<std::tuple<CTAPHID, Bytes, std::string>> cases = {
        {CTAPHID::WINK, {}, "1122334488 0000"},
        {CTAPHID::CANCEL, {}, "1122334491 0000"},
        {CTAPHID::CBOR, H("04 A1 01 02"), "1122334490 0004 04A10102"},
    };
    for (const auto& [cmd, data, expected] : cases) {
        auto f = HidHelper::makePackets(kCid, cmd, data);
        ASSERT_EQ(f.packets.size(), 1u);
        EXPECT_EQ(f.packets[0], H(expected));
    }
}

TEST(HidHelperFraming, PacketBoundaries)
{
    auto one = HidHelper::makePackets(kCid, CTAPHID::CBOR, pattern(57));
    ASSERT_EQ(one.packets.size(), 1u);
    EXPECT_EQ(one.packets[0].size(), 64u);

    const Bytes data = pattern(58);
    auto two = HidHelper::makePackets(kCid, CTAPHID::CBOR, data);
    ASSERT_EQ(two.packets.size(), 2u);
    EXPECT_EQ(two.packets[0].size(), 64u);
    EXPECT_EQ(two.packets[1], (Bytes{0x11, 0x22, 0x33, 0x44, 0x00, data[57]}));
}

TEST(HidHelperFraming, LongestMessageUsesEverySequenceNumberAndOneMoreByteOverruns)
{
    auto full = HidHelper::makePackets(kCid, CTAPHID::CBOR, pattern(7609));
    ASSERT_EQ(full.status, kIOReturnSuccess);
    ASSERT_EQ(full.packets.size(), 129u);
    EXPECT_EQ(full.packets[0][5], 0x1D);
    EXPECT_EQ(full.packets[0][6], 0xB9);
    for (std::size_t i = 1; i < full.packets.size(); ++i) {
        EXPECT_EQ(full.packets[i][4], i - 1);
        EXPECT_EQ(full.packets[i].size(), 64u);
    }
    for (std::size_t n : {std::size_t{7610}, std::size_t{65535}, std::size_t{70000}}) {
        auto over = HidHelper::makePackets(kCid, CTAPHID::CBOR, pattern(n));
        EXPECT_EQ(over.status, kIOReturnOverrun);
        EXPECT_TRUE(over.packets.empty());
    }
}

// ---- reassembly, one report at a time

TEST(HidHelperReassembly, ShortReportsEndTheMessageWithoutReadingPastThem)
{
    const std::vector<Bytes> shortReports = {
        {},
        H("11223344"),                   // no command byte
        H("1122334490 00"),              // initialisation header cut short
        H("11223344BB 0001"),            // keepalive without its status
    };
    for (const Bytes& report : shortReports) {
        HidHelper::ReceiveState state{};
        HidHelper::ReceiveVariables rv;
        HidHelper::prepareReceive(state, rv, kCid);
        EXPECT_EQ(HidHelper::ReceiveResponse(state, rv, CTAPHID::CBOR, report), HidHelper::ReceiveOutcome::ended)
            << X(report);
        EXPECT_EQ(state, HidHelper::ReceiveState::done);
        EXPECT_EQ(rv.result, kIOReturnError);
        EXPECT_EQ(rv.count, 0);
    }
}

TEST(HidHelperReassembly, DeclaredLengthBeyondOneMessageEndsAtOnce)
{
    HidHelper::ReceiveState state{};
    HidHelper::ReceiveVariables rv;
    HidHelper::prepareReceive(state, rv, kCid);
    EXPECT_EQ(HidHelper::ReceiveResponse(state, rv, CTAPHID::CBOR,
                                         ScriptedCtaphidPeer::initPacket(kCid, kCbor, 7610, pattern(57))),
              HidHelper::ReceiveOutcome::ended);
    EXPECT_EQ(rv.result, kIOReturnError);
    EXPECT_TRUE(rv.bytes.empty());
}

// ---- requests over the socket pair

TEST_F(HidHelperTransport, EmptyRequestGoesOutAsReportIdZeroAndSixtyFourBytes)
{
    auto f = sendAsync(kCid, CTAPHID::WINK, {});
    auto report = peer->readReport();
    ASSERT_TRUE(report) << "datagram size " << peer->lastDatagramSize();
    Bytes expected(64, 0);
    std::copy_n(H("1122334488 0000").begin(), 7, expected.begin());
    EXPECT_EQ(*report, expected);
    // A WINK answer declares length 0: the wait ends with nothing, as success.
    peer->send(ScriptedCtaphidPeer::initPacket(kCid, 0x08, 0, {}));
    auto [answer, status] = get(f);
    EXPECT_EQ(status, kIOReturnSuccess);
    EXPECT_TRUE(answer.empty());
}

TEST_F(HidHelperTransport, LongestRequestAndMultiPacketAnswerRoundTrip)
{
    const Bytes data = pattern(7609, 3);
    auto f = sendAsync(kCid, CTAPHID::PING, data);
    auto request = peer->readRequest();
    ASSERT_TRUE(request);
    EXPECT_EQ(request->data, data);
    peer->sendMessage(kCid, 0x01, data);
    auto [answer, status] = get(f);
    EXPECT_EQ(status, kIOReturnSuccess);
    EXPECT_EQ(answer, data);
}

TEST_F(HidHelperTransport, RefusedRequestsSendNothing)
{
    EXPECT_EQ(helper->sendCmd(kCid, CTAPHID::CBOR, pattern(7610)), (Response{{}, kIOReturnOverrun}));
    helper->setDevice(nullptr);
    EXPECT_EQ(helper->sendCmd(kCid, CTAPHID::CBOR, H("04")), (Response{{}, kIOReturnNoDevice}));
    EXPECT_EQ(helper->sendReport(H("00")), kIOReturnError);
    helper->setDevice(key);
    // The first report the key gets is the one sent after them.
    auto f = sendAsync(kCid, CTAPHID::PING, H("77"));
    auto request = peer->readRequest();
    ASSERT_TRUE(request);
    EXPECT_EQ(request->cmd, 0x01);
    peer->sendMessage(kCid, 0x01, H("77"));
    EXPECT_EQ(get(f).second, kIOReturnSuccess);
}

TEST_F(HidHelperTransport, OversizedReportIsRefused)
{
    log.clear();
    EXPECT_EQ(helper->sendReport(Bytes(65, 0)), kIOReturnOverrun);
    EXPECT_EQ(helper->sendReport(Bytes(64, 0)), kIOReturnSuccess);
    EXPECT_EQ(log.count("output data too large for USB report"), 1);
}

TEST_F(HidHelperTransport, PacketsOfOtherChannelsAndCommandsAreIgnored)
{
    auto f = sendAsync(kCid, CTAPHID::CBOR, H("04"));
    ASSERT_TRUE(peer->readRequest());
    peer->sendMessage(0x55667788, kCbor, H("00FF"));  // another channel
    peer->sendMessage(kCid, 0x03, H("6985"));         // another command
    peer->sendMessage(kCid, kCbor, H("00A1"));
    auto [answer, status] = get(f);
    EXPECT_EQ(status, kIOReturnSuccess);
    EXPECT_EQ(X(answer), "00A1");
}

TEST_F(HidHelperTransport, BroadcastRequestTakesAnswerFromAnyChannel)
{
    const Bytes nonce = H("0102030405060708");
    auto f = sendAsync(HidHelper::kBroadcastCid, CTAPHID::INIT, nonce);
    auto request = peer->readRequest();
    ASSERT_TRUE(request);
    EXPECT_EQ(request->cid, HidHelper::kBroadcastCid);
    Bytes answer = nonce;
    for (std::uint8_t b : H("CAFE0001 02 05 02 07 0D"))
        answer.push_back(b);
    peer->sendMessage(0xCAFE0001, 0x06, answer);
    auto [got, status] = get(f);
    EXPECT_EQ(status, kIOReturnSuccess);
    EXPECT_EQ(got, answer);
}

TEST_F(HidHelperTransport, ContinuationOutOfSequenceIsIgnored)
{
    log.clear();
    auto f = sendAsync(kCid, CTAPHID::CBOR, H("04"));
    ASSERT_TRUE(peer->readRequest());
    const Bytes data = pattern(100);
    peer->send(ScriptedCtaphidPeer::initPacket(kCid, kCbor, 100, Bytes(data.begin(), data.begin() + 57)));
    peer->send(ScriptedCtaphidPeer::contPacket(kCid, 1, Bytes(data.begin() + 57, data.end())));
    auto [answer, status] = get(f);
    EXPECT_EQ(status, kIOReturnError);
    EXPECT_TRUE(answer.empty());
    EXPECT_EQ(log.count("receiveResponse: timeout"), 1);
}

TEST_F(HidHelperTransport, StrayPacketsAroundAnAnswerDoNotCorruptIt)
{
    auto f = sendAsync(kCid, CTAPHID::CBOR, H("04"));
    ASSERT_TRUE(peer->readRequest());
    const Bytes data = pattern(100, 9);
    peer->send(ScriptedCtaphidPeer::contPacket(kCid, 0, pattern(59, 0xEE)));          // before any initialisation
    peer->send(ScriptedCtaphidPeer::initPacket(kCid, kCbor, 300, pattern(57, 0x55))); // a start given up
    peer->send(ScriptedCtaphidPeer::contPacket(kCid, 0, pattern(59, 0x66)));          // after 116 bytes
    peer->send(ScriptedCtaphidPeer::initPacket(kCid, kCbor, 100, Bytes(data.begin(), data.begin() + 57)));
    peer->send(ScriptedCtaphidPeer::contPacket(kCid, 1, pattern(59, 0x77)));          // out of sequence
    peer->keepalive(kCid, 1);
    peer->send(ScriptedCtaphidPeer::contPacket(kCid, 0, Bytes(data.begin() + 57, data.end())));
    auto [answer, status] = get(f);
    EXPECT_EQ(status, kIOReturnSuccess);
    EXPECT_EQ(answer, data);
}

TEST_F(HidHelperTransport, ErrorReplyAndMalformedReportsEndTheWaitAtOnce)
{
    const std::vector<std::pair<Bytes, std::string>> enders = {
        {ScriptedCtaphidPeer::initPacket(kCid, 0x3F, 1, {0x06}), ""}, // ERROR
        {H("11223344"), ""},                                         // too short for a header
        {H("11223344BB0001"), ""},                                   // keepalive without status
        {H("1122334490"), ""},                                       // initialisation header cut short
        {H("11223344BB000107"), "Unknown status"},                   // keepalive with another status
    };
    for (const auto& [report, line] : enders) {
        log.clear();
        // A wait that ran out instead would end with an error.
        auto f = sendAsync(kCid, CTAPHID::CBOR, H("04"));
        ASSERT_TRUE(peer->readRequest());
        peer->sendRaw(report);
        EXPECT_EQ(get(f), (Response{{}, kIOReturnSuccess})) << X(report);
        EXPECT_EQ(log.lines(), line.empty() ? std::vector<std::string>{} : std::vector<std::string>{line});
    }
}

TEST_F(HidHelperTransport, ErrorReplyMidMessageReturnsOnlyWhatWasGathered)
{
    auto f = sendAsync(kCid, CTAPHID::CBOR, H("04"));
    ASSERT_TRUE(peer->readRequest());
    const Bytes first = pattern(57, 4);
    peer->send(ScriptedCtaphidPeer::initPacket(kCid, kCbor, 200, first));
    peer->error(kCid, 0x7F);
    auto [answer, status] = get(f);
    EXPECT_EQ(status, kIOReturnSuccess);
    EXPECT_EQ(answer, first);
}

TEST_F(HidHelperTransport, TouchPromptRisesOnceAndFallsWhenTheAnswerComes)
{
    log.clear();
    helper->setWaitForever(true);
    auto f = sendAsync(kCid, CTAPHID::CBOR, H("01"));
    ASSERT_TRUE(peer->readRequest());
    for (int i = 0; i < 3; ++i)
        peer->keepalive(kCid, 2);
    ASSERT_TRUE(eventually([&] { return helper->waitUserInput(); }));
    peer->sendMessage(kCid, kCbor, H("00"));
    auto [answer, status] = get(f);
    EXPECT_EQ(status, kIOReturnSuccess);
    EXPECT_EQ(X(answer), "00");
    EXPECT_EQ(prompts.calls(), (std::vector<bool>{true, false}));
    EXPECT_FALSE(helper->waitUserInput());
    EXPECT_EQ(log.count("ReceiveResponse: Waiting for user response"), 3);
}

TEST_F(HidHelperTransport, KeyFallingSilentAfterAskingForATouchEndsTheWaitWithoutTimeoutLine)
{
    // An ordinary request runs out of answer time, a touch request out of silence time.
    for (const auto& [request, status] : {std::pair{H("04"), kIOReturnError}, std::pair{H("01"), kIOReturnTimeout}}) {
        log.clear();
        helper->setWaitForever(request[0] == 0x01);
        auto f = sendAsync(kCid, CTAPHID::CBOR, request);
        ASSERT_TRUE(peer->readRequest());
        peer->keepalive(kCid, 2);
        EXPECT_EQ(get(f), (Response{{}, status}));
        EXPECT_EQ(log.count("receiveResponse: timeout"), 0);
    }
    EXPECT_EQ(prompts.calls(), (std::vector<bool>{true, false, true, false}));
}

TEST_F(HidHelperTransport, ProcessingKeepalivesDoNotExtendTheAnswerWait)
{
    std::atomic<bool> done{false};
    auto f = sendAsync(kCid, CTAPHID::CBOR, H("04"));
    ASSERT_TRUE(peer->readRequest());
    std::thread ticker([&] {
        while (!done) {
            peer->keepalive(kCid, 1);
            std::this_thread::sleep_for(20ms);
        }
    });
    auto [answer, status] = get(f);
    done = true;
    ticker.join();
    EXPECT_EQ(status, kIOReturnError);
    EXPECT_TRUE(prompts.calls().empty());
}

TEST_F(HidHelperTransport, TouchWaitOutlastsTheAnswerLimitWhileKeepalivesCome)
{
    helper->setWaitForever(true);
    auto f = sendAsync(kCid, CTAPHID::CBOR, H("0B"));
    ASSERT_TRUE(peer->readRequest());
    // Well past both the answer limit and the silence limit, with a keepalive every 40 ms.
    for (int i = 0; i < 25; ++i) {
        peer->keepalive(kCid, i == 0 ? 2 : 1);
        std::this_thread::sleep_for(40ms);
    }
    EXPECT_EQ(f.wait_for(0ms), std::future_status::timeout);
    peer->sendMessage(kCid, kCbor, H("00"));
    auto [answer, status] = get(f);
    EXPECT_EQ(status, kIOReturnSuccess);
    EXPECT_EQ(X(answer), "00");
}

TEST_F(HidHelperTransport, ReportsQueuedBeforeTheKeyIsFirstReadAreNotItsAnswer)
{
    peer->sendMessage(kCid, kCbor, H("00EE"));
    auto f = sendAsync(kCid, CTAPHID::CBOR, H("04"));
    ASSERT_TRUE(peer->readRequest());
    peer->sendMessage(kCid, kCbor, H("00BB"));
    EXPECT_EQ(get(f), (Response{H("00BB"), kIOReturnSuccess}));
}

TEST_F(HidHelperTransport, LateAnswerIsNeverTakenForTheNextOne)
{
    auto first = sendAsync(kCid, CTAPHID::CBOR, H("04"));
    ASSERT_TRUE(peer->readRequest());
    EXPECT_EQ(get(first).second, kIOReturnError);
    // The first answer arrives after its wait gave up, before the next request is sent.
    peer->sendMessage(kCid, kCbor, H("00AA"));

    auto second = sendAsync(kCid, CTAPHID::CBOR, H("04"));
    auto request = peer->readRequest();
    ASSERT_TRUE(request);
    peer->sendMessage(kCid, kCbor, H("00BB"));
    auto [answer, status] = get(second);
    EXPECT_EQ(status, kIOReturnSuccess);
    EXPECT_EQ(X(answer), "00BB");
}

TEST_F(HidHelperTransport, ReleasesThatAreNotThisRequestsDoNotEndIt)
{
    // A release with no request under way leaves nothing behind for the next one.
    helper->releaseWaiter(key);
    std::atomic<int> removals{0};
    helper->setMonitorCallback([&](const std::shared_ptr<HidDevice>&, bool added) { removals += added ? 0 : 1; });
    auto other = source->plug();
    helper->setWaitForever(true);
    auto f = sendAsync(kCid, CTAPHID::CBOR, H("01"));
    ASSERT_TRUE(peer->readRequest());
    // Another key leaving does not concern the request either.
    source->unplug(other);
    ASSERT_TRUE(eventually([&] { return removals == 1; }));
    peer->sendMessage(kCid, kCbor, H("00DD"));
    EXPECT_EQ(get(f), (Response{H("00DD"), kIOReturnSuccess}));
}

TEST_F(HidHelperTransport, RemovalOfTheBoundKeyEndsItsWaitWithNoDevice)
{
    helper->setWaitForever(true);
    auto f = sendAsync(kCid, CTAPHID::CBOR, H("01"));
    ASSERT_TRUE(peer->readRequest());
    peer->keepalive(kCid, 2);
    ASSERT_TRUE(eventually([&] { return helper->waitUserInput(); }));
    source->unplug(key);
    auto [answer, status] = get(f);
    EXPECT_EQ(status, kIOReturnNoDevice);
    EXPECT_TRUE(answer.empty());
    EXPECT_EQ(prompts.calls(), (std::vector<bool>{true, false}));

    // The bound key stays bound; writing to it now fails as a missing device.
    log.clear();
    EXPECT_EQ(helper->device(), key);
    EXPECT_EQ(helper->sendCmd(kCid, CTAPHID::CBOR, H("04")).second, kIOReturnNoDevice);
    EXPECT_EQ(log.count("sendCmd: failed, error = " + std::to_string(static_cast<std::int32_t>(kIOReturnNoDevice))),
              1);
}

TEST_F(HidHelperTransport, KeyHangingUpByItselfEndsTheWait)
{
    helper->setWaitForever(true);
    auto f = sendAsync(kCid, CTAPHID::CBOR, H("07"));
    ASSERT_TRUE(peer->readRequest());
    ::shutdown(source->peerFd(key), SHUT_RDWR);
    EXPECT_EQ(get(f).second, kIOReturnNoDevice);
}

TEST_F(HidHelperTransport, CancelReachesTheKeyAfterTheWholeRequestWhichEndsOnTheKeysAnswer)
{
    // Room for a few reports only, so a long request is still being written when the cancel comes.
    const int smallest = 1;
    ASSERT_EQ(::setsockopt(key->fd(), SOL_SOCKET, SO_SNDBUF, &smallest, sizeof smallest), 0);
    struct Case {
        const char* when;
        std::size_t length;
        std::optional<Bytes> keyAnswer;
        Response expected;
    };
    const std::vector<Case> cases = {
        {"while the key waits for a touch", 1, H("2D"), {H("2D"), kIOReturnSuccess}},
        {"while the request is still going out", 7609, H("2D"), {H("2D"), kIOReturnSuccess}},
        {"and the key never answers", 1, std::nullopt, {{}, kIOReturnAborted}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.when);
        helper->setWaitForever(true);
        Bytes data = pattern(c.length);
        data[0] = 0x01;
        auto f = sendAsync(kCid, CTAPHID::CBOR, data);
        std::optional<ScriptedCtaphidPeer::Request> request;
        if (c.length == 1) {
            ASSERT_TRUE(request = peer->readRequest());
            peer->keepalive(kCid, 2);
            ASSERT_TRUE(eventually([&] { return helper->waitUserInput(); }));
        } else {
            ASSERT_TRUE(peer->readReport());
        }
        EXPECT_EQ(helper->sendCmd(kCid, CTAPHID::CANCEL, {}), (Response{{}, kIOReturnSuccess}));
        for (std::uint8_t seq = 0; c.length > 1 && seq < 128; ++seq) {
            auto continuation = peer->readReport();
            ASSERT_TRUE(continuation);
            ASSERT_EQ((*continuation)[4], seq);
        }
        auto cancel = peer->readRequest();
        ASSERT_TRUE(cancel);
        EXPECT_EQ(cancel->cid, kCid);
        EXPECT_EQ(cancel->cmd, 0x11);
        if (c.keyAnswer)
            peer->sendMessage(kCid, kCbor, *c.keyAnswer);
        EXPECT_EQ(get(f), c.expected);
        EXPECT_FALSE(helper->waitUserInput());
    }
}

TEST_F(HidHelperTransport, TouchPromptNeverStaysUpAfterAWait)
{
    // Keepalives race with the end of each wait: the prompt's calls must still alternate and end lowered.
    timing.answerTimeout = 15ms;
    helper->stopUsb();
    helper = std::make_unique<HidHelper>(source, timing);
    helper->setWaitUserInputAction(prompts.action());
    helper->setDevice(key);
    helper->initUsb();
    std::atomic<bool> done{false};
    std::thread spammer([&] {
        const Bytes ka = [] {
            Bytes b = ScriptedCtaphidPeer::initPacket(kCid, 0x3B, 1, {2});
            b.resize(64, 0);
            return b;
        }();
        while (!done) {
            ::send(source->peerFd(key), ka.data(), ka.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
            std::uint8_t sink[128];
            while (::recv(source->peerFd(key), sink, sizeof sink, MSG_DONTWAIT) > 0) {
            }
            std::this_thread::sleep_for(200us);
        }
    });
    for (int i = 0; i < 30; ++i) {
        helper->sendCmd(kCid, CTAPHID::CBOR, H("04"));
        EXPECT_FALSE(helper->waitUserInput());
    }
    done = true;
    spammer.join();
    auto calls = prompts.calls();
    ASSERT_FALSE(calls.empty());
    for (std::size_t i = 0; i < calls.size(); ++i)
        EXPECT_EQ(calls[i], i % 2 == 0) << "call " << i;
    EXPECT_FALSE(calls.back());
}

TEST_F(HidHelperTransport, StoppingEndsAWaitAndLaterRequests)
{
    helper->setWaitForever(true);
    auto f = sendAsync(kCid, CTAPHID::CBOR, H("01"));
    ASSERT_TRUE(peer->readRequest());
    helper->stopUsb();
    EXPECT_EQ(get(f).second, kIOReturnAborted);
    EXPECT_EQ(helper->sendCmd(kCid, CTAPHID::CBOR, H("04")).second, kIOReturnAborted);
}
