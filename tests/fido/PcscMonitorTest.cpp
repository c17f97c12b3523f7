#include "fido/CardEvents.h"
#include "fido/PcscMonitor.h"
#include "support/FakePcscApi.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace std::chrono_literals;

namespace {

struct Fixture {
    std::shared_ptr<FakePcscApi> api = std::make_shared<FakePcscApi>();
    std::shared_ptr<SmartCardSlotManager> manager;
    CardEvents events;
    std::shared_ptr<PcscMonitor> monitor;

    void start()
    {
        manager = std::make_shared<SmartCardSlotManager>(api, SmartCardSlotManager::Options{10ms, 40ms});
        monitor = PcscMonitor::create(events.action(), manager);
        monitor->startWatching();
    }
    ~Fixture()
    {
        monitor.reset();
        if (manager)
            manager->stop();
    }
};

using Events = std::vector<std::string>;

// Time for a report that must not come to show up if it were going to.
constexpr auto kQuiet = 150ms;

} // namespace

TEST(PcscMonitor, CardPresentAtStartIsReportedOnceItsSessionOpens)
{
    Fixture f;
    f.api->addReader("R1", true);
    f.api->addReader("R2");
    f.start();
    ASSERT_TRUE(f.events.waitFor(1));
    std::this_thread::sleep_for(kQuiet);
    EXPECT_EQ(f.events.get(), Events{"+R1"});
    EXPECT_EQ(f.monitor->readers(), (std::vector<std::string>{"R1", "R2"}));
    auto card = f.monitor->getActiveCard("R1");
    ASSERT_TRUE(card);
    EXPECT_TRUE(card->sessionOpen());
    EXPECT_EQ(card->readerName(), "R1");
    EXPECT_FALSE(f.monitor->getActiveCard("R2"));
    EXPECT_FALSE(f.monitor->getActiveCard("R3"));
}

TEST(PcscMonitor, InsertAndRemoveAreReportedExactlyOnceEach)
{
    Fixture f;
    f.api->addReader("R1");
    f.start();
    std::this_thread::sleep_for(kQuiet);
    EXPECT_TRUE(f.events.get().empty()); // an empty reader reports nothing
    f.api->insertCard("R1");
    ASSERT_TRUE(f.events.waitFor(1));
    f.api->removeCard("R1");
    ASSERT_TRUE(f.events.waitFor(2));
    std::this_thread::sleep_for(kQuiet);
    EXPECT_EQ(f.events.get(), (Events{"+R1", "-R1"}));
    EXPECT_FALSE(f.monitor->getActiveCard("R1"));
}

TEST(PcscMonitor, TwoReadersAreReportedIndependently)
{
    Fixture f;
    f.api->addReader("R1");
    f.api->addReader("R2");
    f.start();
    f.api->insertCard("R2");
    ASSERT_TRUE(f.events.waitFor(1));
    f.api->insertCard("R1");
    ASSERT_TRUE(f.events.waitFor(2));
    f.api->removeCard("R2");
    ASSERT_TRUE(f.events.waitFor(3));
    EXPECT_EQ(f.events.get(), (Events{"+R2", "+R1", "-R2"}));
    EXPECT_TRUE(f.monitor->getActiveCard("R1"));
    EXPECT_FALSE(f.monitor->getActiveCard("R2"));
}

TEST(PcscMonitor, UnpluggedReaderWithACardReportsItGoneOnce)
{
    Fixture f;
    f.api->addReader("R1", true);
    f.start();
    ASSERT_TRUE(f.events.waitFor(1));
    f.api->removeReader("R1");
    ASSERT_TRUE(eventually([&] { return f.monitor->readers().empty(); }));
    std::this_thread::sleep_for(kQuiet);
    EXPECT_EQ(f.events.get(), (Events{"+R1", "-R1"}));
}

TEST(PcscMonitor, ReaderDroppedFromTheListBeforeItsCardWasSeenLeavingReportsItGoneOnce)
{
    Fixture f;
    f.api->addReader("R1", true);
    f.start();
    ASSERT_TRUE(f.events.waitFor(1));
    f.monitor->slotNamesChanged({}); // a list without the reader, ahead of any state of it
    EXPECT_EQ(f.events.get(), (Events{"+R1", "-R1"}));
    EXPECT_TRUE(f.monitor->readers().empty());
    f.api->removeReader("R1");
    std::this_thread::sleep_for(kQuiet);
    EXPECT_EQ(f.events.get(), (Events{"+R1", "-R1"}));
}

TEST(PcscMonitor, SwappedCardIsReportedGoneThenPresent)
{
    Fixture f;
    f.api->addReader("R1", true);
    f.start();
    ASSERT_TRUE(f.events.waitFor(1));
    auto first = f.monitor->getActiveCard("R1");
    f.api->swapCard("R1");
    ASSERT_TRUE(f.events.waitFor(3));
    EXPECT_EQ(f.events.get(), (Events{"+R1", "-R1", "+R1"}));
    auto second = f.monitor->getActiveCard("R1");
    ASSERT_TRUE(second);
    EXPECT_NE(first, second);
    EXPECT_FALSE(first->sessionOpen());
    EXPECT_TRUE(second->sessionOpen());
}

TEST(PcscMonitor, ReaderWithAnEmptyNameIsNeverWatched)
{
    Fixture f;
    f.api->addReader("", true);
    f.api->addReader("R1");
    f.start();
    std::this_thread::sleep_for(kQuiet);
    EXPECT_EQ(f.monitor->readers(), std::vector<std::string>{"R1"});
    EXPECT_TRUE(f.events.get().empty());
    EXPECT_FALSE(f.monitor->getActiveCard(""));
}

TEST(PcscMonitor, WithoutAManagerNothingIsEverReported)
{
    CardEvents events;
    auto monitor = PcscMonitor::create(events.action(), nullptr);
    monitor->startWatching();
    EXPECT_FALSE(monitor->mngr());
    EXPECT_TRUE(monitor->readers().empty());
    EXPECT_FALSE(monitor->getActiveCard("Virtual PCD 00 00"));
    monitor.reset();
    EXPECT_TRUE(events.get().empty());
}

TEST(PcscMonitor, CardWhoseSessionCannotOpenIsNotReported)
{
    Fixture f;
    f.api->addReader("R1");
    f.api->setConnectFails(true);
    f.start();
    f.api->insertCard("R1");
    ASSERT_TRUE(eventually([&] { return f.manager->getSlotWithName("R1")->state() == SmartCardSlotState::validCard; }));
    std::this_thread::sleep_for(kQuiet);
    EXPECT_TRUE(f.events.get().empty());
    EXPECT_FALSE(f.monitor->getActiveCard("R1"));
    f.api->removeCard("R1");
    std::this_thread::sleep_for(kQuiet);
    EXPECT_TRUE(f.events.get().empty()); // never reported present, so never reported gone
}

TEST(PcscMonitor, MuteCardIsNotReported)
{
    Fixture f;
    f.api->addReader("R1");
    f.start();
    f.api->insertCard("R1", true);
    std::this_thread::sleep_for(kQuiet);
    EXPECT_TRUE(f.events.get().empty());
}

TEST(PcscMonitor, ReleasingTheMonitorReportsPresentCardsGone)
{
    Fixture f;
    f.api->addReader("R1", true);
    f.api->addReader("R2");
    f.start();
    ASSERT_TRUE(f.events.waitFor(1));
    auto card = f.monitor->getActiveCard("R1");
    f.monitor.reset();
    EXPECT_EQ(f.events.get(), (Events{"+R1", "-R1"}));
    EXPECT_FALSE(card->sessionOpen());
}

TEST(PcscMonitor, ServiceRestartReportsCardsGoneAndPresentAgain)
{
    Fixture f;
    f.api->addReader("R1", true);
    f.start();
    ASSERT_TRUE(f.events.waitFor(1));
    f.api->setServiceRunning(false);
    ASSERT_TRUE(f.events.waitFor(2));
    f.api->setServiceRunning(true);
    ASSERT_TRUE(f.events.waitFor(3));
    EXPECT_EQ(f.events.get(), (Events{"+R1", "-R1", "+R1"}));
    EXPECT_TRUE(f.monitor->getActiveCard("R1"));
}
