#include "platform/SmartCard.h"
#include "TestHex.h"
#include "support/ScriptedCardChannel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>

using namespace std::chrono_literals;

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

    auto holder = std::make_shared<std::shared_ptr<SmartCard>>(
        std::make_shared<SmartCard>([] { return std::make_unique<ScriptedCardChannel>(ScriptedCardChannel::echo); }));
    auto done = std::make_shared<std::promise<void>>();
    (*holder)->beginSession([holder, done](bool) {
        holder->reset();
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
    auto card = ScriptedCardChannel::openCard(
        [&] { return std::make_unique<ScriptedCardChannel>(ScriptedCardChannel::echo, transactions); });
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
