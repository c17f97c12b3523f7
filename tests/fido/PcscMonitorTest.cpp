#include "fido/CardEvents.h"
#include "fido/PcscMonitor.h"
#include "support/FakePcscApi.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

using namespace std::chrono_literals;

namespace {

using Events = std::vector<std::string>;

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
    // Waits until the manager has told the reader list without name. Its watcher tells a vanished reader's
    // missing state first, so every report that state causes has come by then.
    bool waitUntilUnlisted(const std::string& name)
    {
        CardEvents lists;
        auto observation = manager->observeSlotNames([&](const std::vector<std::string>& names) {
            if (std::find(names.begin(), names.end(), name) == names.end())
                lists.add("unlisted");
        });
        return lists.waitFor(1);
    }
    bool opened(const std::string& reader)
    {
        auto card = monitor->getActiveCard(reader);
        return card && card->transmit(Bytes{0x01}, 1s).second == kIOReturnSuccess;
    }
    ~Fixture()
    {
        monitor.reset();
        if (manager)
            manager->stop();
    }
};

} // namespace

// "No further report" checks end on a marker: a report that the watcher can only make after any late duplicate.

// Releasing the monitor reports every present card gone.
TEST(PcscMonitor, CardPresentAtStartIsReportedOnceItsSessionOpensAndGoneWithTheMonitor)
{
    Fixture f;
    f.api->addReader("R1", true);
    f.api->addReader("R2");
    f.start();
    ASSERT_TRUE(f.events.waitFor(1));
    EXPECT_EQ(f.monitor->readers(), (std::vector<std::string>{"R1", "R2"}));
    EXPECT_TRUE(f.opened("R1"));
    auto card = f.monitor->getActiveCard("R1");
    EXPECT_FALSE(f.monitor->getActiveCard("R2"));
    EXPECT_FALSE(f.monitor->getActiveCard("R3"));
    f.monitor.reset();
    EXPECT_EQ(f.events.get(), (Events{"+R1", "-R1"}));
    EXPECT_EQ(card->transmit(Bytes{0x01}, 1s).second, kIOReturnError);
}

TEST(PcscMonitor, InsertAndRemoveAreReportedExactlyOnceEachAndPerReader)
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
    EXPECT_TRUE(f.monitor->getActiveCard("R1"));
    EXPECT_FALSE(f.monitor->getActiveCard("R2"));
    f.api->insertCard("R2");
    ASSERT_TRUE(f.events.waitFor(4));
    EXPECT_EQ(f.events.get(), (Events{"+R2", "+R1", "-R2", "+R2"})); // nothing from the empty readers either
}

TEST(PcscMonitor, UnpluggedReaderWithACardReportsItGoneOnce)
{
    Fixture f;
    f.api->addReader("R1", true);
    f.start();
    ASSERT_TRUE(f.events.waitFor(1));
    f.api->removeReader("R1");
    ASSERT_TRUE(f.waitUntilUnlisted("R1"));
    EXPECT_TRUE(f.monitor->readers().empty());
    EXPECT_EQ(f.events.get(), (Events{"+R1", "-R1"}));
}

// The list without the reader comes ahead of any state of it. The receiver asks the monitor for the card at each
// report, as it may: no report is made with a lock held that this needs.
TEST(PcscMonitor, ReaderDroppedFromTheListBeforeItsCardWasSeenLeavingReportsItGoneOnce)
{
    Fixture f;
    std::atomic<PcscMonitor*> monitor{nullptr};
    f.api->addReader("R1", true);
    f.start(f.events.action([&](const std::string& reader) {
        if (PcscMonitor* m = monitor.load())
            m->getActiveCard(reader);
    }));
    monitor = f.monitor.get();
    ASSERT_TRUE(f.events.waitFor(1));
    f.monitor->slotNamesChanged({});
    EXPECT_EQ(f.events.get(), (Events{"+R1", "-R1"}));
    EXPECT_TRUE(f.monitor->readers().empty());
    f.api->removeReader("R1");
    ASSERT_TRUE(f.waitUntilUnlisted("R1"));
    EXPECT_EQ(f.events.get(), (Events{"+R1", "-R1"}));
    monitor = nullptr;
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
    EXPECT_NE(f.monitor->getActiveCard("R1"), first);
    EXPECT_EQ(first->transmit(Bytes{0x01}, 1s).second, kIOReturnError);
    EXPECT_TRUE(f.opened("R1"));
}

// Neither a reader with an empty name, nor a mute card, nor a card whose session cannot open is ever reported:
// the first report is the marker's, a valid card put on the reader afterwards.
TEST(PcscMonitor, WhatCannotBeUsedIsNeverReported)
{
    Fixture f;
    f.api->addReader("", true);
    f.api->addReader("R1");
    f.api->addReader("R2", true);
    f.api->setConnectFails(true);
    f.start();
    EXPECT_EQ(f.monitor->readers(), (std::vector<std::string>{"R1", "R2"}));
    EXPECT_FALSE(f.monitor->getActiveCard(""));
    CardEvents states; // the handler observes the slot first, so it has handled the state by then
    auto observation = f.manager->getSlotWithName("R1")->observeState([&](SmartCardSlotState state) {
        if (state == SmartCardSlotState::muteCard)
            states.add("mute");
    });
    f.api->insertCard("R1", true);
    ASSERT_TRUE(states.waitFor(1));
    f.api->removeReader("R2");
    ASSERT_TRUE(f.waitUntilUnlisted("R2"));
    f.api->setConnectFails(false);
    f.api->insertCard("R1");
    ASSERT_TRUE(f.events.waitFor(1));
    EXPECT_EQ(f.events.get(), (Events{"+R1"}));
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
