// The card object and its worker on scripted card channels: answers, sessions, late answers, transactions.
#include "platform/SmartCard.h"
#include "TestHex.h"
#include "support/ScriptedCardChannel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>

using namespace std::chrono_literals;

// An answer passes as it came; an exchange the service could not carry out is an error without an answer.
TEST(SmartCard, ExchangeGivesTheAnswerOrAnError)
{
    auto card = ScriptedCardChannel::openCard([](const Bytes& apdu) {
        return apdu == H("00010203") ? Bytes{} : H("AABB9000"); // empty: the service could not carry it out
    });
    ASSERT_TRUE(card);
    EXPECT_EQ(card->transmit(H("00A40400"), 1s), (SmartCard::Response{H("AABB9000"), kIOReturnSuccess}));
    EXPECT_EQ(card->transmit(H("00010203"), 1s), (SmartCard::Response{{}, kIOReturnError}));
}

// Nothing is sent before the session is open, nor on a card whose session could not open.
TEST(SmartCard, NoExchangeWithoutAnOpenSession)
{
    const auto answering = [] { return std::make_unique<ScriptedCardChannel>(ScriptedCardChannel::echo); };
    SmartCard notBegun(answering);
    EXPECT_EQ(notBegun.transmit(H("00A40400"), 1s).second, kIOReturnError);

    SmartCard unreachable([] { return std::unique_ptr<CardChannel>(); });
    std::promise<bool> opened;
    unreachable.beginSession([&](bool ok) { opened.set_value(ok); });
    EXPECT_FALSE(opened.get_future().get());
    EXPECT_EQ(unreachable.transmit(H("00A40400"), 1s).second, kIOReturnError);
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
