#include "TestHex.h"
#include "platform/SmartCard.h"
#include "support/ScriptedCardChannel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <mutex>
#include <string>
#include <vector>

using namespace std::chrono_literals;

namespace {

std::unique_ptr<CardChannel> answeringCard()
{
    return std::make_unique<ScriptedCardChannel>([](const Bytes&) { return H("9000"); });
}

// A card whose answer to an APDU starting with a stall marker (CLA 0xEE, once per test) waits until released.
struct StallingCard {
    std::mutex mutex;
    std::vector<std::string> sent;
    std::promise<void> stalled;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<int> answered{0};

    Bytes answer(const Bytes& apdu)
    {
        {
            std::lock_guard lock(mutex);
            sent.push_back(X(apdu));
        }
        if (!apdu.empty() && apdu[0] == 0xEE) {
            stalled.set_value();
            released.wait_for(5s);
        }
        ++answered;
        Bytes reply(apdu.begin(), apdu.end());
        reply.push_back(0x90);
        reply.push_back(0x00);
        return reply;
    }
    std::vector<std::string> sentApdus()
    {
        std::lock_guard lock(mutex);
        return sent;
    }
};

// A card that another program keeps in a transaction until the test lets it go.
struct KeptCard {
    std::promise<void> asked;
    std::promise<void> letGo;
    std::shared_future<void> letGoFuture = letGo.get_future().share();
    std::atomic<int> ended{0};
};

class KeptCardChannel : public ScriptedCardChannel {
public:
    explicit KeptCardChannel(std::shared_ptr<KeptCard> card)
        : ScriptedCardChannel([](const Bytes&) { return H("9000"); }), card_(std::move(card))
    {
    }
    LONG beginTransaction() override
    {
        card_->asked.set_value();
        card_->letGoFuture.wait();
        return SCARD_S_SUCCESS;
    }
    LONG endTransaction() override
    {
        ++card_->ended;
        return SCARD_S_SUCCESS;
    }

private:
    std::shared_ptr<KeptCard> card_;
};

} // namespace

TEST(SmartCard, ExchangeGivesTheAnswerOrAnError)
{
    auto card = ScriptedCardChannel::openCard([](const Bytes& apdu) {
        if (apdu == H("00010203"))
            return Bytes{}; // the service could not carry it out
        return H("AABB9000");
    });
    ASSERT_TRUE(card);
    auto [answer, status] = card->transmit(H("00A40400"), 1s);
    EXPECT_EQ(status, kIOReturnSuccess);
    EXPECT_EQ(X(answer), "AABB9000");
    std::tie(answer, status) = card->transmit(H("00010203"), 1s);
    EXPECT_EQ(status, kIOReturnError);
    EXPECT_TRUE(answer.empty());
}

// A stalled exchange times out; the one queued behind it times out too and is never sent once its caller gave up;
// the stalled card's late answer never answers the next exchange.
TEST(SmartCard, LateAnswersAreDroppedAndGivenUpExchangesNeverSent)
{
    StallingCard script;
    auto card = ScriptedCardChannel::openCard([&](const Bytes& apdu) { return script.answer(apdu); });
    ASSERT_TRUE(card);

    auto [late, status] = card->transmit(H("EE000000"), 50ms);
    EXPECT_EQ(status, kIOReturnTimeout);
    EXPECT_TRUE(late.empty());
    EXPECT_EQ(card->transmit(H("0B0B0B0B"), 50ms).second, kIOReturnTimeout);
    script.release.set_value();
    auto [answer, nextStatus] = card->transmit(H("0C0C0C0C"), 3s);
    EXPECT_EQ(nextStatus, kIOReturnSuccess);
    EXPECT_EQ(X(answer), "0C0C0C0C9000");
    EXPECT_EQ(script.sentApdus(), (std::vector<std::string>{"EE000000", "0C0C0C0C"}));
}

TEST(SmartCard, EndingTheSessionReleasesAWaitingCallerAndTheCardGoesWithoutWaitingForIt)
{
    // Held by the worker's script too: the worker outlives the card object while the card stalls.
    auto script = std::make_shared<StallingCard>();
    auto card = ScriptedCardChannel::openCard([script](const Bytes& apdu) { return script->answer(apdu); });
    ASSERT_TRUE(card);

    auto waiting = std::async(std::launch::async, [&] { return card->transmit(H("EE000000"), 600s); });
    script->stalled.get_future().wait();
    card->endSession();
    EXPECT_EQ(waiting.get().second, kIOReturnError);
    EXPECT_EQ(card->transmit(H("01020304"), 1s).second, kIOReturnError);
    card.reset();
    EXPECT_EQ(script->answered.load(), 0); // the card went while its worker still waited for the stalled card
    script->release.set_value();
}

TEST(SmartCard, NoExchangeWithoutAnOpenSession)
{
    SmartCard notBegun(answeringCard);
    EXPECT_EQ(notBegun.transmit(H("00A40400"), 1s).second, kIOReturnError);

    SmartCard unreachable([] { return std::unique_ptr<CardChannel>(); });
    std::promise<bool> opened;
    unreachable.beginSession([&](bool ok) { opened.set_value(ok); });
    EXPECT_FALSE(opened.get_future().get());
    EXPECT_EQ(unreachable.transmit(H("00A40400"), 1s).second, kIOReturnError);
}

TEST(SmartCard, CardReleasedInsideItsOwnReplyDoesNotHang)
{
    auto card = std::make_shared<SmartCard>(answeringCard);
    std::promise<void> done;
    auto holder = std::make_shared<std::shared_ptr<SmartCard>>(card);
    card->beginSession([holder, &done](bool) {
        holder->reset(); // the last reference goes on the card's own worker
        done.set_value();
    });
    card.reset();
    EXPECT_EQ(done.get_future().wait_for(3s), std::future_status::ready);
}

TEST(SmartCard, TransactionWaitEndsOnStopAndOneGrantedTooLateIsLetGoAtOnce)
{
    auto kept = std::make_shared<KeptCard>();
    auto card = std::make_shared<SmartCard>([kept] { return std::make_unique<KeptCardChannel>(kept); });
    std::promise<bool> opened;
    card->beginSession([&](bool ok) { opened.set_value(ok); });
    ASSERT_TRUE(opened.get_future().get());

    std::stop_source stop;
    auto begin = std::async(std::launch::async, [&] { return card->beginTransaction(600s, stop.get_token()); });
    kept->asked.get_future().wait();
    stop.request_stop();
    EXPECT_EQ(begin.get(), kIOReturnAborted);
    kept->letGo.set_value();
    // The worker takes this exchange only after it has dealt with the transaction nobody waits for any more.
    EXPECT_EQ(card->transmit(H("00010000"), 5s).second, kIOReturnSuccess);
    EXPECT_EQ(kept->ended.load(), 1);
}
