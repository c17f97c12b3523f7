#include "platform/SmartCard.h"
#include "support/Eventually.h"
#include "support/ScriptedCardChannel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

using namespace std::chrono_literals;

namespace {

// Hex helpers of this layer's own (the fido layer's are out of reach here).
Bytes H(std::string_view hex)
{
    Bytes bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes.push_back(static_cast<std::uint8_t>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
    return bytes;
}

std::string X(const Bytes& bytes)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    for (std::uint8_t b : bytes) {
        text += digits[b >> 4];
        text += digits[b & 0x0F];
    }
    return text;
}

// A card whose answer to an APDU starting with a stall marker (CLA 0xEE) waits until released.
struct StallingCard {
    std::mutex mutex;
    std::vector<std::string> sent;
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<int> answered{0};

    Bytes answer(const Bytes& apdu)
    {
        {
            std::lock_guard lock(mutex);
            sent.push_back(X(apdu));
        }
        if (!apdu.empty() && apdu[0] == 0xEE)
            released.wait_for(5s);
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

    class Channel : public CardChannel {
    public:
        explicit Channel(std::shared_ptr<KeptCard> card) : card_(std::move(card)) {}
        LONG transmit(std::span<const std::uint8_t>, Bytes& response) override
        {
            response = H("9000");
            return SCARD_S_SUCCESS;
        }
        LONG reconnect() override { return SCARD_S_SUCCESS; }
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
    EXPECT_TRUE(card->sessionOpen());
    auto [answer, status] = card->transmit(H("00A40400"), 1s);
    EXPECT_EQ(status, kIOReturnSuccess);
    EXPECT_EQ(X(answer), "AABB9000");
    std::tie(answer, status) = card->transmit(H("00010203"), 1s);
    EXPECT_EQ(status, kIOReturnError);
    EXPECT_TRUE(answer.empty());
}

TEST(SmartCard, LateAnswerIsDroppedAndNeverAnswersTheNextExchange)
{
    StallingCard script;
    auto card = ScriptedCardChannel::openCard([&](const Bytes& apdu) { return script.answer(apdu); });
    ASSERT_TRUE(card);

    auto [late, status] = card->transmit(H("EE000000"), 100ms);
    EXPECT_EQ(status, kIOReturnTimeout);
    EXPECT_TRUE(late.empty());

    script.release.set_value();
    auto [next, nextStatus] = card->transmit(H("01020304"), 3s);
    EXPECT_EQ(nextStatus, kIOReturnSuccess);
    EXPECT_EQ(X(next), "010203049000");
}

TEST(SmartCard, ExchangeWhoseCallerGaveUpBeforeItWasSentIsNeverSent)
{
    StallingCard script;
    auto card = ScriptedCardChannel::openCard([&](const Bytes& apdu) { return script.answer(apdu); });
    ASSERT_TRUE(card);

    EXPECT_EQ(card->transmit(H("EE000000"), 50ms).second, kIOReturnTimeout);
    EXPECT_EQ(card->transmit(H("0B0B0B0B"), 50ms).second, kIOReturnTimeout); // queued behind the stalled one
    script.release.set_value();
    auto [answer, status] = card->transmit(H("0C0C0C0C"), 3s);
    EXPECT_EQ(status, kIOReturnSuccess);
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
    ASSERT_TRUE(eventually([&] { return script->sentApdus().size() == 1; }));
    card->endSession();
    EXPECT_EQ(waiting.get().second, kIOReturnError);
    EXPECT_FALSE(card->sessionOpen());
    EXPECT_EQ(card->transmit(H("01020304"), 1s).second, kIOReturnError);
    card.reset();
    EXPECT_EQ(script->answered.load(), 0); // the card went while its worker still waited for the stalled card
    script->release.set_value();
}

TEST(SmartCard, SessionThatCannotOpenRepliesFalse)
{
    SmartCard card("Reader", [] { return std::unique_ptr<CardChannel>(); });
    std::promise<bool> opened;
    card.beginSession([&](bool ok) { opened.set_value(ok); });
    EXPECT_FALSE(opened.get_future().get());
    EXPECT_FALSE(card.sessionOpen());
    EXPECT_EQ(card.transmit(H("00A40400"), 1s).second, kIOReturnError);
}

TEST(SmartCard, NoExchangeBeforeTheSessionOpens)
{
    SmartCard card("Reader",
                   [] { return std::make_unique<ScriptedCardChannel>([](const Bytes&) { return H("9000"); }); });
    EXPECT_EQ(card.transmit(H("00A40400"), 1s).second, kIOReturnError);
}

TEST(SmartCard, CardReleasedInsideItsOwnReplyDoesNotHang)
{
    auto card = std::make_shared<SmartCard>(
        "Reader", [] { return std::make_unique<ScriptedCardChannel>([](const Bytes&) { return H("9000"); }); });
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
    auto card = std::make_shared<SmartCard>("Reader", [kept] { return std::make_unique<KeptCard::Channel>(kept); });
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
