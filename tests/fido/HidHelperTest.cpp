#include "fido/HidHelper.h"

#include "TestHex.h"
#include "fido/PromptLog.h"
#include "platform/NotificationCenter.h"
#include "support/Eventually.h"
#include "support/LogCapture.h"
#include "support/SocketPairHidSource.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <functional>
#include <future>
#include <mutex>
#include <optional>

using namespace std::chrono_literals;
using Response = HidHelper::Response;

namespace {

constexpr std::uint32_t kCid = 0x11223344;
const Bytes kUpNeeded = H("11223344BB 0001 02"), kProcessing = H("11223344BB 0001 01");

Bytes pattern(std::size_t n, std::uint8_t seed = 0)
{
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i)
        b[i] = static_cast<std::uint8_t>(seed + i * 7 + i / 251);
    return b;
}

// A transport bound to one socket-pair key whose side the test scripts, with short waits.
class HidHelperTransport : public testing::Test {
protected:
    void SetUp() override
    {
        helper->setWaitUserInputAction(prompts.action());
        helper->initUsb();
        // Without a monitor callback an arrival binds the key.
        ASSERT_TRUE(eventually([&] { return helper->device() == key; }));
    }

    void TearDown() override { helper->stopUsb(); }

    static Response ok(Bytes answer) { return {std::move(answer), kIOReturnSuccess}; }

    // One whole request as the key reads it: the initialisation header, then the data. Every report must be report
    // ID 0 and 64 bytes, the continuations on the request's channel and in sequence.
    std::optional<Bytes> readRequest() const
    {
        Bytes request;
        for (std::uint8_t seq = 0; request.size() < 7 || request.size() < 7u + ((request[5] << 8) | request[6]);) {
            pollfd p{peer, POLLIN, 0};
            std::uint8_t r[128];
            const ssize_t n = ::poll(&p, 1, 3000) > 0 ? ::recv(peer, r, sizeof r, MSG_DONTWAIT) : 0;
            if (n != 65 || r[0] != 0 ||
                (!request.empty() && (!std::equal(r + 1, r + 5, request.begin()) || r[5] != seq++)))
                return std::nullopt;
            request.insert(request.end(), r + (request.empty() ? 1 : 6), r + 65);
        }
        request.resize(7u + ((request[5] << 8) | request[6]));
        return request;
    }

    // Input reports as given: a short one is not padded, so the transport must keep to its length.
    void send(const std::vector<Bytes>& reports) const
    {
        for (const Bytes& r : reports)
            ASSERT_EQ(::send(peer, r.data(), r.size(), MSG_NOSIGNAL), static_cast<ssize_t>(r.size()));
    }

    // A request under way once the key has read it (the header in hex, then the data) and sent `reports`.
    std::future<Response> request(const std::vector<Bytes>& reports, const std::string& header = "1122334490 0001",
                                  const Bytes& data = H("04"), bool waitForever = false)
    {
        const Bytes h = H(header);
        const std::uint32_t cid = (std::uint32_t{h[0]} << 24) | (h[1] << 16) | (h[2] << 8) | h[3];
        auto f = std::async(std::launch::async,
                            [=, this] { return helper->sendCmd(cid, CTAPHID(h[4] & 0x7F), data, waitForever); });
        EXPECT_EQ(readRequest(), H(header + X(data)));
        send(reports);
        return f;
    }

    // A sendCmd that has not returned within 5 s shows as kIOReturnNotPermitted, which no test expects.
    static Response get(std::future<Response> f)
    {
        return f.wait_for(5s) == std::future_status::ready ? f.get() : Response{{}, kIOReturnNotPermitted};
    }

    // A touch request under way, the key waiting for the touch.
    std::future<Response> touchRequest()
    {
        auto f = request({kUpNeeded}, "1122334490 0001", H("01"), true);
        EXPECT_TRUE(eventually([&] { return helper->waitUserInput(); }));
        return f;
    }

    HidHelper::Timing timing{.answerTimeout = 250ms, .silenceTimeout = 400ms, .arrivalPause = 10ms};
    std::shared_ptr<SocketPairHidSource> source = std::make_shared<SocketPairHidSource>();
    std::unique_ptr<HidHelper> helper = std::make_unique<HidHelper>(source, timing);
    std::shared_ptr<HidDevice> key = source->plug();
    int peer = source->peerFd(key);
    PromptLog prompts;
    LogCapture log;
};

// A transport whose arrivals and removal notices the test records, with a pause after each arrival.
class HidHelperDiscovery : public testing::Test {
protected:
    struct Report {
        std::shared_ptr<HidDevice> device;
        bool added;
        std::chrono::steady_clock::time_point at;
    };

    void TearDown() override
    {
        helper->stopUsb();
        NotificationCenter::defaultCenter().removeObserver(token);
    }

    void monitor()
    {
        helper->setMonitorCallback([this](const std::shared_ptr<HidDevice>& device, bool added) {
            std::lock_guard lock(mutex);
            reports.push_back({device, added, std::chrono::steady_clock::now()});
        });
    }

    std::vector<Report> seen(std::size_t atLeast)
    {
        EXPECT_TRUE(eventually([&] {
            std::lock_guard lock(mutex);
            return reports.size() >= atLeast;
        }));
        std::lock_guard lock(mutex);
        return reports;
    }

    std::size_t notificationCount()
    {
        std::lock_guard lock(mutex);
        return notifications;
    }

    HidHelper::Timing timing{.answerTimeout = 200ms, .arrivalPause = 60ms};
    std::shared_ptr<SocketPairHidSource> source = std::make_shared<SocketPairHidSource>();
    std::unique_ptr<HidHelper> helper = std::make_unique<HidHelper>(source, timing);
    std::mutex mutex;
    std::vector<Report> reports;
    std::size_t notifications = 0;
    NotificationCenter::Token token = NotificationCenter::defaultCenter().addObserver(
        "deviceDisconnected", [this](const std::string&, const NotificationCenter::UserInfo&) {
            std::lock_guard lock(mutex);
            ++notifications;
        });
};

} // namespace

// Every packet but the last is 64 bytes long and the last carries only what is left (a request without data is one
// 7-byte packet); continuations are numbered from 0 to 0x7F, and a message that would need 0x80 is refused whole.
TEST(HidHelperFraming, PacketsAreCutAtTheirBoundariesAndBuiltAtTheirExactLength)
{
    const std::vector<std::size_t> longest(129, 64);
    const std::tuple<CTAPHID, std::size_t, std::vector<std::size_t>> cases[] = {
        {CTAPHID::CANCEL, 0, {7}}, {CTAPHID::WINK, 0, {7}},       {CTAPHID::CBOR, 1, {8}},
        {CTAPHID::CBOR, 57, {64}}, {CTAPHID::CBOR, 58, {64, 6}}, {CTAPHID::CBOR, 116, {64, 64}},
        {CTAPHID::CBOR, 117, {64, 64, 6}}, {CTAPHID::PING, 7609, longest}, {CTAPHID::CBOR, 7610, {}},
        {CTAPHID::CBOR, 65535, {}}, {CTAPHID::CBOR, 70000, {}},
    };
    for (const auto& [cmd, length, sizes] : cases) {
        SCOPED_TRACE(std::to_string(length) + " bytes");
        const Bytes data = pattern(length, 5);
        const HidHelper::Framing framing = HidHelper::makePackets(kCid, cmd, data);
        EXPECT_EQ(framing.status, sizes.empty() ? kIOReturnOverrun : kIOReturnSuccess);
        std::vector<std::size_t> got;
        Bytes payload;
        for (std::size_t i = 0; i < framing.packets.size(); ++i) {
            const Bytes& packet = framing.packets[i];
            got.push_back(packet.size());
            const Bytes header = i == 0 ? Bytes{0x11, 0x22, 0x33, 0x44, static_cast<std::uint8_t>(rawValue(cmd) | 0x80),
                                                static_cast<std::uint8_t>(length >> 8),
                                                static_cast<std::uint8_t>(length & 0xFF)}
                                        : Bytes{0x11, 0x22, 0x33, 0x44, static_cast<std::uint8_t>(i - 1)};
            ASSERT_GE(packet.size(), header.size());
            EXPECT_EQ(X(std::span(packet).first(header.size())), X(header)) << "packet " << i;
            payload.insert(payload.end(), packet.begin() + static_cast<std::ptrdiff_t>(header.size()), packet.end());
        }
        EXPECT_EQ(got, sizes);
        EXPECT_EQ(payload, sizes.empty() ? Bytes{} : data);
    }
}

// The arrival of each key already attached is reported as if it had been plugged in: after the pause, one at a
// time, before any later arrival.
TEST_F(HidHelperDiscovery, KeysAlreadyAttachedAreReportedFirstEachAfterThePause)
{
    auto a = source->plug();
    auto b = source->plug();
    monitor();
    const auto started = std::chrono::steady_clock::now();
    helper->initUsb();
    seen(2);
    auto c = source->plug();
    const auto r = seen(3);
    ASSERT_EQ(r.size(), 3u);
    EXPECT_EQ((std::vector{r[0].device, r[1].device, r[2].device}), (std::vector{a, b, c}));
    EXPECT_TRUE(r[0].added && r[1].added && r[2].added);
    EXPECT_GE(r[0].at - started, timing.arrivalPause);
    EXPECT_GE(r[1].at - r[0].at, timing.arrivalPause);
    EXPECT_GE(r[2].at - r[1].at, timing.arrivalPause);
    // With a monitor callback, binding a key is left to the receiver.
    EXPECT_EQ(helper->device(), nullptr);
}

TEST_F(HidHelperDiscovery, WithoutMonitorCallbackArrivalBindsAndRemovalStillNotifies)
{
    helper->initUsb();
    auto a = source->plug(SocketPairHidSource::makerKey("KWO FIDO"));
    ASSERT_TRUE(eventually([&] { return helper->device() == a; }));
    EXPECT_EQ(helper->getProductName(), "KWO FIDO");
    source->unplug(a);
    EXPECT_TRUE(eventually([&] { return notificationCount() == 1; }));
    EXPECT_EQ(helper->device(), a);
}

TEST_F(HidHelperTransport, EachRequestTakesOnlyItsOwnWholeAnswerAndErrorsEndItsWaitAtOnceAndSilenceAtItsLimit)
{
    // Refused requests send nothing: the first report the key reads is the next request.
    EXPECT_EQ(helper->sendCmd(1, CTAPHID::CBOR, pattern(7610)), (Response{{}, kIOReturnOverrun}));
    EXPECT_EQ(helper->sendReport(Bytes(65, 0)), kIOReturnOverrun);
    helper->setDevice(nullptr);
    EXPECT_EQ(helper->sendCmd(1, CTAPHID::CBOR, H("04")), (Response{{}, kIOReturnNoDevice}));
    EXPECT_EQ(helper->sendReport(H("00")), kIOReturnError);
    EXPECT_EQ(helper->getProductName(), "");
    helper->setDevice(key);
    // What the key queued before it was first read is no answer.
    send({H("1122334490 0002 00EE")});
    EXPECT_EQ(get(request({H("1122334490 0002 00BB")})), ok(H("00BB")));
    EXPECT_EQ(get(request({H("1122334488 0000")}, "1122334488 0000", {})), ok({}));
    const Bytes longest = pattern(7609, 3), data = pattern(100, 9);
    EXPECT_EQ(get(request(HidHelper::makePackets(kCid, CTAPHID::PING, longest).packets, "1122334481 1DB9", longest)),
              ok(longest));
    // A broadcast request takes its answer from the new channel.
    EXPECT_EQ(get(request({H("CAFE000186 0011 0102030405060708 CAFE0001 0205 0207 0D")}, "FFFFFFFF86 0008",
                          H("0102030405060708"))),
              ok(H("0102030405060708 CAFE0001 0205 0207 0D")));
    EXPECT_EQ(get(request({H("5566778890 0002 00FF"), H("1122334483 0002 6985"), // another channel, another command
                           H("1122334400" + X(pattern(59, 0xEE))),               // a continuation before any start
                           H("1122334490 012C" + X(pattern(57, 0x55))),          // a start given up...
                           H("1122334400" + X(pattern(59, 0x66))),               // ...after 116 bytes
                           H("1122334490 0064" + X(std::span(data).first(57))),
                           H("1122334401" + X(pattern(59, 0x77))), // out of sequence
                           kProcessing, H("1122334400" + X(std::span(data).subspan(57)))})),
              ok(data));
    // Reports too short for their header, a length no message can carry, an ERROR, a keepalive of unknown status.
    for (const Bytes& r : {H("11223344"), H("1122334490 00"), H("11223344BB 0001"),
                           H("1122334490 1DBA" + X(pattern(57))), H("11223344BF 0001 06"), H("11223344BB 0001 07")})
        EXPECT_EQ(get(request({r})), ok({})) << X(r);
    // An ERROR after the answer began leaves no answer: the part that came is not passed off as the whole.
    EXPECT_EQ(get(request({H("1122334490 00C8" + X(pattern(57))), H("11223344BF 0001 7F")})),
              (Response{{}, kIOReturnError}));
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"output data too large for USB report", "Unknown status"}));
    log.clear();
    // A key falling silent after asking for a touch (once or more): an ordinary request runs out of answer time, a
    // touch request out of silence time, and neither logs a time-out.
    EXPECT_EQ(get(request({kUpNeeded, kUpNeeded})), (Response{{}, kIOReturnError}));
    EXPECT_EQ(get(request({kUpNeeded}, "1122334490 0001", H("01"), true)), (Response{{}, kIOReturnTimeout}));
    EXPECT_EQ(prompts.calls(), (std::vector<bool>{true, false, true, false}));
    EXPECT_EQ(log.lines(), std::vector<std::string>(3, "ReceiveResponse: Waiting for user response"));
    log.clear();
    // PROCESSING keepalives keep a touch request waiting past both limits, but do not extend an ordinary request's
    // answer time.
    for (const bool touch : {true, false}) {
        auto f = request({}, "1122334490 0001", H("01"), touch);
        const auto end = std::chrono::steady_clock::now() + (touch ? timing.answerTimeout + timing.silenceTimeout : 2s);
        while (std::chrono::steady_clock::now() < end && f.wait_for(20ms) == std::future_status::timeout)
            send({kProcessing});
        EXPECT_EQ(f.wait_for(0s) == std::future_status::ready, !touch);
        if (touch)
            send({H("1122334490 0001 00")});
        EXPECT_EQ(get(std::move(f)), (touch ? ok(H("00")) : Response{{}, kIOReturnError}));
    }
    EXPECT_EQ(log.lines(), std::vector<std::string>{"receiveResponse: timeout"});
    // The ordinary request's answer, come after its wait gave up, is no answer to the next request.
    send({H("1122334490 0002 00AA")});
    EXPECT_EQ(get(request({H("1122334490 0002 00BB")})), ok(H("00BB")));
}

// A CTAPHID ERROR turns a request away only when its code says the key never took it up (its channel busy, or the
// request itself malformed or locked out) and it comes before the key showed any sign of work on it (a keepalive,
// a packet of the answer). Any other ERROR may come from a key that already acted, so the request counts as handed
// over; whether it reached the key decides between "nothing changed" and "not known".
TEST_F(HidHelperTransport, AnErrorTurnsTheRequestAwayOnlyWhenTheKeyNeverTookItUp)
{
    const Bytes answerBegun = H("1122334490 0064" + X(pattern(57)));
    const std::pair<std::vector<Bytes>, bool> cases[] = {
        {{H("1122334490 0002 00BB")}, true},
        {{H("11223344BF 0001 06")}, false}, // CHANNEL_BUSY
        {{H("11223344BF 0001 01")}, false}, // INVALID_CMD
        {{H("11223344BF 0001 02")}, false}, // INVALID_PAR
        {{H("11223344BF 0001 03")}, false}, // INVALID_LEN
        {{H("11223344BF 0001 04")}, false}, // INVALID_SEQ
        {{H("11223344BF 0001 05")}, false}, // MSG_TIMEOUT
        {{H("11223344BF 0001 0A")}, false}, // LOCK_REQUIRED
        {{H("11223344BF 0001 0B")}, false}, // INVALID_CHANNEL
        {{H("11223344BF 0001 7F")}, true},  // OTHER: the key may have acted
        {{H("11223344BF 0001 2D")}, true},  // no CTAPHID code
        {{H("11223344BF 0000")}, true},     // no code at all
        {{kProcessing, H("11223344BF 0001 06")}, true},
        {{kUpNeeded, H("11223344BF 0001 06")}, true},
        {{answerBegun, H("11223344BF 0001 06")}, true},
        {{answerBegun, H("11223344BF 0001 7F")}, true},
        {{H("5566778890 0002 00FF"), H("11223344BF 0001 06")}, false}, // another channel's answer is no sign
        {{H("55667788BF 0001 7F"), H("11223344BF 0001 0B")}, false},   // nor is another channel's ERROR
    };
    for (const auto& [reports, handedOver] : cases) {
        SCOPED_TRACE(X(reports.back()) + " after " + std::to_string(reports.size() - 1) + " report(s)");
        // An answer cut short by the ERROR is a failure; an ERROR alone leaves the empty answer to be judged above.
        EXPECT_EQ(get(request(reports)).second, reports.front() == answerBegun ? kIOReturnError : kIOReturnSuccess);
        EXPECT_EQ(helper->requestHandedOver(), handedOver);
    }
    // Once our CANCEL went out, even a "busy" ERROR before any keepalive may answer the CANCEL: the request was
    // handed over, and what the key did with it is not known.
    auto f = request({});
    EXPECT_EQ(helper->sendCmd(kCid, CTAPHID::CANCEL, {}), ok({}));
    EXPECT_EQ(readRequest(), H("1122334491 0000"));
    send({H("11223344BF 0001 06")});
    EXPECT_EQ(get(std::move(f)), ok({}));
    EXPECT_TRUE(helper->requestHandedOver());
}

// A CANCEL that comes while no request is under way goes out and is not kept: the next request goes through. The
// cancellation a key is bound with ends every request of that binding not yet under way, unsent, also one it trips
// just as that request begins (a touch request, which alone would wait without limit); the next binding starts clean.
TEST_F(HidHelperTransport, ACancelBetweenRequestsEndsTheNextRequestOfTheOperationOnly)
{
    EXPECT_EQ(helper->sendCmd(kCid, CTAPHID::CANCEL, {}), ok({}));
    EXPECT_EQ(readRequest(), H("1122334491 0000"));
    EXPECT_EQ(get(request({H("1122334490 0002 00AA")})), ok(H("00AA")));

    std::stop_source operation;
    helper->setDevice(key, operation.get_token());
    EXPECT_EQ(get(request({H("1122334490 0002 00BB")})), ok(H("00BB")));
    helper->setRequestStartHook([&](CTAPHID, std::span<const std::uint8_t>) { operation.request_stop(); });
    EXPECT_EQ(helper->sendCmd(kCid, CTAPHID::CBOR, H("07"), true), (Response{{}, kIOReturnAborted}));
    helper->setRequestStartHook({});
    EXPECT_FALSE(helper->requestHandedOver());
    EXPECT_EQ(helper->sendCmd(kCid, CTAPHID::CBOR, H("04")), (Response{{}, kIOReturnAborted}));
    EXPECT_TRUE(prompts.calls().empty());

    helper->setDevice(key, std::stop_source().get_token());
    // The key reads this request next: the ones cancelled never went out.
    EXPECT_EQ(get(request({H("1122334490 0002 00CC")})), ok(H("00CC")));
}

// The cancellation a key is bound with ends the request under way as a CANCEL does: the CANCEL follows the request and
// the key's answer to it ends it. cancelTouchWait ends a request only once the key asked for a touch in it.
TEST_F(HidHelperTransport, TheOperationsCancelEndsItsRequestUnderWayAndATouchWaitAloneOtherwise)
{
    std::stop_source operation;
    helper->setDevice(key, operation.get_token());
    auto f = request({kProcessing}, "1122334490 0001", H("04"), true);
    operation.request_stop();
    EXPECT_EQ(readRequest(), H("1122334491 0000"));
    send({H("1122334490 0001 2D")});
    EXPECT_EQ(get(std::move(f)), ok(H("2D")));

    helper->setDevice(key);
    f = request({kProcessing}, "1122334490 0001", H("04"), true);
    helper->cancelTouchWait();
    send({H("1122334490 0002 00AA")});
    EXPECT_EQ(get(std::move(f)), ok(H("00AA")));
    f = touchRequest(); // the key reads this request next: no CANCEL went out before it
    helper->cancelTouchWait();
    EXPECT_EQ(readRequest(), H("1122334491 0000"));
    send({H("1122334490 0001 2D")});
    EXPECT_EQ(get(std::move(f)), ok(H("2D")));
}

TEST_F(HidHelperTransport, CancelReachesTheKeyAfterTheWholeRequestWhichEndsOnTheKeysAnswerAndQuittingEndsAWait)
{
    // Room for a few reports only, so a long request is still being written when the cancel comes.
    const int smallest = 1;
    ASSERT_EQ(::setsockopt(key->fd(), SOL_SOCKET, SO_SNDBUF, &smallest, sizeof smallest), 0);
    const Bytes longest = pattern(7609, 1);
    // A cancel while the key waits for a touch, while a long request is still going out, and one the key never answers.
    for (const auto& [goingOut, answered] : {std::pair{false, true}, std::pair{true, true}, std::pair{false, false}}) {
        auto f = goingOut
                     ? std::async(std::launch::async, [&] { return helper->sendCmd(kCid, CTAPHID::CBOR, longest); })
                     : touchRequest();
        pollfd p{peer, POLLIN, 0};
        ASSERT_TRUE(!goingOut || ::poll(&p, 1, 3000) == 1);
        EXPECT_EQ(helper->sendCmd(kCid, CTAPHID::CANCEL, {}), ok({}));
        EXPECT_TRUE(!goingOut || readRequest() == H("1122334490 1DB9" + X(longest)));
        EXPECT_EQ(readRequest(), H("1122334491 0000"));
        if (answered)
            send({H("1122334490 0001 2D")});
        EXPECT_EQ(get(std::move(f)), (answered ? ok(H("2D")) : Response{{}, kIOReturnAborted})) << goingOut;
    }
    auto f = touchRequest();
    helper->stopUsb();
    EXPECT_EQ(get(std::move(f)).second, kIOReturnAborted);
    EXPECT_EQ(helper->sendCmd(kCid, CTAPHID::CBOR, H("04")).second, kIOReturnAborted);
}

TEST_F(HidHelperTransport, EachMatchingKeyIsReportedOnceAsItsOwnObjectAndOnlyTheBoundKeysRemovalEndsItsRequest)
{
    // A release with no request under way leaves nothing behind for the next one.
    helper->releaseWaiter(key);
    // Written on the HID thread, a removal notification as an empty entry; read here once `told` says all came.
    std::vector<std::pair<std::shared_ptr<HidDevice>, bool>> seen;
    std::atomic<std::size_t> told{0};
    const auto token = NotificationCenter::defaultCenter().addObserver(
        "deviceDisconnected", [&](const std::string&, const NotificationCenter::UserInfo& info) {
            EXPECT_EQ(info, (NotificationCenter::UserInfo{{"class", "HidHelper"}}));
            seen.emplace_back();
            ++told;
        });
    helper->setMonitorCallback([&](const std::shared_ptr<HidDevice>& device, bool added) {
        seen.emplace_back(device, added);
        ++told;
    });
    auto f = touchRequest();
    // Another vendor, a keyboard, another usage: ignored; another product of the maker's: reported.
    for (const auto& info : {HidDeviceInfo{"", "", 0x0001, 0x0101, "", "", 0xF1D0, 1},
                             HidDeviceInfo{"", "", 0x1EA8, 0x0101, "", "", 0x0001, 6},
                             HidDeviceInfo{"", "", 0x1EA8, 0x0101, "", "", 0xF1D0, 2}})
        source->unplug(source->plug(info));
    auto a = source->plug(HidDeviceInfo{"", "", 0x1EA8, 0x9999, "Other model", "", 0xF1D0, 1});
    auto b = source->plug();
    source->unplug(b);
    // Arriving again on the same node, a key is reported again.
    auto bAgain = source->plug(b->info());
    source->unplug(a);
    // Events come in order: anything about the keys above is reported before this one's arrival.
    auto marker = source->plug();
    ASSERT_TRUE(eventually([&] { return told == 8; }));
    send({H("1122334490 0001 DD")});
    EXPECT_EQ(get(std::move(f)), ok(H("DD")));
    EXPECT_EQ(seen,
              (decltype(seen){{a, true}, {b, true}, {b, false}, {}, {bAgain, true}, {a, false}, {}, {marker, true}}));
    NotificationCenter::defaultCenter().removeObserver(token);
    helper->setMonitorCallback({});
    // Arrivals reported to a monitor callback left the binding alone; the bound key stays bound after leaving.
    f = touchRequest();
    source->unplug(key);
    EXPECT_EQ(get(std::move(f)), (Response{{}, kIOReturnNoDevice}));
    EXPECT_EQ(helper->device(), key);
    EXPECT_EQ(helper->sendCmd(1, CTAPHID::CBOR, H("04")).second, kIOReturnNoDevice);
    EXPECT_EQ(log.count("sendCmd: failed, error = " + std::to_string(static_cast<std::int32_t>(kIOReturnNoDevice))), 1);
}

TEST_F(HidHelperTransport, TouchPromptNeverStaysUpAfterAWaitAndAQuitEndsTheArrivalPause)
{
    helper->stopUsb();
    HidHelper fast(source, {.answerTimeout = 15ms, .arrivalPause = std::chrono::hours(1)});
    fast.setWaitUserInputAction(prompts.action());
    fast.setDevice(key);
    fast.initUsb();
    // Keepalives race with the end of each wait: the prompt's calls must still alternate and end lowered.
    for (int i = 0; i < 30; ++i) {
        auto f = std::async(std::launch::async, [&] { return fast.sendCmd(kCid, CTAPHID::CBOR, H("04")); });
        while (f.wait_for(200us) == std::future_status::timeout)
            send({kUpNeeded});
        EXPECT_FALSE(fast.waitUserInput());
    }
    const auto calls = prompts.calls();
    ASSERT_FALSE(calls.empty());
    for (std::size_t i = 0; i < calls.size(); ++i)
        EXPECT_EQ(calls[i], i % 2 == 0) << "call " << i;
    // The HID thread pauses after an arrival; a quit does not wait an hour for it.
    fast.setMonitorCallback([](const std::shared_ptr<HidDevice>&, bool) {});
    source->plug();
    auto stopped = std::async(std::launch::async, [&] { fast.stopUsb(); });
    EXPECT_EQ(stopped.wait_for(10s), std::future_status::ready);
}

// Repeated UPNEEDED keepalives raise the touch prompt once, each logged; it comes down when the wait ends, however it
// ends.
TEST_F(HidHelperTransport, TouchPromptRisesOnceAndFallsWhenTheWaitEnds)
{
    const std::tuple<const char*, std::function<void()>, Response> ends[] = {
        {"the answer", [&] { send({H("1122334490 0001 00")}); }, ok(H("00"))},
        {"a cancel",
         [&] {
             EXPECT_EQ(helper->sendCmd(kCid, CTAPHID::CANCEL, {}), ok({}));
             EXPECT_EQ(readRequest(), H("1122334491 0000"));
             send({H("1122334490 0001 2D")});
         },
         ok(H("2D"))},
        {"the key's removal", [&] { source->unplug(key); }, Response{{}, kIOReturnNoDevice}},
    };
    std::vector<bool> calls;
    for (const auto& [what, end, response] : ends) {
        SCOPED_TRACE(what);
        log.clear();
        auto f = touchRequest();
        send({kUpNeeded, kUpNeeded});
        end();
        EXPECT_EQ(get(std::move(f)), response);
        EXPECT_FALSE(helper->waitUserInput());
        calls.insert(calls.end(), {true, false});
        EXPECT_EQ(prompts.calls(), calls);
        EXPECT_EQ(log.count("ReceiveResponse: Waiting for user response"), 3);
    }
}
