// The card transport on scripted cards.
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
    PcscHelper helper(nullptr, {500ms, 300ms});
    EXPECT_FALSE(helper.isCardPresent());
    EXPECT_EQ(helper.transmit(H("00A40400")).second, kIOReturnNoDevice);
    EXPECT_EQ(helper.sendApdu(PcscHelper::NFCCTAP_MSG, H("04")).second, kIOReturnNoDevice);
    EXPECT_EQ(helper.sendCmdMsg(H("00A4040000")), (PcscHelper::Response{{}, kIOReturnNoDevice}));
    EXPECT_EQ(helper.sendCmdSelect(), kIOReturnError);
    EXPECT_EQ(helper.sendCmdDeselect(), kIOReturnError);
    EXPECT_EQ(helper.sendCmdCbor(H("04")).second, kIOReturnError);
    EXPECT_EQ(helper.getAtr(), "");
}

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
// bytes, and nothing beyond; its answer is taken as it comes, without GET RESPONSE.
TEST(PcscHelper, RawApdusAreReencodedAndExtendedOnesBounded)
{
    HelperOnCard h([](const Bytes& apdu) {
        return apdu[1] == 0xA4 ? H("6A82") : apdu[1] == 0x11 ? H("6100") : H("AB9000");
    });
    EXPECT_EQ(h.helper.sendCmdMsg(H("00A4040002AABB")), (Response{H("6A82"), kIOReturnSuccess}));
    EXPECT_EQ(h.helper.sendCmdMsg(H("80100000000003AABBCC0000")), (Response{H("AB9000"), kIOReturnSuccess}));
    EXPECT_EQ(h.helper.sendCmdMsg(H("0001020305AA")).second, kIOReturnSuccess);
    EXPECT_EQ(h.helper.sendCommand(CTAPHID::MSG, H("00010203")), (Response{H("AB9000"), kIOReturnSuccess}));
    EXPECT_EQ(h.helper.sendCmdMsg(H("000102")), (Response{{}, kIOReturnInvalid}));
    h.helper.setExtendedApdu(true);
    EXPECT_EQ(h.helper.sendApdu(kMsg, Bytes(300, 0x11)), (Response{H("AB9000"), kIOReturnSuccess}));
    EXPECT_EQ(h.helper.sendApdu(PcscHelper::NFCCTAP_GETRESPONSE, {}), (Response{H("6100"), kIOReturnSuccess}));
    EXPECT_EQ(h.helper.sendApdu(kMsg, Bytes(65535, 0x11)).second, kIOReturnSuccess);
    EXPECT_EQ(h.helper.sendApdu(kMsg, Bytes(65536, 0x11)), (Response{{}, kIOReturnOverrun}));
    EXPECT_EQ(h.sent.size(), 7u);
    h.sent.resize(6);
    EXPECT_EQ(h.sent, (Apdus{"00A4040002AABB00", "8010000003AABBCC00", "0001020301AA00", "0001020300",
                             "8010800000012C" + X(Bytes(300, 0x11)) + "0000", "80110000000000"}));
    EXPECT_EQ(PcscHelper(nullptr).sendCmdMsg(H("00010203")), (Response{{}, kIOReturnNoDevice}));
    HelperOnCard silent(Apdus{});
    EXPECT_EQ(silent.helper.sendCommand(CTAPHID::MSG, H("00010203")), (Response{{}, kIOReturnError}));
}

TEST(PcscHelper, CommandsTheTransportCannotCarryAreRefusedWithoutTouchingTheCard)
{
    HelperOnCard h([](const Bytes&) { return H("9000"); });
    for (CTAPHID command :
         {CTAPHID::INIT, CTAPHID::PING, CTAPHID::WINK, CTAPHID::LOCK, CTAPHID::KEEPALIVE, CTAPHID::ERROR})
        EXPECT_EQ(h.helper.sendCommand(command, H("00")), (Response{{}, kIOReturnUnsupported}));
    EXPECT_TRUE(h.sent.empty());
    EXPECT_FALSE(h.helper.cancel());
    h.helper.sendCommand(CTAPHID::CANCEL, {});
    EXPECT_TRUE(h.helper.cancel());
    EXPECT_TRUE(h.sent.empty());
}

// DESELECT is the bare four bytes; any status word but 90 00 makes it invalid, a failed exchange an error.
TEST(PcscHelper, DeselectMapsTheStatusWord)
{
    for (const auto& [answer, expected] : std::vector<std::pair<std::string, IOReturn>>{
             {"9000", kIOReturnSuccess}, {"6A80", kIOReturnInvalid}, {"01", kIOReturnInvalid}, {"", kIOReturnError}}) {
        HelperOnCard h(Apdus{answer});
        EXPECT_EQ(h.helper.sendCmdDeselect(), expected) << answer;
        EXPECT_EQ(h.sent, (Apdus{"80120100"}));
    }
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

// A cancel (CANCEL, or setting cancel), stop() or the card leaving ends the request's wait for the card at once
// (long before the card's time-out), whether it lands in the first exchange or in the polling for a touch. An
// exchange given up while the card still stalls is never sent, and the late answer never answers the next one. A
// cancel ends only the request it lands in, and reads as set until the next one; stop() is for good: no later
// request reaches the card, clearing cancel or not.
TEST(PcscHelper, CancelStopOrTheCardLeavingEndsTheRequestAtOnce)
{
    enum End { cancel, setCancel, stop, cardLeaves };
    const struct {
        End end;
        std::size_t heldApdu;
        IOReturn status;
    } cases[] = {{cancel, 1, kIOReturnAborted},
                 {cancel, 2, kIOReturnAborted},
                 {setCancel, 2, kIOReturnAborted},
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
        else if (c.end == setCancel)
            h.helper.setCancel(true);
        else if (c.end == stop)
            h.helper.stop();
        else
            h.card->endSession();
        if (request.wait_for(20s) != std::future_status::ready) {
            ADD_FAILURE() << "the wait for the card went on";
            h.card->endSession(); // ends the request, so the test ends
        }
        EXPECT_EQ(request.get().second, c.status);
        EXPECT_EQ(h.prompts.calls(), (c.heldApdu == 1 ? std::vector<bool>{} : std::vector<bool>{true, false}));
        EXPECT_EQ(h.helper.cancel(), c.end != cardLeaves);
        const bool usable = c.end != cardLeaves;
        EXPECT_EQ(h.card->transmit(H("0B0B0000"), 50ms).second, usable ? kIOReturnTimeout : kIOReturnError);
        release.set_value();
        h.helper.setCancel(false);
        const bool cancelled = c.end == cancel || c.end == setCancel;
        EXPECT_EQ(h.helper.sendCmdMsg(H("00010000")),
                  (cancelled ? Response{H("00010000009000"), kIOReturnSuccess} : Response{{}, c.status}));
        EXPECT_EQ(h.helper.cancel(), c.end == stop);
        EXPECT_EQ(h.sent.size(), c.heldApdu + (cancelled ? 1 : 0)); // the one given up on never reached it
    }
}

// A cancel that comes while the bound card has no request in progress is not kept: the next request goes through.
// Once the cancellation the card is bound with is tripped, no CTAP request of that binding reaches the card, while
// the deselect that ends an operation still does; binding the card again (with another operation, or none) starts
// clean, and a tripped cancellation binds nothing.
TEST(PcscHelper, ACancelBetweenRequestsEndsTheNextRequestOfTheBindingOnly)
{
    HelperOnCard h([](const Bytes&) { return H("00A1019000"); });
    const Response answered{H("00A101"), kIOReturnSuccess}, cancelled{{}, kIOReturnAborted};
    EXPECT_EQ(h.helper.sendCommand(CTAPHID::CANCEL, {}), (Response{{}, kIOReturnSuccess}));
    EXPECT_EQ(h.helper.sendCommand(CTAPHID::CBOR, H("07")), answered);
    std::stop_source operation;
    h.helper.setActiveCard(h.card, operation.get_token());
    EXPECT_EQ(h.helper.sendCommand(CTAPHID::CBOR, H("07")), answered);
    operation.request_stop();
    EXPECT_EQ(h.helper.sendCommand(CTAPHID::CBOR, H("07")), cancelled);
    EXPECT_FALSE(h.helper.requestHandedOver());
    EXPECT_EQ(h.helper.sendCmdDeselect(), kIOReturnSuccess);
    EXPECT_EQ(h.sent.size(), 3u);
    EXPECT_EQ(h.helper.setActiveCard(h.card, operation.get_token()), kIOReturnAborted);
    EXPECT_FALSE(h.helper.isCardPresent());
    h.helper.setActiveCard(h.card);
    EXPECT_EQ(h.helper.sendCommand(CTAPHID::CBOR, H("07")), answered);
    EXPECT_EQ(h.sent.size(), 4u);
}

// The cancellation the card is bound with ends the CTAP request in progress as a cancel does, in its first exchange
// or in the polling for a touch. cancelTouchWait ends a request only once the card asked for a touch in it.
TEST(PcscHelper, TheOperationsCancelEndsItsRequestAndATouchWaitAloneOtherwise)
{
    for (const bool byOperation : {true, false}) {
        for (const std::size_t heldApdu : {1u, 2u}) {
            SCOPED_TRACE(testing::Message() << (byOperation ? "operation" : "touch wait") << " at APDU " << heldApdu);
            std::promise<void> held, release;
            // Held at the first APDU, the card then answers it; held at the second, it keeps asking for a touch.
            HelperOnCard h(
                [&, released = release.get_future().share(), n = std::size_t{0}](const Bytes&) mutable {
                    if (++n == heldApdu) {
                        held.set_value();
                        released.wait_for(10s); // bounded, should the test fail early
                    }
                    return heldApdu == 1 ? H("00A1019000") : H("029100");
                },
                60s);
            std::stop_source operation;
            if (byOperation) {
                ASSERT_EQ(h.helper.setActiveCard(h.card, operation.get_token()), kIOReturnSuccess);
            }
            auto request = std::async(std::launch::async, [&] { return h.helper.sendCmdCbor(H("04")); });
            held.get_future().wait();
            if (byOperation)
                operation.request_stop();
            else
                h.helper.cancelTouchWait();
            const bool ends = byOperation || heldApdu == 2;
            if (ends && request.wait_for(20s) != std::future_status::ready) {
                ADD_FAILURE() << "the wait for the card went on";
                h.card->endSession();
            }
            release.set_value();
            const Response expected = ends ? Response{{}, kIOReturnAborted} : Response{H("00A101"), kIOReturnSuccess};
            EXPECT_EQ(request.get(), expected);
        }
    }
}

// The identity comes from the historical bytes (GET DATA), else from the vendor command, whose answer must be
// valid UTF-8 and name the maker's model.
TEST(PcscHelper, CardIdentityFromHistoricalBytesOrTheVendorCommand)
{
    HelperOnCard h(Apdus{"8031C073D6319000", "6A81", "4B574F30322D4E46439000", // "KWO02-NFC"
                         "", "4B574F30329000",                                 // GET DATA failed
                         "9000", "4B574F30319000",                             // another model
                         "6A81", "4B574F3032FF9000",                           // not UTF-8
                         "6A81", "4B574F30C0AF9000",                           // overlong form
                         "6A81", "4B574F"});                                   // then both exchanges fail
    const std::string maker = "0E783381024A4F56204B574F3032";
    for (const char* identity : {"8031C073D631", maker.c_str(), maker.c_str(), "", "", "", "", ""})
        EXPECT_EQ(h.helper.getAtr(), identity);
    EXPECT_EQ(h.sent.size(), 15u);
    EXPECT_EQ(Apdus(h.sent.begin(), h.sent.begin() + 3), (Apdus{"FFCA010000", "FFCA010000", "804000000414010000"}));
}

// An APDU the card does not answer within the transmit bound times out; the card's late answer to it is dropped,
// so the next exchange gets its own.
TEST(PcscHelper, StalledCardTimesOutAndTheNextExchangeIsStillRight)
{
    std::promise<void> release;
    HelperOnCard h(
        [released = release.get_future().share(), first = true](const Bytes& apdu) mutable {
            if (std::exchange(first, false))
                released.wait_for(10s); // bounded, should the test fail early
            return ScriptedCardChannel::echo(apdu);
        },
        200ms);
    EXPECT_EQ(h.helper.sendCmdMsg(H("00010000")), (Response{{}, kIOReturnTimeout}));
    release.set_value();
    EXPECT_EQ(h.helper.sendCmdMsg(H("00020000")), (Response{H("00020000009000"), kIOReturnSuccess}));
}

// A CTAP request counts as handed over once the APDU that completes it went to the card, answered or not: not
// when nothing could be sent, nor when the card was still stuck in an earlier APDU and this one was given up on
// before it left. Whether the key may have acted on a request hangs on it.
TEST(PcscHelper, ARequestIsHandedOverOnlyOnceItsLastApduWentToTheCard)
{
    std::promise<void> release;
    HelperOnCard h(
        [released = release.get_future().share(), n = 0](const Bytes& apdu) mutable {
            if (++n == 2)
                released.wait_for(10s); // bounded, should the test fail early
            return apdu[0] == 0x80 ? H("009000") : ScriptedCardChannel::echo(apdu);
        },
        200ms);
    const Bytes chained(300, 0x01); // two APDUs, the first of which the card answers
    EXPECT_NE(h.helper.sendCmdCbor(chained).second, kIOReturnSuccess); // the second stalls the card
    EXPECT_TRUE(h.helper.requestHandedOver());
    EXPECT_NE(h.helper.sendCmdCbor(H("04")).second, kIOReturnSuccess); // still stuck in the one before
    EXPECT_FALSE(h.helper.requestHandedOver());
    release.set_value();
    EXPECT_EQ(h.helper.sendCmdCbor(H("04")), (Response{H("00"), kIOReturnSuccess}));
    EXPECT_TRUE(h.helper.requestHandedOver());
    EXPECT_EQ(h.helper.sendCommand(CTAPHID::WINK, {}).second, kIOReturnUnsupported);
    EXPECT_FALSE(h.helper.requestHandedOver());
    h.helper.setActiveCard(nullptr);
    EXPECT_NE(h.helper.sendCmdCbor(H("04")).second, kIOReturnSuccess);
    EXPECT_FALSE(h.helper.requestHandedOver());
}
