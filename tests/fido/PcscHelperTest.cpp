// The card transport on scripted cards: the APDU layer, and the card's own worker beneath it.
#include "fido/PcscHelper.h"
#include "TestHex.h"
#include "fido/PromptLog.h"
#include "support/LogCapture.h"
#include "support/ScriptedCardChannel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <numeric>

using namespace std::chrono_literals;

namespace {

using Response = PcscHelper::Response;
using Apdus = std::vector<std::string>;
constexpr auto kMsg = PcscHelper::NFCCTAP_MSG;

// A transport bound to a scripted card that records the APDUs it gets and answers through a function, or one by
// one from a list, then fails.
struct HelperOnCard {
    explicit HelperOnCard(ScriptedCardChannel::Handler answer, std::chrono::milliseconds transmitTimeout = 500ms)
        : helper(prompts.action(), {transmitTimeout, 100ms})
    {
        card = ScriptedCardChannel::openCard([this, answer](const Bytes& apdu) {
            sent.push_back(X(apdu));
            return answer(apdu);
        });
        helper.setActiveCard(card);
    }
    explicit HelperOnCard(Apdus answers)
        : HelperOnCard([answers, next = std::size_t{0}](const Bytes&) mutable {
              return next < answers.size() ? H(answers[next++]) : Bytes{};
          })
    {
    }
    PromptLog prompts;
    LogCapture log;
    Apdus sent;
    std::shared_ptr<SmartCard> card; // goes before what its worker records into
    PcscHelper helper;
};

} // namespace

// A request longer than one short APDU goes in 240-byte pieces with the chaining bit; a piece the card does not
// take ends the chain with its answer. 61 xx answers are joined through GET RESPONSE, which must not fail, and a
// card that keeps announcing more is cut off after 64 rounds.
TEST(PcscHelper, LongRequestsAreChainedAndLongAnswersJoined)
{
    Bytes request(300);
    std::iota(request.begin(), request.end(), std::uint8_t{1});
    const std::string first = X(std::span(request).first(240));
    HelperOnCard h([](const Bytes&) { return H("9000"); });
    for (const std::size_t size : {300, 240, 241})
        EXPECT_EQ(h.helper.sendCmdCbor(std::span(request).first(size)), (Response{{}, kIOReturnSuccess}));
    EXPECT_EQ(h.sent, (Apdus{"90108000F0" + first, "801080003C" + X(std::span(request).subspan(240)) + "00",
                             "80108000F0" + first + "00", "90108000F0" + first, "8010800001F100"}));
    HelperOnCard refused(Apdus{"6A80"});
    EXPECT_EQ(refused.helper.sendApdu(kMsg, Bytes(500, 0x11)), (Response{H("6A80"), kIOReturnSuccess}));

    HelperOnCard joined(Apdus{"AABB6110", "CCDD6102", "EEFF9000", "AABB6110"});
    EXPECT_EQ(joined.helper.sendApdu(kMsg, H("04")), (Response{H("AABBCCDDEEFF9000"), kIOReturnSuccess}));
    EXPECT_EQ(joined.helper.sendApdu(kMsg, H("04")), (Response{{}, kIOReturnError}));
    EXPECT_EQ(joined.sent, (Apdus{"80108000010400", "00C0000010", "00C0000002", "80108000010400", "00C0000010"}));
    HelperOnCard endless([](const Bytes&) { return H("016100"); });
    EXPECT_EQ(endless.helper.sendApdu(kMsg, H("04")), (Response{{}, kIOReturnOverrun}));
    EXPECT_EQ(endless.sent.size(), 65u);
}

// A raw APDU goes again in short form (Lc cut to the bytes given) and its whole answer comes back with status 0,
// an error answer included: it is never an empty success. In extended form a request is one APDU up to 65,535
// bytes, and nothing beyond.
TEST(PcscHelper, RawApdusAreReencodedAndExtendedOnesBounded)
{
    HelperOnCard h([](const Bytes& apdu) { return apdu[1] == 0xA4 ? H("6A82") : H("AB9000"); });
    EXPECT_EQ(h.helper.sendCmdMsg(H("00A4040002AABB")), (Response{H("6A82"), kIOReturnSuccess}));
    EXPECT_EQ(h.helper.sendCmdMsg(H("80100000000003AABBCC0000")), (Response{H("AB9000"), kIOReturnSuccess}));
    EXPECT_EQ(h.helper.sendCmdMsg(H("0001020305AA")).second, kIOReturnSuccess);
    EXPECT_EQ(h.helper.sendCmdMsg(H("000102")), (Response{{}, kIOReturnInvalid}));
    h.helper.setExtendedApdu(true);
    EXPECT_EQ(h.helper.sendApdu(kMsg, Bytes(300, 0x11)), (Response{H("AB9000"), kIOReturnSuccess}));
    EXPECT_EQ(h.helper.sendApdu(kMsg, Bytes(65535, 0x11)).second, kIOReturnSuccess);
    EXPECT_EQ(h.helper.sendApdu(kMsg, Bytes(65536, 0x11)), (Response{{}, kIOReturnOverrun}));
    h.sent.resize(4);
    EXPECT_EQ(h.sent, (Apdus{"00A4040002AABB00", "8010000003AABBCC00", "0001020301AA00",
                             "8010800000012C" + X(Bytes(300, 0x11)) + "0000"}));
    EXPECT_EQ(PcscHelper(nullptr).sendCmdMsg(H("00010203")), (Response{{}, kIOReturnNoDevice}));
}

// Select takes "U2F_V2" and "FIDO_2_0" with 90 00 only, and logs any other answer.
TEST(PcscHelper, SelectAcceptsOnlyTheTwoFidoVersions)
{
    const Apdus refused = {"4649444F5F325F319000", "5532465F5632789000", "4649444F5F325F306A82", "9000"};
    Apdus answers = {"5532465F56329000", "4649444F5F325F309000"}, logged;
    answers.insert(answers.end(), refused.begin(), refused.end());
    HelperOnCard h(answers);
    for (std::size_t i = 0; i <= answers.size(); ++i) // the last exchange fails: nothing to log
        EXPECT_EQ(h.helper.sendCmdSelect(), i < 2 ? kIOReturnSuccess : kIOReturnError) << i;
    for (const std::string& answer : refused)
        logged.push_back("sendCmdSelect error: " + answer);
    EXPECT_EQ(h.log.lines(), logged);
    EXPECT_EQ(h.sent, Apdus(answers.size() + 1, "00A4040008A0000006472F000100"));
}

// While the card answers 91 00 the request is polled with GET RESPONSE: a touch request raises the prompt once
// and logs each poll; a final status word other than 90 00 is an error that keeps the data; a card that only
// says it is busy, without asking for a touch, is given up after the processing bound.
TEST(PcscHelper, PollingWhileTheCardWorks)
{
    HelperOnCard touch(Apdus{"029100", "029100", "029100", "00A1019000"});
    EXPECT_EQ(touch.helper.sendCmdCbor(H("04")), (Response{H("00A101"), kIOReturnSuccess}));
    EXPECT_EQ(touch.prompts.calls(), (std::vector<bool>{true, false}));
    EXPECT_EQ(touch.log.count("sendCmdCbor: Waiting for user response"), 3);
    EXPECT_EQ(touch.sent, (Apdus{"80108000010400", "8011000000", "8011000000", "8011000000"}));

    HelperOnCard failed(Apdus{"019100", "01026A80"});
    EXPECT_EQ(failed.helper.sendCmdCbor(H("04")), (Response{H("0102"), kIOReturnError}));
    HelperOnCard busy([](const Bytes&) { return H("019100"); });
    EXPECT_EQ(busy.helper.sendCmdCbor(H("04")), (Response{{}, kIOReturnTimeout}));
    EXPECT_TRUE(busy.prompts.calls().empty());
}

// A cancel, stop() or the card leaving ends the request's wait for the card at once (long before the card's
// time-out), whether it lands in the first exchange or in the polling for a touch. An exchange given up while the
// card still stalls is never sent, and the late answer never answers the next one. A cancel ends only the request
// it lands in; stop() is for good: no later request reaches the card.
TEST(PcscHelper, CancelStopOrTheCardLeavingEndsTheRequestAtOnce)
{
    enum End { cancel, stop, cardLeaves };
    const struct {
        End end;
        std::size_t heldApdu;
        IOReturn status;
    } cases[] = {{cancel, 1, kIOReturnAborted},
                 {cancel, 2, kIOReturnAborted},
                 {stop, 2, kIOReturnAborted},
                 {cardLeaves, 2, kIOReturnError}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "end " << c.end << " at APDU " << c.heldApdu);
        std::promise<void> held, release;
        HelperOnCard h(
            [&, released = release.get_future().share(), n = std::size_t{0}](const Bytes& apdu) mutable {
                if (++n == c.heldApdu) {
                    held.set_value();
                    released.wait_for(10s); // bounded, should the test fail early
                }
                return apdu[0] == 0x80 ? H("029100") : ScriptedCardChannel::echo(apdu);
            },
            60s);
        auto request = std::async(std::launch::async, [&] { return h.helper.sendCmdCbor(H("04")); });
        held.get_future().wait();
        if (c.end == cancel)
            EXPECT_EQ(h.helper.sendCommand(CTAPHID::CANCEL, {}), (Response{{}, kIOReturnSuccess}));
        else if (c.end == stop)
            h.helper.stop();
        else
            h.card->endSession();
        ASSERT_EQ(request.wait_for(20s), std::future_status::ready) << "the wait for the card went on";
        EXPECT_EQ(request.get().second, c.status);
        EXPECT_EQ(h.prompts.calls(), (c.heldApdu == 1 ? std::vector<bool>{} : std::vector<bool>{true, false}));
        const bool usable = c.end != cardLeaves;
        EXPECT_EQ(h.card->transmit(H("0B0B0000"), 50ms).second, usable ? kIOReturnTimeout : kIOReturnError);
        release.set_value();
        EXPECT_EQ(h.helper.sendCmdMsg(H("00010000")),
                  (c.end == cancel ? Response{H("00010000009000"), kIOReturnSuccess} : Response{{}, c.status}));
        EXPECT_EQ(h.sent.size(), c.heldApdu + (c.end == cancel ? 1 : 0)); // the one given up on never reached it
    }
}

// The identity comes from the historical bytes (GET DATA), else from the vendor command, whose answer must be
// valid UTF-8 and name the maker's model.
TEST(PcscHelper, CardIdentityFromHistoricalBytesOrTheVendorCommand)
{
    HelperOnCard h(Apdus{"8031C073D6319000", "6A81", "4B574F30322D4E46439000", // "KWO02-NFC"
                         "", "4B574F30329000",                                 // GET DATA failed
                         "6A81", "4B574F3032FF9000",                           // not UTF-8
                         "6A81", "4B574F30C0AF9000",                           // overlong form
                         "6A81", "4B574F"});                                   // then both exchanges fail
    const std::string maker = "0E783381024A4F56204B574F3032";
    for (const char* identity : {"8031C073D631", maker.c_str(), maker.c_str(), "", "", "", ""})
        EXPECT_EQ(h.helper.getAtr(), identity);
    EXPECT_EQ(h.sent.size(), 13u);
    EXPECT_EQ(Apdus(h.sent.begin(), h.sent.begin() + 3), (Apdus{"FFCA010000", "FFCA010000", "804000000414010000"}));
}

// The card object goes without waiting for its worker when that is stuck in a card call (the worker ends by
// itself later), or when the object's last holder lets it go inside its own reply, on that worker.
TEST(SmartCard, CardGoesWithoutWaitingForItsWorker)
{
    auto answered = std::make_shared<std::atomic<bool>>(false); // shared with the worker, which outlives the card
    auto release = std::make_shared<std::promise<void>>();
    auto card = ScriptedCardChannel::openCard([answered, released = release->get_future().share()](const Bytes& apdu) {
        released.wait_for(5s);
        *answered = true;
        return ScriptedCardChannel::echo(apdu);
    });
    EXPECT_EQ(card->transmit(H("00010000"), 50ms).second, kIOReturnTimeout);
    card.reset();
    EXPECT_FALSE(*answered);
    release->set_value();

    auto last = std::make_shared<std::shared_ptr<SmartCard>>(ScriptedCardChannel::openCard(ScriptedCardChannel::echo));
    auto done = std::make_shared<std::promise<void>>();
    (*last)->beginSession([last, done](bool) { // refused (the session is open), on the worker
        last->reset();
        done->set_value();
    });
    EXPECT_EQ(done->get_future().wait_for(3s), std::future_status::ready);
}

// Waiting for our transaction on a card another program keeps ends on stop; the transaction granted after its
// caller gave up is let go at once, or it would keep the card from everyone.
TEST(SmartCard, TransactionGrantedAfterItsCallerGaveUpIsLetGo)
{
    std::promise<void> asked, letGo;
    std::atomic<int> ended{0};
    auto transactions = [&, granted = letGo.get_future().share()](bool begin) {
        if (begin) {
            asked.set_value();
            granted.wait();
        } else {
            ++ended;
        }
        return SCARD_S_SUCCESS;
    };
    auto card = ScriptedCardChannel::openCard(ScriptedCardChannel::echo, transactions);
    std::stop_source stop;
    auto begin = std::async(std::launch::async, [&] { return card->beginTransaction(600s, stop.get_token()); });
    asked.get_future().wait();
    stop.request_stop();
    EXPECT_EQ(begin.get(), kIOReturnAborted);
    letGo.set_value();
    // The worker takes this exchange only after it has dealt with the transaction nobody waits for any more.
    EXPECT_EQ(card->transmit(H("00010000"), 5s).second, kIOReturnSuccess);
    EXPECT_EQ(ended.load(), 1);
}
