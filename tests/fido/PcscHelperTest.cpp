#include "fido/PcscHelper.h"
#include "fido/PromptLog.h"
#include "support/LogCapture.h"
#include "support/ScriptedCardChannel.h"
#include "TestHex.h"

#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <future>
#include <mutex>
#include <utility>
#include <vector>

using namespace std::chrono_literals;

namespace {

// A card on a scripted channel that records every APDU it gets. Answers come from a function, or one by one
// from a list (an exhausted list answers nothing, which the transport sees as a failed exchange).
class CardScript {
public:
    explicit CardScript(std::function<Bytes(const Bytes&)> answer) : answer_(std::move(answer))
    {
        card = ScriptedCardChannel::openCard([this](const Bytes& apdu) {
            {
                std::lock_guard lock(mutex_);
                sent_.push_back(X(apdu));
            }
            return answer_(apdu);
        });
    }
    explicit CardScript(std::vector<std::string> answers)
        : CardScript([queue = std::make_shared<std::deque<std::string>>(answers.begin(), answers.end()),
                      mutex = std::make_shared<std::mutex>()](const Bytes&) {
              std::lock_guard lock(*mutex);
              if (queue->empty())
                  return Bytes{};
              Bytes next = H(queue->front());
              queue->pop_front();
              return next;
          })
    {
    }

    std::vector<std::string> sent()
    {
        std::lock_guard lock(mutex_);
        return sent_;
    }

private:
    std::function<Bytes(const Bytes&)> answer_;
    std::mutex mutex_;
    std::vector<std::string> sent_;

public:
    // Declared last so it goes first: an exchange its caller gave up on may still be recording into sent_, and
    // the card's worker is joined before that goes.
    std::shared_ptr<SmartCard> card;
};

Bytes counting(std::size_t n)
{
    Bytes bytes(n);
    for (std::size_t i = 0; i < n; ++i)
        bytes[i] = static_cast<std::uint8_t>(i + 1);
    return bytes;
}

std::string hexOf(const Bytes& bytes, std::size_t from, std::size_t to)
{
    return X(Bytes(bytes.begin() + static_cast<long>(from), bytes.begin() + static_cast<long>(to)));
}

const PcscHelper::Timing kQuick{500ms, 300ms};

} // namespace

TEST(PcscHelper, StatusWordAndDataOfShortAndNormalResponses)
{
    EXPECT_EQ(X(PcscHelper::getStatusWord(Bytes{})), "0000");
    EXPECT_EQ(X(PcscHelper::getStatusWord(H("90"))), "0000");
    EXPECT_TRUE(PcscHelper::getResponseData(H("90")).empty());
    EXPECT_EQ(X(PcscHelper::getStatusWord(H("01029100"))), "9100");
    EXPECT_EQ(X(PcscHelper::getResponseData(H("01029100"))), "0102");
    EXPECT_TRUE(PcscHelper::isValidReaderName("Virtual PCD 00 00"));
    EXPECT_FALSE(PcscHelper::isValidReaderName(""));
}

TEST(PcscHelper, WithoutACardEveryExchangeFailsWithNoDevice)
{
    PcscHelper helper(nullptr, kQuick);
    EXPECT_FALSE(helper.isCardPresent());
    EXPECT_EQ(helper.transmit(H("00A40400")).second, kIOReturnNoDevice);
    EXPECT_EQ(helper.sendApdu(PcscHelper::NFCCTAP_MSG, H("04")).second, kIOReturnNoDevice);
    EXPECT_EQ(helper.sendCmdMsg(H("00A4040000")), (PcscHelper::Response{{}, kIOReturnNoDevice}));
    EXPECT_EQ(helper.sendCmdSelect(), kIOReturnError);
    EXPECT_EQ(helper.sendCmdDeselect(), kIOReturnError);
    EXPECT_EQ(helper.sendCmdCbor(H("04")).second, kIOReturnError);
    EXPECT_EQ(helper.getAtr(), "");
}

TEST(PcscHelper, LongRequestsAreChainedIn240BytePieces)
{
    CardScript script([](const Bytes&) { return H("9000"); });
    PcscHelper helper(nullptr, kQuick);
    helper.setActiveCard(script.card);

    const Bytes request = counting(300);
    EXPECT_EQ(helper.sendCmdCbor(request), (PcscHelper::Response{{}, kIOReturnSuccess}));
    ASSERT_EQ(script.sent().size(), 2u);
    EXPECT_EQ(script.sent()[0], "90108000F0" + hexOf(request, 0, 240));
    EXPECT_EQ(script.sent()[1], "801080003C" + hexOf(request, 240, 300) + "00");

    const Bytes exact = counting(240);
    helper.sendCmdCbor(exact);
    ASSERT_EQ(script.sent().size(), 3u);
    EXPECT_EQ(script.sent()[2], "80108000F0" + X(exact) + "00");

    const Bytes oneMore = counting(241);
    helper.sendCmdCbor(oneMore);
    ASSERT_EQ(script.sent().size(), 5u);
    EXPECT_EQ(script.sent()[3], "90108000F0" + hexOf(oneMore, 0, 240));
    EXPECT_EQ(script.sent()[4], "8010800001F100");

    helper.sendApdu(PcscHelper::NFCCTAP_GETRESPONSE, {});
    EXPECT_EQ(script.sent().back(), "8011000000");
}

TEST(PcscHelper, ChainedPieceNotAnsweredWithSuccessEndsTheChain)
{
    CardScript script(std::vector<std::string>{"6A80", "9000"});
    PcscHelper helper(nullptr, kQuick);
    helper.setActiveCard(script.card);
    const auto [answer, status] = helper.sendApdu(PcscHelper::NFCCTAP_MSG, counting(500));
    EXPECT_EQ(X(answer), "6A80");
    EXPECT_EQ(status, kIOReturnSuccess);
    EXPECT_EQ(script.sent().size(), 1u);
}

TEST(PcscHelper, MoreDataAnswersAreJoinedThroughGetResponse)
{
    CardScript script(std::vector<std::string>{"AABB6110", "CCDD6102", "EEFF9000"});
    PcscHelper helper(nullptr, kQuick);
    helper.setActiveCard(script.card);
    const auto [answer, status] = helper.sendApdu(PcscHelper::NFCCTAP_MSG, H("04"));
    EXPECT_EQ(status, kIOReturnSuccess);
    EXPECT_EQ(X(answer), "AABBCCDDEEFF9000");
    EXPECT_EQ(script.sent(), (std::vector<std::string>{"801080000104" "00", "00C0000010", "00C0000002"}));
}

TEST(PcscHelper, GetResponseLoopIsBoundedAndStopsAtAFailedExchange)
{
    CardScript endless([](const Bytes&) { return H("016100"); });
    PcscHelper helper(nullptr, kQuick);
    helper.setActiveCard(endless.card);
    EXPECT_EQ(helper.sendApdu(PcscHelper::NFCCTAP_MSG, H("04")), (PcscHelper::Response{{}, kIOReturnOverrun}));
    EXPECT_EQ(endless.sent().size(), 65u);

    CardScript failing(std::vector<std::string>{"AABB6110"});
    helper.setActiveCard(failing.card);
    EXPECT_EQ(helper.sendApdu(PcscHelper::NFCCTAP_MSG, H("04")), (PcscHelper::Response{{}, kIOReturnError}));
    EXPECT_EQ(failing.sent().size(), 2u);
}

TEST(PcscHelper, ExtendedLengthIsOneApduAndRefusesWhatCannotBeEncoded)
{
    CardScript script([](const Bytes&) { return H("6100"); }); // no GET RESPONSE in extended form
    PcscHelper helper(nullptr, kQuick);
    helper.setActiveCard(script.card);
    helper.setExtendedApdu(true);

    const Bytes data = counting(300);
    EXPECT_EQ(helper.sendApdu(PcscHelper::NFCCTAP_MSG, data), (PcscHelper::Response{H("6100"), kIOReturnSuccess}));
    helper.sendApdu(PcscHelper::NFCCTAP_GETRESPONSE, {});
    EXPECT_EQ(script.sent(), (std::vector<std::string>{"8010800000012C" + X(data) + "0000", "80110000000000"}));

    EXPECT_EQ(helper.sendApdu(PcscHelper::NFCCTAP_MSG, Bytes(65535, 0x11)).second, kIOReturnSuccess);
    EXPECT_EQ(helper.sendApdu(PcscHelper::NFCCTAP_MSG, Bytes(65536, 0x11)),
              (PcscHelper::Response{{}, kIOReturnOverrun}));
    EXPECT_EQ(script.sent().size(), 3u);
}

TEST(PcscHelper, SelectAcceptsOnlyTheTwoFidoVersions)
{
    struct Case {
        std::string answer;
        IOReturn expected;
        bool logged;
    };
    const std::vector<Case> cases = {
        {"5532465F56329000", kIOReturnSuccess, false},           // "U2F_V2"
        {"4649444F5F325F309000", kIOReturnSuccess, false},       // "FIDO_2_0"
        {"4649444F5F325F319000", kIOReturnError, true},          // "FIDO_2_1"
        {"5532465F5632789000", kIOReturnError, true},            // "U2F_V2x"
        {"4649444F5F325F306A82", kIOReturnError, true},          // "FIDO_2_0", wrong status word
        {"9000", kIOReturnError, true},
        {"", kIOReturnError, false},                             // the exchange itself failed
    };
    for (const Case& c : cases) {
        CardScript script(std::vector<std::string>{c.answer});
        PcscHelper helper(nullptr, kQuick);
        helper.setActiveCard(script.card);
        testing::internal::CaptureStdout();
        EXPECT_EQ(helper.sendCmdSelect(), c.expected) << c.answer;
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(out, c.logged ? "sendCmdSelect error: " + c.answer + "\n" : "") << c.answer;
        EXPECT_EQ(script.sent(), (std::vector<std::string>{"00A4040008A0000006472F000100"}));
    }
}

TEST(PcscHelper, DeselectMapsTheStatusWord)
{
    for (const auto& [answer, expected] : std::vector<std::pair<std::string, IOReturn>>{
             {"9000", kIOReturnSuccess}, {"6A80", kIOReturnInvalid}, {"01", kIOReturnInvalid}, {"", kIOReturnError}}) {
        CardScript script(std::vector<std::string>{answer});
        PcscHelper helper(nullptr, kQuick);
        helper.setActiveCard(script.card);
        EXPECT_EQ(helper.sendCmdDeselect(), expected) << answer;
        EXPECT_EQ(script.sent(), (std::vector<std::string>{"80120100"}));
    }
}

TEST(PcscHelper, TouchPollingRaisesThePromptOnceAndLogsEachPoll)
{
    CardScript script(std::vector<std::string>{"029100", "029100", "029100", "00A1019000"});
    PromptLog waits;
    PcscHelper helper(waits.action(), kQuick);
    helper.setActiveCard(script.card);
    LogCapture log;
    const auto [answer, status] = helper.sendCmdCbor(H("04"));
    EXPECT_EQ(status, kIOReturnSuccess);
    EXPECT_EQ(X(answer), "00A101");
    EXPECT_EQ(waits.calls(), (std::vector<bool>{true, false}));
    EXPECT_EQ(log.count("sendCmdCbor: Waiting for user response"), 3);
    EXPECT_EQ(script.sent(), (std::vector<std::string>{"801080000104" "00", "8011000000", "8011000000", "8011000000"}));
    EXPECT_FALSE(helper.waitUserInput());
}

TEST(PcscHelper, ProcessingWithoutATouchRequestIsBounded)
{
    CardScript script([](const Bytes&) { return H("019100"); });
    PromptLog waits;
    PcscHelper helper(waits.action(), {500ms, 100ms});
    helper.setActiveCard(script.card);
    EXPECT_EQ(helper.sendCmdCbor(H("04")), (PcscHelper::Response{{}, kIOReturnTimeout}));
    EXPECT_TRUE(waits.calls().empty());
}

// The card asks for a touch, then holds its next answer: a cancel, or the card leaving, ends the wait for it at
// once, and with it the polling.
TEST(PcscHelper, CancelOrTheCardLeavingEndsTouchPolling)
{
    for (const bool cancel : {true, false}) {
        SCOPED_TRACE(cancel ? "cancel" : "card leaves");
        std::promise<void> polled;
        std::promise<void> release;
        CardScript script([&, released = release.get_future().share(), first = true](const Bytes&) mutable {
            if (!std::exchange(first, false)) {
                polled.set_value();
                released.wait_for(10s); // bounded, should the test end early
            }
            return H("029100");
        });
        PromptLog waits;
        PcscHelper helper(waits.action(), kQuick);
        helper.setActiveCard(script.card);
        LogCapture log;
        auto polling = std::async(std::launch::async, [&] { return helper.sendCmdCbor(H("04")); });
        polled.get_future().wait();
        if (cancel)
            EXPECT_EQ(helper.sendCommand(CTAPHID::CANCEL, {}), (PcscHelper::Response{{}, kIOReturnSuccess}));
        else
            script.card->endSession();
        EXPECT_EQ(polling.get().second, cancel ? kIOReturnAborted : kIOReturnError);
        release.set_value();
        EXPECT_EQ(waits.calls(), (std::vector<bool>{true, false}));
    }
}

TEST(PcscHelper, CancelBeforeARequestIsNotCarriedIntoIt)
{
    CardScript script(std::vector<std::string>{"019100", "00019000"});
    PcscHelper helper(nullptr, kQuick);
    helper.setActiveCard(script.card);
    helper.sendCommand(CTAPHID::CANCEL, {});
    EXPECT_EQ(helper.sendCmdCbor(H("04")), (PcscHelper::Response{H("0001"), kIOReturnSuccess}));
}

TEST(PcscHelper, FinalStatusWordOtherThanSuccessIsAnErrorWithTheDataKept)
{
    CardScript script(std::vector<std::string>{"019100", "01026A80"});
    PcscHelper helper(nullptr, kQuick);
    helper.setActiveCard(script.card);
    EXPECT_EQ(helper.sendCmdCbor(H("04")), (PcscHelper::Response{H("0102"), kIOReturnError}));
}

TEST(PcscHelper, StalledCardTimesOutAndTheNextExchangeIsStillRight)
{
    std::promise<void> release;
    const std::shared_future<void> released = release.get_future().share();
    std::atomic<bool> first{true};
    CardScript script([&](const Bytes& apdu) {
        if (first.exchange(false))
            released.wait();
        Bytes reply = apdu;
        reply.push_back(0x90);
        reply.push_back(0x00);
        return reply;
    });
    PcscHelper helper(nullptr, {200ms, 300ms});
    helper.setActiveCard(script.card);
    EXPECT_EQ(helper.sendCmdMsg(H("00010000")), (PcscHelper::Response{{}, kIOReturnTimeout}));
    // The card answers the exchange its caller gave up on before the next one can be sent: that answer is dropped.
    release.set_value();
    EXPECT_EQ(helper.sendCmdMsg(H("00020000")), (PcscHelper::Response{H("00020000009000"), kIOReturnSuccess}));
}

TEST(PcscHelper, RawApdusAreReencodedAndAnsweredWhole)
{
    CardScript script([](const Bytes& apdu) { return apdu[1] == 0xA4 ? H("6A82") : H("AB9000"); });
    PcscHelper helper(nullptr, kQuick);
    helper.setActiveCard(script.card);

    // Any status word comes back with status 0: an error answer is never an empty success.
    EXPECT_EQ(helper.sendCmdMsg(H("00A4040002AABB")), (PcscHelper::Response{H("6A82"), kIOReturnSuccess}));
    EXPECT_EQ(helper.sendCmdMsg(H("80100000000003AABBCC0000")), (PcscHelper::Response{H("AB9000"), kIOReturnSuccess}));
    EXPECT_EQ(helper.sendCmdMsg(H("0001020305AA")).second, kIOReturnSuccess); // Lc beyond the bytes given
    EXPECT_EQ(helper.sendCmdMsg(H("00010203")).second, kIOReturnSuccess);
    EXPECT_EQ(helper.sendCmdMsg(H("000102")), (PcscHelper::Response{{}, kIOReturnInvalid}));
    EXPECT_EQ(script.sent(), (std::vector<std::string>{"00A4040002AABB00", "8010000003AABBCC00", "0001020301AA00",
                                                       "0001020300"}));

    CardScript silent(std::vector<std::string>{});
    helper.setActiveCard(silent.card);
    EXPECT_EQ(helper.sendCommand(CTAPHID::MSG, H("00010203")), (PcscHelper::Response{{}, kIOReturnError}));
}

TEST(PcscHelper, CommandsTheTransportCannotCarryAreRefusedWithoutTouchingTheCard)
{
    CardScript script([](const Bytes&) { return H("9000"); });
    PcscHelper helper(nullptr, kQuick);
    helper.setActiveCard(script.card);
    for (CTAPHID command : {CTAPHID::INIT, CTAPHID::PING, CTAPHID::WINK, CTAPHID::LOCK, CTAPHID::KEEPALIVE,
                            CTAPHID::ERROR})
        EXPECT_EQ(helper.sendCommand(command, H("00")), (PcscHelper::Response{{}, kIOReturnUnsupported}));
    EXPECT_TRUE(script.sent().empty());
    EXPECT_FALSE(helper.cancel());
    helper.sendCommand(CTAPHID::CANCEL, {});
    EXPECT_TRUE(helper.cancel());
    EXPECT_TRUE(script.sent().empty());
}

TEST(PcscHelper, CardIdentityFromHistoricalBytesOrTheVendorCommand)
{
    struct Case {
        std::vector<std::string> answers;
        std::string identity;
        std::size_t exchanges;
    };
    const std::vector<Case> cases = {
        {{"8031C073D6319000"}, "8031C073D631", 1},
        {{"6A81", "4B574F30322D4E46439000"}, "0E783381024A4F56204B574F3032", 2}, // "KWO02-NFC"
        {{"", "4B574F30329000"}, "0E783381024A4F56204B574F3032", 2},             // GET DATA failed
        {{"9000", "4B574F30319000"}, "", 2},                                     // another model
        {{"6A81", "4B574F3032FF9000"}, "", 2},                                   // not UTF-8
        {{"6A81", "4B574F30C0AF9000"}, "", 2},                                   // overlong form
        {{"6A81", "4B574F"}, "", 2},
        {{"", ""}, "", 2},
    };
    for (const Case& c : cases) {
        CardScript script(c.answers);
        PcscHelper helper(nullptr, kQuick);
        helper.setActiveCard(script.card);
        EXPECT_EQ(helper.getAtr(), c.identity) << c.answers.back();
        ASSERT_EQ(script.sent().size(), c.exchanges);
        EXPECT_EQ(script.sent()[0], "FFCA010000");
        if (c.exchanges == 2) {
            EXPECT_EQ(script.sent()[1], "804000000414010000");
        }
    }
}

TEST(PcscHelper, WaitUserInputTellsOnlyChanges)
{
    PromptLog waits;
    PcscHelper helper(waits.action());
    helper.setWaitUserInput(false);
    helper.setWaitUserInput(true);
    helper.setWaitUserInput(true);
    helper.setWaitUserInput(false);
    EXPECT_EQ(waits.calls(), (std::vector<bool>{true, false}));
}
