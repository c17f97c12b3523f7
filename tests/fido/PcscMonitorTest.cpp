// Card watching on a scripted PC/SC service, for what a live pcscd cannot be made to do. Checks that no further
// report comes end on a marker (a report that can only come after any late duplicate) or once the watcher stopped.
#include "fido/CardEvents.h"
#include "support/FakePcscApi.h"

#include <gtest/gtest.h>

#include <atomic>

using namespace std::chrono_literals;

namespace {

using Events = std::vector<std::string>;

// Its end checks that the watching and the card sessions released every context they opened.
struct Fixture {
    std::shared_ptr<FakePcscApi> api = std::make_shared<FakePcscApi>();
    std::shared_ptr<SmartCardSlotManager> manager;
    CardEvents events;
    std::shared_ptr<PcscMonitor> monitor;

    void start(PcscMonitor::CardAction action = {})
    {
        manager = std::make_shared<SmartCardSlotManager>(api, SmartCardSlotManager::Options{10ms, 40ms});
        monitor = PcscMonitor::create(action ? std::move(action) : events.action(), manager);
        monitor->startWatching();
    }
    ~Fixture()
    {
        monitor.reset();
        manager->stop();
        EXPECT_EQ(api->openContexts(), 0u);
    }
};

} // namespace

// A card already on a reader is reported once its session opens; each card put on or taken off is reported once,
// per reader; a card swapped between two polls is reported gone, then present, and only the new card's session is
// open; releasing the monitor reports every present card gone. Never reported: a reader with an empty name, a mute
// card, a card whose session cannot open. Without a manager nothing is watched.
TEST(PcscMonitor, CardsAreReportedOnceEachAndPerReader)
{
    Fixture f;
    f.api->addReader("", true);
    f.api->addReader("R1", true);
    f.api->addReader("R2");
    f.api->addReader("R3", true, false);
    f.start();
    ASSERT_TRUE(f.events.waitFor(1));
    EXPECT_EQ(f.monitor->readers(), (Events{"R1", "R2", "R3"}));
    f.api->insertCard("R2", true);
    ASSERT_TRUE(eventually([&] { return f.manager->getSlotWithName("R2")->state() == SmartCardSlotState::muteCard; }));
    f.api->insertCard("R2");
    ASSERT_TRUE(f.events.waitFor(2));
    f.api->removeCard("R2");
    ASSERT_TRUE(f.events.waitFor(3));
    EXPECT_FALSE(f.monitor->getActiveCard("R2"));
    auto first = f.monitor->getActiveCard("R1");
    f.api->swapCard("R1");
    ASSERT_TRUE(f.events.waitFor(5));
    EXPECT_EQ(first->transmit(Bytes{0x01}, 1s).second, kIOReturnError);
    auto second = f.monitor->getActiveCard("R1");
    ASSERT_TRUE(second);
    EXPECT_EQ(second->transmit(Bytes{0x01}, 1s).second, kIOReturnSuccess);
    f.monitor.reset();
    EXPECT_EQ(f.events.of(), (Events{"+R1", "+R2", "-R2", "-R1", "+R1", "-R1"}));
    EXPECT_EQ(second->transmit(Bytes{0x01}, 1s).second, kIOReturnError);

    auto unwatched = PcscMonitor::create(f.events.action(), nullptr);
    unwatched->startWatching();
    EXPECT_TRUE(unwatched->readers().empty());
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
    f.start(f.events.action([&](const std::string& reader) {
        if (PcscMonitor* m = monitor.load())
            m->getActiveCard(reader);
    }));
    monitor = f.monitor.get();
    EXPECT_TRUE(f.monitor->readers().empty());
    f.api->setServiceRunning(true);
    ASSERT_TRUE(f.events.waitFor(2));
    f.monitor->slotNamesChanged({"R2"});
    EXPECT_EQ(f.monitor->readers(), Events{"R2"});
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
