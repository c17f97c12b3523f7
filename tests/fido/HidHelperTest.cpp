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
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using Response = HidHelper::Response;

namespace
{

constexpr std::uint32_t kCid = 0x11223344;
const Bytes kUpNeeded = H("11223344BB 0001 02"), kProcessing = H("11223344BB 0001 01");

Bytes pattern(std::size_t n, std::uint8_t seed = 0)
{
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i)
        b[i] = static_cast<std::uint8_t>(seed + i * 7 + i / 251);
    return b;
}

// A report: its header in hex, then the payload.
Bytes report(const std::string& header, std::span<const std::uint8_t> payload)
{
    Bytes r = H(header);
    r.insert(r.end(), payload.begin(), payload.end());
    return r;
}

std::uint32_t cidOf(const Bytes& r)
{
    return (std::uint32_t{r[0]} << 24) | (std::uint32_t{r[1]} << 16) | (std::uint32_t{r[2]} << 8) | r[3];
}

// The key's side of a socket-pair key, scripted by a test: it reads the host's output reports and sends whatever
// input reports it is given, well-formed or not.
struct ScriptedKey {
    struct Request {
        std::uint32_t cid;
        std::uint8_t cmd; // without the initialisation bit
        Bytes data;
    };

    // The next output report without its report ID, or nothing within 3 s; the host writes nothing but report ID 0
    // and 64 bytes.
    std::optional<Bytes> readReport() const
    {
        pollfd p{fd, POLLIN, 0};
        std::uint8_t buffer[128];
        const ssize_t n = ::poll(&p, 1, 3000) > 0 ? ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT) : 0;
        EXPECT_TRUE(n == 65 && buffer[0] == 0) << "output datagram of " << n << " bytes";
        return n == 65 ? std::optional(Bytes(buffer + 1, buffer + 65)) : std::nullopt;
    }

    // One whole request; its continuation packets must follow on its channel, in sequence.
    std::optional<Request> readRequest() const
    {
        auto r = readReport();
        if (!r || !((*r)[4] & 0x80))
            return std::nullopt;
        Request request{cidOf(*r), static_cast<std::uint8_t>((*r)[4] & 0x7F), Bytes(r->begin() + 7, r->end())};
        const std::size_t length = static_cast<std::size_t>(((*r)[5] << 8) | (*r)[6]);
        for (std::uint8_t seq = 0; request.data.size() < length; ++seq) {
            if (!(r = readReport()) || cidOf(*r) != request.cid || (*r)[4] != seq)
                return std::nullopt;
            request.data.insert(request.data.end(), r->begin() + 5, r->end());
        }
        request.data.resize(length);
        return request;
    }

    // Input reports, each padded to 64 bytes as a key pads them.
    void send(const std::vector<Bytes>& reports) const
    {
        for (Bytes r : reports) {
            r.resize(std::max<std::size_t>(r.size(), 64), 0);
            ASSERT_EQ(::send(fd, r.data(), r.size(), MSG_NOSIGNAL), static_cast<ssize_t>(r.size()));
        }
    }

    int fd;
};

// A transport bound to one socket-pair key, with short waits.
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

    std::future<Response> sendAsync(Bytes data, CTAPHID cmd = CTAPHID::CBOR, std::uint32_t cid = kCid)
    {
        return std::async(std::launch::async, [=, this] { return helper->sendCmd(cid, cmd, data); });
    }

    static Response get(std::future<Response>& f)
    {
        if (f.wait_for(5s) == std::future_status::ready)
            return f.get();
        ADD_FAILURE() << "sendCmd did not return";
        return {{}, kIOReturnNotPermitted};
    }

    HidHelper::Timing timing{.answerTimeout = 250ms, .silenceTimeout = 400ms, .arrivalPause = 10ms};
    std::shared_ptr<SocketPairHidSource> source = std::make_shared<SocketPairHidSource>();
    std::unique_ptr<HidHelper> helper = std::make_unique<HidHelper>(source, timing);
    std::shared_ptr<HidDevice> key = source->plug();
    ScriptedKey peer{source->peerFd(key)};
    PromptLog prompts;
    LogCapture log;
};

} // namespace

TEST(HidHelperReassembly, MalformedAndErrorReportsEndTheMessageInErrorWithoutReadingPastThem)
{
    for (const Bytes& r : {Bytes{}, H("11223344"), H("1122334490 00"), H("11223344BB 0001"), H("11223344BB 0001 07"),
                           H("11223344BF 0001 06"), report("1122334490 1DBA", pattern(57))}) {
        HidHelper::ReceiveState state{};
        HidHelper::ReceiveVariables rv;
        HidHelper::prepareReceive(state, rv, kCid);
        HidHelper::ReceiveResponse(state, rv, CTAPHID::CBOR, r);
        EXPECT_EQ(state, HidHelper::ReceiveState::done) << X(r);
        EXPECT_EQ(rv.result, kIOReturnError) << X(r);
        EXPECT_EQ(rv.count, 0) << X(r);
    }
}

TEST_F(HidHelperTransport, EachRequestTakesOnlyItsOwnWholeAnswerAndWhatTheKeyGetsWrongEndsTheWait)
{
    // Refused requests send nothing: the first report the key reads is the first exchange's request.
    EXPECT_EQ(helper->sendCmd(kCid, CTAPHID::CBOR, pattern(7610)), (Response{{}, kIOReturnOverrun}));
    EXPECT_EQ(helper->sendReport(Bytes(65, 0)), kIOReturnOverrun);
    helper->setDevice(nullptr);
    EXPECT_EQ(helper->sendCmd(kCid, CTAPHID::CBOR, H("04")), (Response{{}, kIOReturnNoDevice}));
    EXPECT_EQ(helper->sendReport(H("00")), kIOReturnError);
    EXPECT_EQ(helper->getProductName(), "");
    helper->setDevice(key);
    EXPECT_EQ(log.lines(), std::vector<std::string>{"output data too large for USB report"});

    struct Exchange {
        const char* what;
        std::vector<Bytes> before = {}; // sent before the request
        std::vector<Bytes> after;       // sent once the key has read it; the last one again every 20 ms for `repeat`
        Response expected;
        std::vector<std::string> log = {};
        std::vector<bool> prompts = {};
        std::chrono::milliseconds repeat{0};
        std::vector<Bytes> last = {}; // sent after the repeats
        Bytes data = H("04");
        CTAPHID cmd = CTAPHID::CBOR;
        std::uint32_t cid = kCid;
    };
    const Bytes longest = pattern(7609, 3), first = pattern(57, 4), data = pattern(100, 9);
    const std::string waiting = "ReceiveResponse: Waiting for user response", timeout = "receiveResponse: timeout";
    const Exchange exchanges[] = {
        {"reports the key queued before it was first read",
         {H("1122334490 0002 00EE")},
         {H("1122334490 0002 00BB")},
         {H("00BB"), kIOReturnSuccess}},
        {.what = "an empty answer",
         .after = {H("1122334488 0000")},
         .expected = {{}, kIOReturnSuccess},
         .data = {},
         .cmd = CTAPHID::WINK},
        {.what = "the longest message both ways",
         .after = HidHelper::makePackets(kCid, CTAPHID::PING, longest).packets,
         .expected = {longest, kIOReturnSuccess},
         .data = longest,
         .cmd = CTAPHID::PING},
        {.what = "a broadcast request's answer on the new channel",
         .after = {H("CAFE000186 0011 0102030405060708 CAFE0001 0205 0207 0D")},
         .expected = {H("0102030405060708 CAFE0001 0205 0207 0D"), kIOReturnSuccess},
         .data = H("0102030405060708"),
         .cmd = CTAPHID::INIT,
         .cid = HidHelper::kBroadcastCid},
        {"stray packets around the answer",
         {},
         {H("5566778890 0002 00FF"),                    // another channel
          H("1122334483 0002 6985"),                    // another command
          report("1122334400", pattern(59, 0xEE)),      // a continuation before any initialisation
          report("1122334490 012C", pattern(57, 0x55)), // a start given up...
          report("1122334400", pattern(59, 0x66)),      // ...after 116 bytes
          report("1122334490 0064", std::span(data).first(57)),
          report("1122334401", pattern(59, 0x77)), // out of sequence
          kProcessing, report("1122334400", std::span(data).subspan(57))},
         {data, kIOReturnSuccess}},
        {"an ERROR reply", {}, {H("11223344BF 0001 06")}, {{}, kIOReturnSuccess}},
        {"a keepalive of unknown status", {}, {H("11223344BB 0001 07")}, {{}, kIOReturnSuccess}, {"Unknown status"}},
        {"an ERROR reply in the middle of the answer",
         {},
         {report("1122334490 00C8", first), H("11223344BF 0001 7F")},
         {first, kIOReturnSuccess}},
        {"a touch request outlasting both limits while keepalives come",
         {},
         {kUpNeeded, kUpNeeded, kProcessing},
         {H("00"), kIOReturnSuccess},
         {waiting, waiting},
         {true, false},
         700ms,
         {H("1122334490 0001 00")},
         H("01")},
        {"silence after asking for a touch", {}, {kUpNeeded}, {{}, kIOReturnError}, {waiting}, {true, false}},
        {"a touch request's silence",
         {},
         {kUpNeeded},
         {{}, kIOReturnTimeout},
         {waiting},
         {true, false},
         0ms,
         {},
         H("01")},
        {"PROCESSING keepalives past the answer limit", {}, {kProcessing}, {{}, kIOReturnError}, {timeout}, {}, 5s},
        {"the answer to the request given up",
         {H("1122334490 0002 00AA")},
         {H("1122334490 0002 00BB")},
         {H("00BB"), kIOReturnSuccess}},
    };
    for (const Exchange& c : exchanges) {
        SCOPED_TRACE(c.what);
        log.clear();
        const std::size_t promptCalls = prompts.calls().size();
        // 01 (makeCredential) stands for the requests that wait for a touch.
        helper->setWaitForever(c.data == H("01"));
        peer.send(c.before);
        auto f = sendAsync(c.data, c.cmd, c.cid);
        auto request = peer.readRequest();
        ASSERT_TRUE(request);
        EXPECT_TRUE(request->cid == c.cid && request->cmd == rawValue(c.cmd) && request->data == c.data);
        peer.send(c.after);
        for (auto end = std::chrono::steady_clock::now() + c.repeat;
             std::chrono::steady_clock::now() < end && f.wait_for(20ms) == std::future_status::timeout;)
            peer.send({c.after.back()});
        peer.send(c.last);
        EXPECT_EQ(get(f), c.expected);
        EXPECT_EQ(log.lines(), c.log);
        const auto calls = prompts.calls();
        EXPECT_EQ(std::vector<bool>(calls.begin() + static_cast<long>(promptCalls), calls.end()), c.prompts);
    }
}

TEST_F(HidHelperTransport, CancelAndRemovalEndARequestUnderWayButNoOtherKeysRemovalOrAnEarlierRelease)
{
    std::atomic<int> removals{0};
    helper->setMonitorCallback([&](const std::shared_ptr<HidDevice>&, bool added) { removals += added ? 0 : 1; });
    // The key reads the cancel after the rest of the request, even when it was still going out as the cancel came.
    const auto cancel = [&](int reportsLeft) {
        return [&, reportsLeft] {
            EXPECT_EQ(helper->sendCmd(kCid, CTAPHID::CANCEL, {}), (Response{{}, kIOReturnSuccess}));
            std::optional<Bytes> r;
            int before = 0;
            while ((r = peer.readReport()) && (*r)[4] != 0x91)
                ++before;
            EXPECT_TRUE(r && cidOf(*r) == kCid && before == reportsLeft) << before;
        };
    };
    struct During {
        const char* what;
        std::size_t length;
        std::function<void()> action;
        std::optional<Bytes> keyAnswer;
        Response expected;
    };
    const During cases[] = {
        {"a cancel", 1, cancel(0), H("2D"), {H("2D"), kIOReturnSuccess}},
        {"a cancel while the request is still going out", 7609, cancel(128), H("2D"), {H("2D"), kIOReturnSuccess}},
        {"a cancel the key never answers", 1, cancel(0), std::nullopt, {{}, kIOReturnAborted}},
        {"another key leaving",
         1,
         [&] {
             source->unplug(source->plug());
             ASSERT_TRUE(eventually([&] { return removals == 1; }));
         },
         H("DD"),
         {H("DD"), kIOReturnSuccess}},
        {"the key leaving", 1, [&] { source->unplug(key); }, std::nullopt, {{}, kIOReturnNoDevice}},
    };
    // Room for a few reports only, so a long request is still being written when the cancel comes.
    const int smallest = 1;
    ASSERT_EQ(::setsockopt(key->fd(), SOL_SOCKET, SO_SNDBUF, &smallest, sizeof smallest), 0);
    // A release with no request under way leaves nothing behind for the next one.
    helper->releaseWaiter(key);
    for (const During& c : cases) {
        SCOPED_TRACE(c.what);
        helper->setWaitForever(true);
        Bytes data = pattern(c.length);
        data[0] = 0x01;
        auto f = sendAsync(data);
        if (c.length > 1) {
            ASSERT_TRUE(peer.readReport());
        } else {
            ASSERT_TRUE(peer.readRequest());
            peer.send({kUpNeeded});
            ASSERT_TRUE(eventually([&] { return helper->waitUserInput(); }));
        }
        c.action();
        if (c.keyAnswer)
            peer.send({report("1122334490 0001", *c.keyAnswer)});
        EXPECT_EQ(get(f), c.expected);
        EXPECT_FALSE(helper->waitUserInput());
    }
    // The key stays bound after leaving; writing to it fails as a missing device.
    EXPECT_EQ(helper->device(), key);
    EXPECT_EQ(helper->sendCmd(kCid, CTAPHID::CBOR, H("04")).second, kIOReturnNoDevice);
    EXPECT_TRUE(
        log.contains("sendCmd: failed, error = " + std::to_string(static_cast<std::int32_t>(kIOReturnNoDevice))));
}

TEST_F(HidHelperTransport, TouchPromptNeverStaysUpAfterAWait)
{
    // Keepalives race with the end of each wait: the prompt's calls must still alternate and end lowered.
    helper->stopUsb();
    timing.answerTimeout = 15ms;
    HidHelper fast(source, timing);
    fast.setWaitUserInputAction(prompts.action());
    fast.setDevice(key);
    fast.initUsb();
    std::atomic<bool> done{false};
    std::thread spammer([&] {
        Bytes keepalive = kUpNeeded;
        keepalive.resize(64);
        for (std::uint8_t sink[128]; !done; std::this_thread::sleep_for(200us)) {
            ::send(peer.fd, keepalive.data(), keepalive.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
            while (::recv(peer.fd, sink, sizeof sink, MSG_DONTWAIT) > 0) {
            }
        }
    });
    for (int i = 0; i < 30; ++i) {
        fast.sendCmd(kCid, CTAPHID::CBOR, H("04"));
        EXPECT_FALSE(fast.waitUserInput());
    }
    done = true;
    spammer.join();
    auto calls = prompts.calls();
    ASSERT_FALSE(calls.empty());
    for (std::size_t i = 0; i < calls.size(); ++i)
        EXPECT_EQ(calls[i], i % 2 == 0) << "call " << i;
}

TEST_F(HidHelperTransport, StoppingEndsAWaitAndLaterRequests)
{
    helper->setWaitForever(true);
    auto f = sendAsync(H("01"));
    ASSERT_TRUE(peer.readRequest());
    helper->stopUsb();
    EXPECT_EQ(get(f).second, kIOReturnAborted);
    EXPECT_EQ(helper->sendCmd(kCid, CTAPHID::CBOR, H("04")).second, kIOReturnAborted);
}

TEST(HidHelperDiscovery, AttachedKeysComeFirstThenArrivalsAndRemovalsOfMatchingKeysOnlyEachAsItsOwnObject)
{
    auto source = std::make_shared<SocketPairHidSource>();
    HidHelper helper(source, {.arrivalPause = 10ms});
    std::mutex mutex;
    std::vector<std::pair<std::shared_ptr<HidDevice>, bool>> seen;
    int notices = 0;
    const auto token = NotificationCenter::defaultCenter().addObserver(
        "deviceDisconnected", [&](const std::string&, const NotificationCenter::UserInfo& info) {
            EXPECT_EQ(info, (NotificationCenter::UserInfo{{"class", "HidHelper"}}));
            std::lock_guard lock(mutex);
            ++notices;
        });
    helper.setMonitorCallback([&](const std::shared_ptr<HidDevice>& device, bool added) {
        std::lock_guard lock(mutex);
        seen.emplace_back(device, added);
    });
    const auto seenCount = [&](std::size_t n) {
        return eventually([&] {
            std::lock_guard lock(mutex);
            return seen.size() == n;
        });
    };
    const HidDeviceInfo onNode7 = SocketPairHidSource::makerKey("KWO FIDO", "/sys/devices/test/hidraw7");
    auto a = source->plug();
    auto b = source->plug(onNode7);
    helper.initUsb();
    ASSERT_TRUE(seenCount(2));
    HidDeviceInfo foreignVendor = SocketPairHidSource::makerKey(), notFido = foreignVendor, otherUsage = notFido;
    HidDeviceInfo anyProduct = SocketPairHidSource::makerKey("Other model");
    foreignVendor.vendorId = 0x0001;
    notFido.primaryUsagePage = 0x0001;
    otherUsage.primaryUsage = 2;
    anyProduct.productId = 0x9999;
    for (const auto& info : {foreignVendor, notFido, otherUsage})
        source->unplug(source->plug(info));
    auto c = source->plug(anyProduct);
    source->unplug(b);
    auto bAgain = source->plug(onNode7);
    source->unplug(c);
    // Events come in order: anything about the keys above is reported before this one's arrival.
    auto marker = source->plug();
    ASSERT_TRUE(seenCount(7));
    helper.stopUsb();
    NotificationCenter::defaultCenter().removeObserver(token);
    EXPECT_EQ(seen, (decltype(seen){
                        {a, true}, {b, true}, {c, true}, {b, false}, {bAgain, true}, {c, false}, {marker, true}}));
    EXPECT_NE(b, bAgain);
    EXPECT_EQ(notices, 2);
    // With a monitor callback, binding is left to the receiver.
    EXPECT_EQ(helper.device(), nullptr);
}

TEST(HidHelperDiscovery, StopEndsThePauseAndJoinsTheThread)
{
    auto source = std::make_shared<SocketPairHidSource>();
    HidHelper helper(source, {.arrivalPause = std::chrono::hours(1)});
    helper.setMonitorCallback([](const std::shared_ptr<HidDevice>&, bool) {});
    source->plug();
    helper.initUsb();
    auto stopped = std::async(std::launch::async, [&] { helper.stopUsb(); });
    // A stop that waited for the pause would not return for an hour.
    EXPECT_EQ(stopped.wait_for(10s), std::future_status::ready);
}
