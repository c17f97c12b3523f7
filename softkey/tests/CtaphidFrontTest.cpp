#include "softkey/CtaphidFront.h"
#include "softkey/tests/SoftUsbKey.h"
#include "softkey/tests/TestCtapClient.h"

#include "TestHex.h"
#include "support/Eventually.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

namespace {

using namespace std::chrono_literals;
using Fault = CtaphidFront::Fault;

constexpr std::uint32_t kBroadcast = 0xFFFFFFFF;

std::uint32_t be32(std::span<const std::uint8_t> b)
{
    return static_cast<std::uint32_t>(b[0]) << 24 | static_cast<std::uint32_t>(b[1]) << 16 |
           static_cast<std::uint32_t>(b[2]) << 8 | static_cast<std::uint32_t>(b[3]);
}

// The host's side of the socket pair, written for these tests: frames requests as hidraw writes them and
// reads the key's reports one by one.
class Host {
public:
    explicit Host(int fd) : fd_(fd) {}

    struct Message {
        std::uint32_t cid = 0;
        std::uint8_t cmd = 0;
        Bytes payload;
        std::vector<std::uint8_t> keepalives; // statuses seen before the message
    };

    static Bytes initPacket(std::uint32_t cid, std::uint8_t cmd, std::size_t length, std::span<const std::uint8_t> data)
    {
        Bytes p{static_cast<std::uint8_t>(cid >> 24), static_cast<std::uint8_t>(cid >> 16),
                static_cast<std::uint8_t>(cid >> 8), static_cast<std::uint8_t>(cid),
                static_cast<std::uint8_t>(cmd | 0x80), static_cast<std::uint8_t>(length >> 8),
                static_cast<std::uint8_t>(length & 0xFF)};
        p.insert(p.end(), data.begin(), data.begin() + static_cast<std::ptrdiff_t>(std::min<std::size_t>(57, data.size())));
        p.resize(64, 0);
        return p;
    }
    static Bytes contPacket(std::uint32_t cid, std::uint8_t seq, std::span<const std::uint8_t> data)
    {
        Bytes p{static_cast<std::uint8_t>(cid >> 24), static_cast<std::uint8_t>(cid >> 16),
                static_cast<std::uint8_t>(cid >> 8), static_cast<std::uint8_t>(cid), seq};
        p.insert(p.end(), data.begin(), data.begin() + static_cast<std::ptrdiff_t>(std::min<std::size_t>(59, data.size())));
        p.resize(64, 0);
        return p;
    }

    void writeReport(const Bytes& report, bool withReportId = true)
    {
        Bytes d;
        if (withReportId)
            d.push_back(0);
        d.insert(d.end(), report.begin(), report.end());
        ASSERT_EQ(::send(fd_, d.data(), d.size(), MSG_NOSIGNAL), static_cast<ssize_t>(d.size()));
    }
    void write(std::uint32_t cid, std::uint8_t cmd, std::span<const std::uint8_t> data, bool withReportId = true)
    {
        writeReport(initPacket(cid, cmd, data.size(), data), withReportId);
        std::size_t pos = std::min<std::size_t>(57, data.size());
        for (std::uint8_t seq = 0; pos < data.size(); ++seq, pos += 59)
            writeReport(contPacket(cid, seq, data.subspan(pos)), withReportId);
    }

    // One datagram from the key; empty optional on time-out; an empty report when the key hung up.
    std::optional<Bytes> readReport(std::chrono::milliseconds timeout)
    {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(timeout.count())) <= 0)
            return std::nullopt;
        std::uint8_t buf[128];
        const ssize_t n = ::recv(fd_, buf, sizeof buf, MSG_DONTWAIT);
        if (n <= 0)
            return Bytes{};
        return Bytes(buf, buf + n);
    }

    std::optional<Message> read(std::chrono::milliseconds timeout = 2000ms)
    {
        Message m;
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        std::size_t expected = 0;
        bool started = false;
        std::uint8_t seq = 0;
        while (std::chrono::steady_clock::now() < deadline) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            auto r = readReport(left);
            if (!r || r->empty())
                return std::nullopt;
            EXPECT_EQ(r->size(), 64u) << "input reports are 64 bytes";
            const Bytes& p = *r;
            const std::uint32_t cid = be32(p);
            if (!started) {
                if (p[4] == (0x3B | 0x80)) {
                    m.keepalives.push_back(p[7]);
                    continue;
                }
                EXPECT_TRUE(p[4] & 0x80);
                m.cid = cid;
                m.cmd = p[4] & 0x7F;
                expected = static_cast<std::size_t>(p[5]) << 8 | p[6];
                m.payload.assign(p.begin() + 7, p.begin() + 7 + static_cast<std::ptrdiff_t>(std::min<std::size_t>(57, expected)));
                started = true;
            } else {
                EXPECT_EQ(cid, m.cid);
                EXPECT_EQ(p[4], seq++);
                m.payload.insert(m.payload.end(), p.begin() + 5,
                                 p.begin() + 5 + static_cast<std::ptrdiff_t>(std::min<std::size_t>(59, expected - m.payload.size())));
            }
            if (m.payload.size() >= expected)
                return m;
        }
        return std::nullopt;
    }

    std::uint32_t init(const Bytes& nonce = H("0102030405060708"))
    {
        write(kBroadcast, 0x06, nonce);
        auto m = read();
        if (!m || m->payload.size() != 17)
            return 0;
        return be32(std::span(m->payload).subspan(8));
    }

    Bytes cbor(std::uint32_t cid, const Bytes& request)
    {
        write(cid, 0x10, request);
        auto m = read(5000ms);
        return m && m->cmd == 0x10 ? m->payload : Bytes{};
    }

    // The key's end hung up: a read sees the end instead of a report.
    bool hungUp()
    {
        auto r = readReport(2000ms);
        return r && r->empty();
    }

private:
    int fd_;
};

struct Usb {
    explicit Usb(CtaphidFront::Options options = {}) : key({}, options), host(key.hostFd()) {}
    SoftUsbKey key;
    Host host;
};

// The next message on the host side is an ERROR on this channel with this code.
void expectError(Usb& u, std::uint32_t toCid, std::uint8_t code)
{
    auto m = u.host.read();
    ASSERT_TRUE(m);
    EXPECT_EQ(m->cid, toCid);
    EXPECT_EQ(m->cmd, 0x3F);
    EXPECT_EQ(X(m->payload), X(Bytes{code}));
}

} // namespace

TEST(CtaphidFront, InitOpensChannelsPingAndWinkAnswer)
{
    Usb u;
    ASSERT_TRUE(u.key.valid());
    u.host.write(kBroadcast, 0x06, H("1122334455667788"));
    auto m = u.host.read();
    ASSERT_TRUE(m);
    EXPECT_EQ(m->cid, kBroadcast);
    EXPECT_EQ(m->cmd, 0x06);
    ASSERT_EQ(m->payload.size(), 17u);
    EXPECT_EQ(X(std::span(m->payload).first(8)), "1122334455667788");
    EXPECT_EQ(X(std::span(m->payload).subspan(12)), "020504030D");
    const std::uint32_t cid = be32(std::span(m->payload).subspan(8));
    const std::uint32_t second = u.host.init();
    EXPECT_NE(second, cid);
    EXPECT_EQ(u.key.front().channels(), (std::vector<std::uint32_t>{cid, second}));

    // INIT on an open channel resynchronises it and keeps it.
    u.host.write(cid, 0x06, H("0807060504030201"));
    m = u.host.read();
    ASSERT_TRUE(m);
    EXPECT_EQ(m->cid, cid);
    EXPECT_EQ(be32(std::span(m->payload).subspan(8)), cid);

    // Multi-packet PING both ways, with and without the report ID byte.
    Bytes data(300);
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<std::uint8_t>(i);
    for (bool reportId : {true, false}) {
        u.host.write(cid, 0x01, data, reportId);
        m = u.host.read();
        ASSERT_TRUE(m);
        EXPECT_EQ(m->cmd, 0x01);
        EXPECT_EQ(m->payload, data);
    }
    u.host.write(cid, 0x08, {});
    m = u.host.read();
    ASSERT_TRUE(m);
    EXPECT_EQ(m->cmd, 0x08);
    EXPECT_TRUE(m->payload.empty());
    u.host.write(cid, 0x03, H("00010000"));
    m = u.host.read();
    EXPECT_EQ(X(m->payload), "01");
    EXPECT_EQ(m->cmd, 0x3F);
    u.host.write(cid, 0x04, H("0B"));
    EXPECT_EQ(X(u.host.read()->payload), "02");
    ASSERT_TRUE(u.key.front().waitForReceived(8, 1s));
    EXPECT_EQ(u.key.front().received()[3].payload, data);
}

TEST(CtaphidFront, RefusesBadChannelsAndLengths)
{
    Usb u;
    const std::uint32_t cid = u.host.init();
    ASSERT_NE(cid, 0u);
    struct Case {
        std::uint32_t cid;
        std::uint8_t cmd;
        Bytes data;
        std::uint8_t error;
    };
    const std::vector<Case> cases = {
        {kBroadcast, 0x10, H("04"), 0x0B},            // only INIT on the broadcast channel
        {0x12345678, 0x10, H("04"), 0x0B},            // a channel never opened
        {0, 0x01, H("00"), 0x0B},                     // the reserved channel
        {kBroadcast, 0x06, H("01020304050607"), 0x03}, // a nonce one byte short
        {cid, 0x10, {}, 0x03},                        // CBOR without a command byte
    };
    for (const Case& c : cases) {
        u.host.write(c.cid, c.cmd, c.data);
        expectError(u, c.cid, c.error);
    }
    u.host.writeReport(Host::initPacket(cid, 0x10, 7610, H("04"))); // longer than one message can be
    expectError(u, cid, 0x03);
    u.host.writeReport(H("FFFFFFFF860008"), false); // a short report is zero-padded: INIT with a zero nonce
    auto m = u.host.read();
    ASSERT_TRUE(m);
    EXPECT_EQ(X(std::span(m->payload).first(8)), "0000000000000000");
}

TEST(CtaphidFront, BrokenHostSequencesGetErrors)
{
    CtaphidFront::Options options;
    options.continuationTimeout = 100ms;
    Usb u(options);
    const std::uint32_t a = u.host.init();
    const std::uint32_t b = u.host.init();
    const Bytes data(100, 0xAB);

    // Wrong sequence number.
    u.host.writeReport(Host::initPacket(a, 0x01, data.size(), data));
    u.host.writeReport(Host::contPacket(a, 1, std::span(data).subspan(57)));
    expectError(u, a, 0x04);
    // A stray continuation is ignored; a new message in mid-sequence is an error.
    u.host.writeReport(Host::contPacket(a, 0, data));
    u.host.writeReport(Host::initPacket(a, 0x01, data.size(), data));
    u.host.writeReport(Host::initPacket(a, 0x01, 3, data));
    expectError(u, a, 0x04);
    // Another channel while one is in mid-message waits its turn; the first still completes.
    u.host.writeReport(Host::initPacket(a, 0x01, data.size(), data));
    u.host.writeReport(Host::initPacket(b, 0x01, 2, data));
    expectError(u, b, 0x06);
    u.host.writeReport(Host::contPacket(a, 0, std::span(data).subspan(57)));
    auto m = u.host.read();
    ASSERT_TRUE(m);
    EXPECT_EQ(m->payload, data);
    // A missing continuation times out.
    u.host.writeReport(Host::initPacket(a, 0x01, data.size(), data));
    expectError(u, a, 0x05);
}

TEST(CtaphidFront, KeepalivesTellWhatTheKeyWaitsForAndCancelEndsTheRequest)
{
    // Busy with the request (PROCESSING), or waiting for a touch (UPNEEDED).
    for (const auto& [request, status] : {std::pair{H("04"), std::uint8_t{1}}, std::pair{H("07"), std::uint8_t{2}}}) {
        Usb u;
        const std::uint32_t cid = u.host.init();
        const std::uint32_t other = u.host.init();
        u.key.key().setProcessingDelay(request[0] == 0x04 ? 60s : 0ms);
        u.key.key().setTouch(SoftAuthenticator::Touch::HeldUntilCancel);
        u.host.write(cid, 0x10, request);
        // The key is busy before it asks for a touch: keepalives up to then say PROCESSING.
        std::optional<Bytes> keepalive;
        do {
            keepalive = u.host.readReport(2s);
            ASSERT_TRUE(keepalive && keepalive->size() == 64);
            ASSERT_EQ(be32(*keepalive), cid);
            ASSERT_EQ((*keepalive)[4], 0x3B | 0x80);
        } while ((*keepalive)[7] == 1 && status != 1);
        EXPECT_EQ((*keepalive)[7], status);
        u.host.write(other, 0x01, H("AA")); // the key is busy for everyone else
        expectError(u, other, 0x06);
        u.host.write(other, 0x11, {}); // a CANCEL from another channel is not ours
        u.host.write(cid, 0x11, {});
        auto m = u.host.read();
        ASSERT_TRUE(m);
        EXPECT_EQ(m->cid, cid);
        EXPECT_EQ(m->cmd, 0x10);
        EXPECT_EQ(X(m->payload), "2D");
    }
}

TEST(CtaphidFront, PinProtocolRunsOverMultiPacketMessages)
{
    Usb u;
    const std::uint32_t cid = u.host.init();
    TestCtapClient client([&](const Bytes& r) { return u.host.cbor(cid, r); }, 2);
    EXPECT_EQ(client.setPin("123456"), 0);
    const auto [st, token] = client.token("123456", 4);
    EXPECT_EQ(st, 0);
    EXPECT_EQ(token.size(), 32u);
    EXPECT_TRUE(u.key.key().hasPin());
    ASSERT_GE(u.key.key().requestLog().size(), 4u);
    EXPECT_GT(u.key.key().requestLog()[1].request.size(), 57u) << "setPIN spans several packets";
}

namespace {

// One injected fault on the answer to a PING of 100 bytes 5C, and what the host reads after it on the first
// channel (4D540001; a foreign copy goes to 4C550100). A step is a request the host sends (">marker": another
// PING, whose answer being next shows that nothing else came before it; ">getInfo") or the start of the next
// report in hex, all of it when it ends in "|" ("|" alone: the key hung up).
struct FaultCase {
    const char* name;
    CtaphidFront::InjectedFault fault;
    std::vector<std::string> steps;
};

const std::string kMarkerAnswer = "4D54000181 0006 4D41524B4552";

const std::vector<FaultCase> kFaultCases = {
    {"Silence", {Fault::Silence}, {">marker", kMarkerAnswer}},
    {"ForeignChannel", {Fault::ForeignChannel}, {"4C55010081 0064 5C", "4C55010000 5C", ">marker", kMarkerAnswer}},
    {"ForeignChannelThenAnswer",
     {Fault::ForeignChannelThenAnswer},
     {"4C55010081 0064", "4C55010000", "4D54000181 0064", "4D54000100"}},
    {"WrongSequence", {Fault::WrongSequence}, {"4D54000181 0064", "4D54000101"}},
    {"ShortReport", {Fault::ShortReport}, {"4D540001|", ">marker", kMarkerAnswer}},
    {"MidMessageInit", {Fault::MidMessageInit, 10}, {"4D54000181 0064", "4D54000181 000A", "4D54000100"}},
    {"LateAnswer", {Fault::LateAnswer}, {">marker", kMarkerAnswer, "4D54000181 0064 5C", "4D54000100 5C"}},
    {"ErrorReply", {Fault::ErrorReply, 0x7F}, {"4D540001BF 0001 7F"}},
    {"BadKeepaliveBeforeACborAnswer",
     {Fault::BadKeepalive, 0, 0x10},
     {"4D54000181 0064", "4D54000100", ">getInfo", "4D540001BB 0001 7F", "4D54000190"}},
    {"HangUp", {Fault::HangUp}, {"|"}},
};

class InjectedFaults : public testing::TestWithParam<FaultCase> {
};

} // namespace

TEST_P(InjectedFaults, ReachTheHost)
{
    Usb u;
    const std::uint32_t cid = u.host.init();
    ASSERT_EQ(cid, 0x4D540001u);
    u.key.front().injectFault(GetParam().fault);
    u.host.write(cid, 0x01, Bytes(100, 0x5C));
    for (const std::string& step : GetParam().steps) {
        if (step == ">marker" || step == ">getInfo") {
            u.host.write(cid, step == ">marker" ? 0x01 : 0x10, H(step == ">marker" ? "4D41524B4552" : "04"));
            continue;
        }
        const bool whole = step.ends_with('|');
        const std::string expected = X(H(whole ? step.substr(0, step.size() - 1) : step));
        auto report = u.host.readReport(2s);
        ASSERT_TRUE(report) << step;
        EXPECT_EQ(whole ? X(*report) : X(*report).substr(0, expected.size()), expected);
    }
    EXPECT_EQ(u.key.front().connected(), GetParam().fault.kind != Fault::HangUp);
}

INSTANTIATE_TEST_SUITE_P(CtaphidFront, InjectedFaults, testing::ValuesIn(kFaultCases),
                         [](const testing::TestParamInfo<FaultCase>& p) { return std::string(p.param.name); });

TEST(CtaphidFront, RemovalEndsAHeldRequestAndClosingTheHostStopsTheKey)
{
    {
        Usb u;
        const std::uint32_t cid = u.host.init();
        u.key.key().setTouch(SoftAuthenticator::Touch::HeldUntilCancel);
        u.host.write(cid, 0x10, H("0B"));
        ASSERT_TRUE(u.key.key().waitForTouchRequest(2s));
        u.key.unplug();
        EXPECT_TRUE(u.host.hungUp());
        EXPECT_FALSE(u.key.key().touchPending());
    }
    SoftUsbKey key;
    ::close(key.releaseHostFd());
    EXPECT_TRUE(eventually([&] { return !key.front().connected(); }));
}
