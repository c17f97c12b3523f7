// Card watching and card sessions against the real pcscd, with a scripted virtual card on the first vpcd reader.
#include "TestHex.h"
#include "fido/CardEvents.h"
#include "fido/PcscHelper.h"
#include "fido/PcscMonitor.h"
#include "softkey/VpcdCard.h"
#include "support/CardRig.h"
#include "support/ScriptedCardChannel.h"
#include "support/Subprocess.h"

#include <gtest/gtest.h>

#include <future>

using namespace std::chrono_literals;

namespace {

const std::string kReader = "Virtual PCD 00 00";

// Where the card's answer to one APDU stops until the test lets it through.
struct Gate {
    std::promise<void> reached, open;
    std::shared_future<void> opened = open.get_future().share();
    void pass()
    {
        reached.set_value();
        opened.wait_for(20s); // bounded, should the test fail early
    }
};

// A card already on reader 0 when the monitor starts watching (with the reader's port lock held). It echoes each
// APDU, but holds its answer to INS EE or DD at a gate.
class CardOnReader0 : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(CardRig::waitForReader(kReader, false, 5s));
        ASSERT_TRUE(vcard_.insert()) << "vpcd must be listening (is pcscd running?)";
        ASSERT_TRUE(CardRig::waitForReader(kReader, true, 5s));
        monitor_->startWatching();
        ASSERT_TRUE(events_.waitFor(1, kReader));
        card_ = monitor_->getActiveCard(kReader);
        ASSERT_TRUE(card_);
    }

    VpcdPortLock lock_{VpcdCard::kPortReader0};
    Gate late_, removal_;
    VpcdCard vcard_{VpcdCard::kPortReader0, {0x3B, 0x80, 0x80, 0x01, 0x01}, [this](const Bytes& apdu) {
                        if (apdu[1] == 0xEE || apdu[1] == 0xDD)
                            (apdu[1] == 0xEE ? late_ : removal_).pass();
                        return ScriptedCardChannel::echo(apdu);
                    }};
    CardEvents events_;
    std::shared_ptr<PcscMonitor> monitor_ = PcscMonitor::create(events_.action());
    std::shared_ptr<SmartCard> card_;
};

} // namespace

// A stalled card's exchange times out and its late answer is dropped. A card taken off during an exchange ends
// that exchange at once and every later one; it and the next card are reported once each.
TEST_F(CardOnReader0, StalledCardTimesOutAndRemovalEndsAWaitingExchange)
{
    EXPECT_EQ(card_->transmit(H("00EE0000"), 1s), (SmartCard::Response{{}, kIOReturnTimeout}));
    late_.open.set_value(); // the late answer comes before the next APDU can reach the card
    EXPECT_EQ(card_->transmit(H("00010000"), 5s), (SmartCard::Response{H("000100009000"), kIOReturnSuccess}));

    auto waiting = std::async(std::launch::async, [&] { return card_->transmit(H("00DD0000"), 60s); });
    removal_.reached.get_future().wait();
    auto removing = std::async(std::launch::async, [&] { vcard_.remove(); });
    EXPECT_EQ(waiting.get().second, kIOReturnError);
    removal_.open.set_value();
    removing.get();
    ASSERT_TRUE(events_.waitFor(2, kReader));
    EXPECT_EQ(card_->transmit(H("00010000"), 5s).second, kIOReturnError);
    ASSERT_TRUE(vcard_.insert());
    ASSERT_TRUE(events_.waitFor(3, kReader));
    monitor_.reset(); // after which no late duplicate can come
    const std::string present = "+" + kReader, gone = "-" + kReader;
    EXPECT_EQ(events_.of(kReader), (std::vector<std::string>{present, gone, present, gone}));
}

// Another program keeps the card in a transaction of its own: binding the card waits for it within the bound
// only, and binds nothing. After another program reset the card, binding connects to it anew.
TEST_F(CardOnReader0, CardKeptOrResetByAnotherProgram)
{
    PcscHelper helper(nullptr, {300ms, 30000ms});
    ChildProcess other(otherCardClient(kReader, "hold"));
    ASSERT_EQ(other.readLine(), "held");
    auto bind = std::async(std::launch::async, [&] { return helper.setActiveCard(card_); });
    if (bind.wait_for(20s) != std::future_status::ready)
        other.closeInput(); // lets the card go, so a transport that waits on fails here instead of hanging
    EXPECT_EQ(bind.get(), kIOReturnTimeout);
    EXPECT_FALSE(helper.isCardPresent());
    EXPECT_EQ(other.finish(), 0);

    ASSERT_EQ(runSubprocess(otherCardClient(kReader, "reset")).exitCode, 0);
    ASSERT_EQ(helper.setActiveCard(card_), kIOReturnSuccess);
    EXPECT_EQ(helper.sendCmdMsg(H("00010000")), (PcscHelper::Response{H("00010000009000"), kIOReturnSuccess}));
    helper.setActiveCard(nullptr);
}
