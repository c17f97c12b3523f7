#include "softkey/CtaphidFront.h"

#include "TestHex.h"
#include "support/Eventually.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <utility>

namespace {

using namespace std::chrono_literals;
using Fault = CtaphidFront::Fault;

// A software USB key on a socket pair; the host's end stays here, and opens channel 4D540001 first.
struct Usb {
    Usb()
    {
        int fds[2] = {-1, -1};
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds), 0);
        host = fds[0];
        front = std::make_unique<CtaphidFront>(key, fds[1]);
        converse({">FFFFFFFF86 0008 0102030405060708", "<FFFFFFFF86 0011 0102030405060708 4D540001"});
    }
    ~Usb() { front.reset(); ::close(host); }

    // A step is a report the host writes, in hex and zero-padded to 64 bytes (">" after report ID 0, "}" without
    // it, "]" as given), or what it reads ("<": the next report starts so; "~": the next one that is not a
    // keepalive, or a keepalive that starts so). A read ending in "|" is the whole report; "|" alone: the key hung
    // up.
    void converse(const std::vector<std::string>& steps) const
    {
        for (const std::string& step : steps) {
            SCOPED_TRACE(step);
            const bool whole = step.ends_with('|');
            Bytes bytes = H(step.substr(1, step.size() - (whole ? 2 : 1)));
            if (step[0] != '<' && step[0] != '~') {
                bytes.resize(step[0] == ']' ? bytes.size() : 64, 0);
                bytes.insert(bytes.begin(), step[0] == '>' ? 1 : 0, 0);
                ASSERT_EQ(::send(host, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
                continue;
            }
            std::optional<Bytes> r;
            for (int skipped = 0; skipped < 30; ++skipped) { // keepalives come every 100 ms
                pollfd p{host, POLLIN, 0};
                std::uint8_t buf[128];
                const ssize_t n = ::poll(&p, 1, 2000) > 0 ? ::recv(host, buf, sizeof buf, MSG_DONTWAIT) : -1;
                r = n < 0 ? std::nullopt : std::optional(Bytes(buf, buf + n));
                if (step[0] != '~' || !r || r->size() != 64 || (*r)[4] != 0xBB || X(*r).starts_with(X(bytes)))
                    break;
            }
            ASSERT_TRUE(r) << "nothing came";
            EXPECT_TRUE(whole || r->size() == 64u) << X(*r);
            EXPECT_EQ(whole ? X(*r) : X(*r).substr(0, 2 * bytes.size()), X(bytes));
        }
    }

    SoftAuthenticator key;
    int host = -1;
    std::unique_ptr<CtaphidFront> front;
};

const std::string kMarker = "4D54000181 0006 4D41524B4552"; // a PING whose answer shows nothing came before it

// The key holds every touch until the host cancels, and takes `processing` over each request.
struct Case {
    const char* name;
    std::vector<std::string> steps;
    std::optional<CtaphidFront::InjectedFault> fault = {}; // on the answer to a PING of 100 bytes, sent first
    std::chrono::milliseconds processing = 0ms;
};

const std::vector<Case> kHostMessages = {
    {"InitOnBroadcastOpensAChannelAndOnAnOpenOneResyncsIt",
     {">FFFFFFFF86 0008 1122334455667788", "<FFFFFFFF86 0011 1122334455667788 4D540002 020504030D",
      ">4D54000186 0008 0807060504030201", "<4D54000186 0011 0807060504030201 4D540001"}},
    {"PingEchoesAcrossPacketsWithOrWithoutReportId",
     {">4D54000181 0040 01", ">4D54000100 02", "<4D54000181 0040 01", "<4D54000100 02", "}4D54000181 0040 03",
      "}4D54000100 04", "<4D54000181 0040 03", "<4D54000100 04", ">4D54000188", "<4D54000188 0000"}},
    {"OnlyInitOnTheBroadcastChannel", {">FFFFFFFF90 0001 04", "<FFFFFFFFBF 0001 0B"}},
    {"ChannelNeverOpened", {">1234567890 0001 04", "<12345678BF 0001 0B"}},
    {"ReservedChannel", {">0000000081 0001", "<00000000BF 0001 0B"}},
    {"NonceOneByteShort", {">FFFFFFFF86 0007", "<FFFFFFFFBF 0001 03"}},
    {"CborWithoutCommandByte", {">4D54000190 0000", "<4D540001BF 0001 03"}},
    {"LongerThanAnyMessage", {">4D54000190 1DBA 04", "<4D540001BF 0001 03"}},
    {"ShortReportIsZeroPadded", {"]FFFFFFFF860008", "<FFFFFFFF86 0011 0000000000000000"}},
    {"WrongSequenceNumber", {">4D54000181 0064", ">4D54000101", "<4D540001BF 0001 04"}},
    {"StrayContinuationIsIgnoredNewMessageMidSequenceIsNot",
     {">4D54000100", ">4D54000181 0064", ">4D54000181 0003", "<4D540001BF 0001 04"}},
    {"AnotherChannelMidMessageIsBusyAndTheFirstCompletes",
     // The continuation follows at once, so the wait for the busy answer never eats into its time limit.
     {">FFFFFFFF86 0008", "<FFFFFFFF86 0011 0000000000000000 4D540002", ">4D54000181 0064 AB", ">4D54000281 0002",
      ">4D54000100 CD", "<4D540002BF 0001 06", "<4D54000181 0064 AB", "<4D54000100 CD"}},
    {"MissingContinuationTimesOut", {">4D54000181 0064", "<4D540001BF 0001 05"}},
    // Keepalives tell what the key waits for; it is busy for everyone else; only a CANCEL on its channel ends it.
    {"ProcessingUntilCancelled",
     {">4D54000190 0001 04", "<4D540001BB 0001 01", ">FFFFFFFF86 0008", "~FFFFFFFF86 0011 0000000000000000 4D540002",
      ">4D54000281 0001 AA", "~4D540002BF 0001 06", ">4D54000291", ">4D54000191", "~4D54000190 0001 2D"}, {}, 60s},
    {"WaitingForATouchUntilCancelled",
     {">4D54000190 0001 07", "~4D540001BB 0001 02", ">4D54000191", "~4D54000190 0001 2D"}},
};

const std::vector<Case> kFaults = {
    {"Silence", {">" + kMarker, "<" + kMarker}, Fault::Silence},
    {"ForeignChannel", {"<4C55010081 0064 5C", "<4C55010000 5C", ">" + kMarker, "<" + kMarker}, Fault::ForeignChannel},
    {"ForeignChannelThenAnswer", {"<4C55010081 0064", "<4C55010000", "<4D54000181 0064", "<4D54000100"},
     Fault::ForeignChannelThenAnswer},
    {"WrongSequence", {"<4D54000181 0064", "<4D54000101"}, Fault::WrongSequence},
    {"ShortReport", {"<4D540001|", ">" + kMarker, "<" + kMarker}, Fault::ShortReport},
    {"MidMessageInit", {"<4D54000181 0064", "<4D54000181 000A", "<4D54000100"}, {{Fault::MidMessageInit, 10}}},
    {"LateAnswer", {">" + kMarker, "<" + kMarker, "<4D54000181 0064 5C", "<4D54000100 5C"}, Fault::LateAnswer},
    {"ErrorReply", {"<4D540001BF 0001 7F"}, {{Fault::ErrorReply, 0x7F}}},
    {"KeepaliveThenErrorReply", // the keepalive's status is PROCESSING
     {"<4D540001BB 0001 01", "<4D540001BF 0001 06"}, {{Fault::KeepaliveThenErrorReply, 0x06}}},
    {"BadKeepaliveBeforeACborAnswer", // and not before the PING's
     {"<4D54000181 0064", "<4D54000100", ">4D54000190 0001 04", "<4D540001BB 0001 7F", "<4D54000190"},
     {{Fault::BadKeepalive, 0, 0x10}}},
    {"HangUp", {"<|"}, Fault::HangUp},
};

class CtaphidConversation : public testing::TestWithParam<Case> {};

std::string nameOf(const testing::TestParamInfo<Case>& p) { return p.param.name; }

} // namespace

TEST_P(CtaphidConversation, GoesAsScripted)
{
    Usb u;
    u.key.setTouch(SoftAuthenticator::Touch::HeldUntilCancel);
    u.key.setProcessingDelay(GetParam().processing);
    if (const auto& fault = GetParam().fault) {
        u.front->injectFault(*fault);
        u.converse({">4D54000181 0064 5C", ">4D54000100 5C"});
    }
    u.converse(GetParam().steps);
    EXPECT_EQ(u.front->connected(), !GetParam().fault || GetParam().fault->kind != Fault::HangUp);
}

INSTANTIATE_TEST_SUITE_P(HostMessages, CtaphidConversation, testing::ValuesIn(kHostMessages), nameOf);
INSTANTIATE_TEST_SUITE_P(InjectedFaults, CtaphidConversation, testing::ValuesIn(kFaults), nameOf);

TEST(CtaphidFront, RemovalEndsAHeldRequestAndClosingTheHostStopsTheKey)
{
    Usb u;
    u.key.setTouch(SoftAuthenticator::Touch::HeldUntilCancel);
    u.converse({">4D54000190 0001 0B"});
    ASSERT_TRUE(u.key.waitForTouchRequest(10s));
    u.front->hangUp();
    u.converse({"~|"});
    EXPECT_FALSE(u.key.touchPending());

    Usb v;
    ::close(std::exchange(v.host, -1));
    EXPECT_TRUE(eventually([&] { return !v.front->connected(); }));
}
