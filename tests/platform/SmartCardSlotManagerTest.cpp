// Reader watching on a scripted PC/SC service: the reader list and the slot states the watcher derives from it,
// the service going and coming back, and the stop path; plus the pure pieces beneath (state words, multi-strings).
#include "platform/SmartCardSlotManager.h"
#include "platform/PcscLiteApi.h"
#include "support/Eventually.h"
#include "support/FakePcscApi.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <future>
#include <mutex>
#include <string>
#include <vector>

using namespace std::chrono_literals;

namespace {

const SmartCardSlotManager::Options kQuickBackoff{10ms, 40ms};

// Everything the observers hear, in one ordered log ("R1:valid", "names:R1,R2").
struct EventLog {
    std::mutex mutex;
    std::vector<std::string> events;

    void add(std::string event)
    {
        std::lock_guard lock(mutex);
        events.push_back(std::move(event));
    }
    std::vector<std::string> get()
    {
        std::lock_guard lock(mutex);
        return events;
    }
    void clear()
    {
        std::lock_guard lock(mutex);
        events.clear();
    }
};

std::string stateName(SmartCardSlotState state)
{
    switch (state) {
    case SmartCardSlotState::missing: return "missing";
    case SmartCardSlotState::empty: return "empty";
    case SmartCardSlotState::probing: return "probing";
    case SmartCardSlotState::muteCard: return "mute";
    case SmartCardSlotState::validCard: return "valid";
    }
    return "?";
}

Observation observeSlot(SmartCardSlotManager& manager, const std::string& name, EventLog& log)
{
    auto slot = manager.getSlotWithName(name);
    if (!slot)
        return {};
    return slot->observeState([&log, name](SmartCardSlotState state) { log.add(name + ":" + stateName(state)); });
}

Observation observeNames(SmartCardSlotManager& manager, EventLog& log)
{
    return manager.observeSlotNames([&log](const std::vector<std::string>& names) {
        std::string text = "names:";
        for (std::size_t i = 0; i < names.size(); ++i)
            text += (i ? "," : "") + names[i];
        log.add(text);
    });
}

} // namespace

TEST(SmartCardSlotState, ReaderStateWordsMapToSlotStates)
{
    EXPECT_EQ(slotStateFromReaderState(SCARD_STATE_UNKNOWN | SCARD_STATE_CHANGED), SmartCardSlotState::missing);
    EXPECT_EQ(slotStateFromReaderState(SCARD_STATE_IGNORE), SmartCardSlotState::missing);
    EXPECT_EQ(slotStateFromReaderState(SCARD_STATE_UNAVAILABLE), SmartCardSlotState::missing);
    EXPECT_EQ(slotStateFromReaderState(SCARD_STATE_EMPTY | (3u << 16)), SmartCardSlotState::empty);
    EXPECT_EQ(slotStateFromReaderState(SCARD_STATE_PRESENT | SCARD_STATE_MUTE), SmartCardSlotState::muteCard);
    EXPECT_EQ(slotStateFromReaderState(SCARD_STATE_PRESENT | SCARD_STATE_INUSE | (7u << 16)),
              SmartCardSlotState::validCard);
    EXPECT_EQ(slotStateFromReaderState(SCARD_STATE_UNAWARE), SmartCardSlotState::probing);
}

TEST(PcscLiteApi, MultiStringSplitsAtNulsAndStopsAtTheEmptyName)
{
    const char list[] = "Reader A\0Reader B\0\0garbage";
    EXPECT_EQ(PcscLiteApi::splitMultiString(list, sizeof list - 1), (std::vector<std::string>{"Reader A", "Reader B"}));
    const char unterminated[] = {'A', 'B'};
    EXPECT_EQ(PcscLiteApi::splitMultiString(unterminated, 2), (std::vector<std::string>{"AB"}));
    EXPECT_TRUE(PcscLiteApi::splitMultiString("\0", 1).empty());
    EXPECT_TRUE(PcscLiteApi::splitMultiString("", 0).empty());
}

TEST(SmartCardSlotManager, ReadersAndTheirStatesAreKnownWhenTheConstructorReturns)
{
    auto api = std::make_shared<FakePcscApi>();
    api->addReader("R1", true);
    api->addReader("R2");
    SmartCardSlotManager manager(api, kQuickBackoff);
    EXPECT_EQ(manager.slotNames(), (std::vector<std::string>{"R1", "R2"}));
    ASSERT_TRUE(manager.getSlotWithName("R1"));
    EXPECT_EQ(manager.getSlotWithName("R1")->state(), SmartCardSlotState::validCard);
    EXPECT_EQ(manager.getSlotWithName("R2")->state(), SmartCardSlotState::empty);
    EXPECT_FALSE(manager.getSlotWithName("R3"));
}

TEST(SmartCardSlotManager, CardEventsReachTheSlotObserversInOrder)
{
    auto api = std::make_shared<FakePcscApi>();
    api->addReader("R1");
    SmartCardSlotManager manager(api, kQuickBackoff);
    EventLog log;
    auto observation = observeSlot(manager, "R1", log);
    api->insertCard("R1");
    ASSERT_TRUE(eventually([&] { return log.get().size() == 2; }));
    api->removeCard("R1");
    ASSERT_TRUE(eventually([&] { return log.get().size() == 3; }));
    api->insertCard("R1", true);
    ASSERT_TRUE(eventually([&] { return log.get().size() == 4; }));
    EXPECT_EQ(log.get(), (std::vector<std::string>{"R1:empty", "R1:valid", "R1:empty", "R1:mute"}));
}

TEST(SmartCardSlotManager, CardSwappedBetweenTwoLooksIsToldAsEmptyThenValid)
{
    auto api = std::make_shared<FakePcscApi>();
    api->addReader("R1", true);
    SmartCardSlotManager manager(api, kQuickBackoff);
    EventLog log;
    auto observation = observeSlot(manager, "R1", log);
    api->swapCard("R1");
    ASSERT_TRUE(eventually([&] { return log.get().size() == 3; }));
    EXPECT_EQ(log.get(), (std::vector<std::string>{"R1:valid", "R1:empty", "R1:valid"}));
}

TEST(SmartCardSlotManager, VanishedReaderIsMissingBeforeTheListWithoutItIsTold)
{
    auto api = std::make_shared<FakePcscApi>();
    api->addReader("R1", true);
    api->addReader("R2");
    SmartCardSlotManager manager(api, kQuickBackoff);
    EventLog log;
    auto slotObservation = observeSlot(manager, "R1", log);
    auto namesObservation = observeNames(manager, log);
    api->removeReader("R1");
    ASSERT_TRUE(eventually([&] { return log.get().size() == 4; }));
    EXPECT_EQ(log.get(), (std::vector<std::string>{"R1:valid", "names:R1,R2", "R1:missing", "names:R2"}));
    EXPECT_FALSE(manager.getSlotWithName("R1"));

    // A reader that comes back is a new slot: probing until the watcher's first look at it, which finds it empty.
    api->addReader("R1");
    ASSERT_TRUE(eventually([&] { return manager.slotNames().size() == 2; }));
    EventLog again;
    auto againObservation = observeSlot(manager, "R1", again);
    ASSERT_TRUE(eventually([&] {
        const auto states = again.get();
        return !states.empty() && states.back() != "R1:probing";
    }));
    const auto states = again.get();
    EXPECT_EQ(std::ranges::count_if(states, [](const std::string& s) { return s != "R1:probing"; }), 1);
    EXPECT_EQ(states.back(), "R1:empty");
}

TEST(SmartCardSlotManager, AbsentServiceIsRetriedWithBackoffUntilItComes)
{
    auto api = std::make_shared<FakePcscApi>();
    api->setServiceRunning(false);
    api->addReader("R1", true);
    SmartCardSlotManager manager(api, kQuickBackoff);
    EXPECT_TRUE(manager.slotNames().empty());
    ASSERT_TRUE(eventually([&] { return api->establishCalls() >= 3; }));
    EXPECT_TRUE(manager.slotNames().empty());

    api->setServiceRunning(true);
    ASSERT_TRUE(eventually([&] { return manager.slotNames() == std::vector<std::string>{"R1"}; }));
    // The reader's state follows its name on the watcher thread.
    EXPECT_TRUE(eventually([&] {
        auto slot = manager.getSlotWithName("R1");
        return slot && slot->state() == SmartCardSlotState::validCard;
    }));
}

// The service goes away while the watcher waits for a change, or just before it reads the reader list: either way
// the readers are reported missing, then the list without them, and watching comes back with the service.
TEST(SmartCardSlotManager, StoppedServiceReportsReadersMissingAndWatchingComesBack)
{
    for (const bool duringTheReaderList : {false, true}) {
        SCOPED_TRACE(duringTheReaderList ? "reader-list call" : "wait for a change");
        auto api = std::make_shared<FakePcscApi>();
        api->addReader("R1", true);
        SmartCardSlotManager manager(api, kQuickBackoff);
        EventLog log;
        auto slotObservation = observeSlot(manager, "R1", log);
        auto namesObservation = observeNames(manager, log);
        log.clear();

        if (duringTheReaderList)
            api->failNextListReaders(SCARD_E_NO_SERVICE);
        else
            api->setServiceRunning(false);
        ASSERT_TRUE(eventually([&] { return log.get().size() >= 2; }));
        const auto gone = log.get(); // the way back may have begun already
        EXPECT_EQ(std::vector(gone.begin(), gone.begin() + 2), (std::vector<std::string>{"R1:missing", "names:"}));

        api->setServiceRunning(true);
        ASSERT_TRUE(eventually([&] { return log.get().size() >= 3; }));
        EXPECT_EQ(log.get(), (std::vector<std::string>{"R1:missing", "names:", "names:R1"}));
        auto slot = manager.getSlotWithName("R1");
        ASSERT_TRUE(slot);
        EXPECT_TRUE(eventually([&] { return slot->state() == SmartCardSlotState::validCard; }));
    }
}

TEST(SmartCardSlotManager, StopEndsTheBlockedWatcherAndReleasesItsContext)
{
    auto api = std::make_shared<FakePcscApi>();
    api->addReader("R1");
    auto manager = std::make_unique<SmartCardSlotManager>(api, kQuickBackoff);
    ASSERT_TRUE(eventually([&] { return api->openContexts() == 1; }));
    auto stopping = std::async(std::launch::async, [&] { manager.reset(); });
    if (stopping.wait_for(20s) != std::future_status::ready) {
        ADD_FAILURE() << "the watcher still waits for a change";
        api->setServiceRunning(false); // ends its wait, so the test ends
    }
    stopping.get();
    EXPECT_EQ(api->openContexts(), 0);
}

TEST(SmartCardSlotManager, CardOfAValidSlotOpensASessionOnItsOwnContext)
{
    auto api = std::make_shared<FakePcscApi>();
    api->addReader("R1", true);
    api->setResponder([](const std::string& reader, const Bytes& apdu) {
        Bytes reply(reader.begin(), reader.end());
        reply.insert(reply.end(), apdu.begin(), apdu.end());
        reply.push_back(0x90);
        reply.push_back(0x00);
        return reply;
    });
    SmartCardSlotManager manager(api, kQuickBackoff);
    auto card = manager.getSlotWithName("R1")->makeSmartCard();
    ASSERT_TRUE(card);
    std::promise<bool> opened;
    card->beginSession([&](bool ok) { opened.set_value(ok); });
    ASSERT_TRUE(opened.get_future().get());
    EXPECT_EQ(api->openContexts(), 2);
    const auto [answer, status] = card->transmit(Bytes{0x01}, 1s);
    EXPECT_EQ(status, kIOReturnSuccess);
    EXPECT_EQ(answer, (Bytes{'R', '1', 0x01, 0x90, 0x00}));

    api->removeCard("R1");
    EXPECT_EQ(card->transmit(Bytes{0x01}, 1s).second, kIOReturnError);
    EXPECT_TRUE(eventually([&] { return manager.getSlotWithName("R1")->makeSmartCard() == nullptr; }));
}
