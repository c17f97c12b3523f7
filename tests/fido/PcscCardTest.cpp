// Card watching and sessions, on a scripted PC/SC service for what a live pcscd cannot be made to do, and on the
// real pcscd with a scripted card on the first vpcd reader. Checks that no further report comes end on a marker
// (a report that can only come after any late duplicate) or once the watcher stopped.
#include "TestHex.h"
#include "fido/PcscHelper.h"
#include "fido/PcscMonitor.h"
#include "support/CardRig.h"
#include "support/FakePcscApi.h"
#include "support/ScriptedCardChannel.h"
#include "support/Subprocess.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <numeric>

using namespace std::chrono_literals;

namespace {

using Events = std::vector<std::string>;
using OnReport = std::function<void(bool present, const std::string& reader)>;

// The names of the watched readers, in name order.
Events names(const PcscMonitor::Readers& readers)
{
    Events list;
    for (const auto& [name, handler] : readers)
        list.push_back(name);
    return list;
}

// A card monitor's reports as "+R1" (present) and "-R1" (gone), in arrival order.
class CardEvents {
public:
    // onReport runs first at each report, as a receiver's own work would.
    PcscMonitor::CardAction action(OnReport onReport = {})
    {
        return [this, onReport](bool present, const std::string& reader) {
            if (onReport)
                onReport(present, reader);
            std::lock_guard lock(mutex_);
            events_.push_back((present ? "+" : "-") + reader);
        };
    }
    // The reports of one reader (a test elsewhere on this machine may use another one), or all of them.
    std::vector<std::string> of(const std::string& reader = {})
    {
        std::lock_guard lock(mutex_);
        std::vector<std::string> mine;
        std::copy_if(events_.begin(), events_.end(), std::back_inserter(mine),
                     [&](const std::string& e) { return reader.empty() || e.substr(1) == reader; });
        return mine;
    }
    bool waitFor(std::size_t count, const std::string& reader = {})
    {
        return eventually([&] { return of(reader).size() >= count; }, std::chrono::seconds(5));
    }

private:
    std::mutex mutex_;
    std::vector<std::string> events_;
};

// A monitor of a scripted service's readers; it goes before the manager.
struct Fixture {
    std::shared_ptr<FakePcscApi> api = std::make_shared<FakePcscApi>();
    std::shared_ptr<SmartCardSlotManager> manager;
    CardEvents events;
    std::shared_ptr<PcscMonitor> monitor;

    void start(OnReport onReport = {})
    {
        manager = std::make_shared<SmartCardSlotManager>(api, SmartCardSlotManager::Options{10ms, 40ms});
        monitor = PcscMonitor::create(events.action(std::move(onReport)), manager);
        monitor->startWatching();
    }
};

const std::string kReader = "Virtual PCD 00 00";

// A card already on reader 0 when the monitor starts watching (with the reader's port lock held). It echoes each
// APDU unless a test scripts its answers, but holds its answer to INS DD until released.
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

    // Answers every later APDU through script, and records them.
    void script(ScriptedCardChannel::Handler script)
    {
        std::lock_guard lock(mutex_);
        script_ = std::move(script);
        received_.clear();
    }
    Events received()
    {
        std::lock_guard lock(mutex_);
        return received_;
    }

    VpcdPortLock lock_{VpcdCard::kPortReader0};
    std::promise<void> held_, release_;
    std::mutex mutex_;
    ScriptedCardChannel::Handler script_;
    Events received_;
    VpcdCard vcard_{VpcdCard::kPortReader0,
                    {0x3B, 0x80, 0x80, 0x01, 0x01},
                    [this, released = release_.get_future().share()](const Bytes& apdu) {
                        if (apdu[1] == 0xDD) {
                            held_.set_value();
                            released.wait_for(20s); // bounded, should the test fail early
                        }
                        std::lock_guard lock(mutex_);
                        received_.push_back(X(apdu));
                        return script_ ? script_(apdu) : ScriptedCardChannel::echo(apdu);
                    }};
    CardEvents events_;
    std::shared_ptr<PcscMonitor> monitor_ = PcscMonitor::create(events_.action());
    std::shared_ptr<SmartCard> card_;
};

} // namespace

// A card already on a reader is reported once its session opens; each card put on or taken off is reported once,
// per reader, and each reader's card answers on its own reader; a card swapped between two polls is reported gone,
// then present, and only the new card's session is open; releasing the monitor reports every present card gone.
// Never reported, and never handed out: a reader with an empty name, a mute card, a card whose session cannot open.
TEST(PcscMonitor, CardsAreReportedOnceEachAndPerReader)
{
    Fixture f;
    f.api->addReader("", true);
    f.api->addReader("R1", true);
    f.api->addReader("R2");
    f.api->addReader("R3", true, false);
    f.api->setResponder([](const std::string& reader, const Bytes& apdu) {
        Bytes reply(reader.begin(), reader.end());
        reply.insert(reply.end(), apdu.begin(), apdu.end());
        reply.insert(reply.end(), {0x90, 0x00});
        return reply;
    });
    f.start();
    ASSERT_TRUE(f.events.waitFor(1));
    EXPECT_EQ(names(f.monitor->readers()), (Events{"R1", "R2", "R3"}));
    EXPECT_TRUE(eventually([&] { return !f.monitor->getActiveCard("R3"); }));
    EXPECT_FALSE(f.monitor->getActiveCard(""));
    EXPECT_FALSE(f.monitor->getActiveCard("R9"));
    f.api->insertCard("R2", true);
    ASSERT_TRUE(eventually([&] { return f.manager->getSlotWithName("R2")->state() == SmartCardSlotState::muteCard; }));
    f.api->insertCard("R2");
    ASSERT_TRUE(f.events.waitFor(2));
    EXPECT_EQ(f.monitor->getActiveCard("R2")->transmit(Bytes{0x02}, 1s),
              (SmartCard::Response{H("5232029000"), kIOReturnSuccess}));
    f.api->removeCard("R2");
    ASSERT_TRUE(f.events.waitFor(3));
    EXPECT_FALSE(f.monitor->getActiveCard("R2"));
    auto first = f.monitor->getActiveCard("R1");
    f.api->swapCard("R1");
    ASSERT_TRUE(f.events.waitFor(5));
    EXPECT_EQ(first->transmit(Bytes{0x01}, 1s).second, kIOReturnError);
    auto second = f.monitor->getActiveCard("R1");
    ASSERT_TRUE(second);
    EXPECT_EQ(second->transmit(Bytes{0x01}, 1s), (SmartCard::Response{H("5231019000"), kIOReturnSuccess}));
    f.monitor.reset();
    EXPECT_EQ(f.events.of(), (Events{"+R1", "+R2", "-R2", "-R1", "+R1", "-R1"}));
    EXPECT_EQ(second->transmit(Bytes{0x01}, 1s).second, kIOReturnError);
}

// A handler made idle opens no session and reports nothing until it is told to watch, so its owner can file it
// first; one stopped before that never watches at all, and its card is never opened.
TEST(CardHandler, AnIdleHandlerWatchesOnlyOnceToldAndNeverAfterAStop)
{
    Fixture f;
    f.api->addReader("R1", true);
    f.api->addReader("R2", true);
    f.start();
    ASSERT_TRUE(f.events.waitFor(2));
    const auto idle = CardHandler::createIdle(f.manager->getSlotWithName("R1"), f.events.action());
    const auto stopped = CardHandler::createIdle(f.manager->getSlotWithName("R2"), f.events.action());
    EXPECT_FALSE(idle->slotObservation() || idle->activeCard());
    stopped->stop();
    stopped->observeSlot();
    EXPECT_FALSE(stopped->slotObservation() || stopped->activeCard());
    idle->observeSlot();
    EXPECT_TRUE(idle->slotObservation() && idle->activeCard());
    ASSERT_TRUE(f.events.waitFor(3));
    f.monitor.reset();
    idle->stop();
    EXPECT_EQ(f.events.of("R1"), (Events{"+R1", "+R1", "-R1", "-R1"}));
    EXPECT_EQ(f.events.of("R2"), (Events{"+R2", "-R2"}));
}

// Without a smart-card service there are no readers, no cards and no reports.
TEST(PcscMonitor, WithoutAManagerNothingIsEverReported)
{
    CardEvents events;
    auto monitor = PcscMonitor::create(events.action(), nullptr);
    monitor->startWatching();
    EXPECT_FALSE(monitor->mngr());
    EXPECT_TRUE(monitor->readers().empty());
    EXPECT_FALSE(monitor->getActiveCard("Virtual PCD 00 00"));
    monitor.reset();
    EXPECT_TRUE(events.of().empty());
}

// The receiver of the reports stops the monitor while a report is under way, made as a reader leaves the list:
// by the watcher as it sees the reader missing, or by a thread that handles a new reader list (and holds the
// monitor meanwhile) as it drops the reader. stop waits for that report to end, and once it returns no report comes
// any more, whatever the watcher sees next and on whichever thread the monitor goes, so the receiver may go at once.
TEST(PcscMonitor, StopWaitsForAReportUnderWayAndNoneComesAfterIt)
{
    for (const bool listHandledElsewhere : {false, true}) {
        SCOPED_TRACE(listHandledElsewhere ? "list handled on another thread" : "reader missing on the watcher");
        Fixture f;
        std::promise<void> held, release;
        std::atomic<bool> stopped{false};
        std::atomic<int> late{0};
        f.api->addReader("R1", true);
        f.api->addReader("R2", true);
        f.start([&, released = release.get_future().share()](bool present, const std::string& reader) {
            late += stopped ? 1 : 0;
            if (!present && reader == "R2") {
                held.set_value();
                released.wait_for(20s); // bounded, should the test fail early
            }
            late += stopped ? 1 : 0;
        });
        ASSERT_TRUE(f.events.waitFor(2));
        std::future<void> listing;
        if (listHandledElsewhere)
            listing = std::async(std::launch::async, [monitor = f.monitor]() mutable {
                monitor->slotNamesChanged({"R1"});
                monitor.reset(); // perhaps the last holder
            });
        else
            f.api->removeReader("R2");
        held.get_future().wait();
        auto stopping = std::async(std::launch::async, [&] {
            f.monitor->stop();
            stopped = true;
            f.monitor.reset();
        });
        // A stop that did not wait for the report would be back at once.
        EXPECT_EQ(stopping.wait_for(200ms), std::future_status::timeout) << "stop returned during a report";
        release.set_value();
        stopping.get();
        if (listing.valid())
            listing.get();
        f.api->removeCard("R1");
        f.api->addReader("R3", true);
        // The watcher has dealt with all of it before it stops: none of it is reported.
        ASSERT_TRUE(eventually([&] {
            const auto r1 = f.manager->getSlotWithName("R1");
            const auto r3 = f.manager->getSlotWithName("R3");
            return r1 && r1->state() == SmartCardSlotState::empty && r3 && r3->state() == SmartCardSlotState::validCard;
        }));
        f.manager->stop();
        EXPECT_EQ(late.load(), 0);
        EXPECT_EQ(f.events.of("R1"), Events{"+R1"});
        EXPECT_EQ(f.events.of("R2"), (Events{"+R2", "-R2"}));
    }
}

// A service absent at start is tried again until it comes. A vanished reader reports its card gone once, whether
// the list without it came first or the watcher saw it missing; one listed again is watched again. When the
// service goes away its cards are reported gone, and present again once it is back. The receiver asks the monitor
// for the card at each report, as it may: no report is made with a lock held that this needs.
TEST(PcscMonitor, ReadersAndTheServiceComingAndGoingAreFollowed)
{
    Fixture f;
    std::atomic<PcscMonitor*> monitor{nullptr};
    f.api->setServiceRunning(false);
    f.api->addReader("R1", true);
    f.api->addReader("R2", true);
    f.start([&](bool, const std::string& reader) {
        if (PcscMonitor* m = monitor.load())
            m->getActiveCard(reader);
    });
    monitor = f.monitor.get();
    EXPECT_TRUE(f.monitor->readers().empty());
    f.api->setServiceRunning(true);
    ASSERT_TRUE(f.events.waitFor(2));
    f.monitor->slotNamesChanged({"R2"});
    EXPECT_EQ(names(f.monitor->readers()), Events{"R2"});
    f.api->removeReader("R2"); // the list that follows has R1 again
    ASSERT_TRUE(f.events.waitFor(5));
    f.api->setServiceRunning(false);
    ASSERT_TRUE(f.events.waitFor(6));
    f.api->setServiceRunning(true);
    ASSERT_TRUE(f.events.waitFor(7));
    f.api->removeReader("R1");
    ASSERT_TRUE(f.events.waitFor(8));
    f.manager->stop();
    EXPECT_EQ(f.events.of("R1"), (Events{"+R1", "-R1", "+R1", "-R1", "+R1", "-R1"}));
    EXPECT_EQ(f.events.of("R2"), (Events{"+R2", "-R2"}));
    monitor = nullptr;
}

// A card taken off during an exchange ends that exchange at once; it and the next card are reported once each.
TEST_F(CardOnReader0, CardTakenOffEndsAWaitingExchange)
{
    auto waiting = std::async(std::launch::async, [&] { return card_->transmit(H("00DD0000"), 60s); });
    held_.get_future().wait();
    auto removing = std::async(std::launch::async, [&] { vcard_.remove(); });
    EXPECT_EQ(waiting.get().second, kIOReturnError);
    release_.set_value();
    removing.get();
    ASSERT_TRUE(events_.waitFor(2, kReader));
    ASSERT_TRUE(vcard_.insert());
    ASSERT_TRUE(events_.waitFor(3, kReader));
    monitor_.reset(); // after which no late duplicate can come
    EXPECT_EQ(events_.of(kReader), (Events{"+" + kReader, "-" + kReader, "+" + kReader, "-" + kReader}));
}

// Through pcscd, a request longer than one short APDU goes in 240-byte pieces and a long answer is joined through
// GET RESPONSE.
TEST_F(CardOnReader0, RequestsAreChainedAndMoreDataIsJoined)
{
    PcscHelper helper(nullptr);
    ASSERT_EQ(helper.setActiveCard(card_), kIOReturnSuccess);
    Bytes request(300);
    std::iota(request.begin(), request.end(), std::uint8_t{1});
    const std::string first = X(std::span(request).first(240));
    script([](const Bytes& apdu) {
        if (apdu[0] & 0x10)
            return H("9000"); // a piece of a chain
        if (apdu[1] == 0xC0)
            return H("CCDD9000");
        return apdu.size() == 7 ? H("00AABB6110") : H("00A19000");
    });
    EXPECT_EQ(helper.sendCmdCbor(request), (PcscHelper::Response{H("00A1"), kIOReturnSuccess}));
    EXPECT_EQ(helper.sendCmdCbor(std::span(request).first(240)), (PcscHelper::Response{H("00A1"), kIOReturnSuccess}));
    EXPECT_EQ(helper.sendCmdCbor(H("04")), (PcscHelper::Response{H("00AABBCCDD"), kIOReturnSuccess}));
    EXPECT_EQ(received(), (Events{"90108000F0" + first, "801080003C" + X(std::span(request).subspan(240)) + "00",
                                  "80108000F0" + first + "00", "80108000010400", "00C0000010"}));
    helper.setActiveCard(nullptr);
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
}
