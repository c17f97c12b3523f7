// The card watching and the APDU transport against the real pcscd, with scripted virtual cards on the vpcd
// readers. Every test holds the lock of each vpcd port it uses.
#include "TestHex.h"
#include "fido/CardEvents.h"
#include "fido/PcscHelper.h"
#include "fido/PcscMonitor.h"
#include "platform/PcscApi.h"
#include "softkey/VpcdCard.h"
#include "support/SoftKeyLink.h"
#include "support/Subprocess.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <mutex>

using namespace std::chrono_literals;

namespace {

const std::string kReader0 = "Virtual PCD 00 00";
const std::string kReader1 = "Virtual PCD 00 01";
const Bytes kAtr = {0x3B, 0x80, 0x80, 0x01, 0x01};
// pcscd looks at vpcd about every 400 ms.
constexpr auto kCardEventLimit = 5s;

using Script = std::function<Bytes(const Bytes& apdu)>;

// A virtual card whose answers come from a script the test can change while the card lies on the reader.
class ScriptedVpcdCard {
public:
    explicit ScriptedVpcdCard(std::uint16_t port)
        : card_(port, kAtr, [this](const Bytes& apdu) {
              Script script;
              {
                  std::lock_guard lock(mutex_);
                  script = script_;
                  received_.push_back(X(apdu));
              }
              return script ? script(apdu) : H("6D00");
          })
    {
    }
    void setScript(Script script)
    {
        std::lock_guard lock(mutex_);
        script_ = std::move(script);
        received_.clear();
    }
    std::vector<std::string> received()
    {
        std::lock_guard lock(mutex_);
        return received_;
    }
    bool insert() { return card_.insert(); }
    void remove() { card_.remove(); }

private:
    std::mutex mutex_;
    Script script_;
    std::vector<std::string> received_;
    VpcdCard card_;
};

Script answers(std::vector<std::string> list)
{
    auto queue = std::make_shared<std::vector<std::string>>(std::move(list));
    auto next = std::make_shared<std::size_t>(0);
    return [queue, next](const Bytes&) { return *next < queue->size() ? H((*queue)[(*next)++]) : H("6F00"); };
}

bool waitForEvents(CardEvents& events, const std::string& reader, std::size_t count)
{
    return events.waitFor(count, kCardEventLimit, reader);
}

// Waits until the manager sees the reader in that state (a card taken off just before may still look present
// until pcscd's next look at the reader).
bool readerIs(SmartCardSlotManager& manager, const std::string& reader, SmartCardSlotState wanted)
{
    auto slot = manager.getSlotWithName(reader);
    auto seen = std::make_shared<CardEvents>();
    Observation observation = slot ? slot->observeState([seen, wanted](SmartCardSlotState state) {
        if (state == wanted)
            seen->add("seen");
    })
                                   : Observation();
    return seen->waitFor(1, kCardEventLimit);
}

std::vector<std::string> present(const std::string& reader) { return {"+" + reader}; }
std::vector<std::string> presentThenGone(const std::string& reader) { return {"+" + reader, "-" + reader}; }

// One card on reader 0, watched by a monitor, bound to a transport.
class CardOnReader0 : public testing::Test {
protected:
    void SetUp() override
    {
        manager_ = std::make_shared<SmartCardSlotManager>(PcscApi::system());
        // A card taken off just before may still look present until pcscd's next look at the reader.
        ASSERT_TRUE(readerIs(*manager_, kReader0, SmartCardSlotState::empty));
        monitor_ = PcscMonitor::create(events_.action(), manager_);
        monitor_->startWatching();
        ASSERT_TRUE(vcard_.insert()) << "vpcd must be listening (is pcscd running?)";
        ASSERT_TRUE(waitForEvents(events_, kReader0, 1));
        card_ = monitor_->getActiveCard(kReader0);
        ASSERT_TRUE(card_);
    }
    void TearDown() override
    {
        vcard_.remove();
        EXPECT_TRUE(waitForEvents(events_, kReader0, 2));
        monitor_.reset();
        manager_->stop();
    }

    VpcdPortLock lock_{VpcdCard::kPortReader0};
    ScriptedVpcdCard vcard_{VpcdCard::kPortReader0};
    CardEvents events_;
    std::shared_ptr<SmartCardSlotManager> manager_;
    std::shared_ptr<PcscMonitor> monitor_;
    std::shared_ptr<SmartCard> card_;
};

// Ends a card request that outlives its deadline by taking the card off the reader, so a faulty transport
// fails the test instead of hanging it. finished() is called once the request has returned.
class CardRequestWatchdog {
public:
    CardRequestWatchdog(SoftKeyLink& link, std::chrono::seconds deadline)
        : watcher_(std::async(std::launch::async, [this, &link, deadline] {
              if (done_.get_future().wait_for(deadline) == std::future_status::ready)
                  return true;
              link.removeKey();
              return false;
          }))
    {
    }
    // True when the request ended on its own within the deadline.
    bool finished()
    {
        done_.set_value();
        return watcher_.get();
    }

private:
    std::promise<void> done_;
    std::future<bool> watcher_;
};

constexpr std::uint8_t kSelection = 0x0B; // asks for a touch and nothing else

Bytes echoWithSuccess(const Bytes& apdu)
{
    Bytes reply = apdu;
    reply.push_back(0x90);
    reply.push_back(0x00);
    return reply;
}

} // namespace

// Each report once: a card already on the reader when watching starts, its removal, and the next card (after
// which no late duplicate can come any more).
TEST(PcscCardWatching, CardPresentAtStartAndTheNextOnesAreReportedExactlyOnceEach)
{
    VpcdPortLock lock(VpcdCard::kPortReader0);
    ScriptedVpcdCard vcard(VpcdCard::kPortReader0);
    auto manager = std::make_shared<SmartCardSlotManager>(PcscApi::system());
    ASSERT_TRUE(readerIs(*manager, kReader0, SmartCardSlotState::empty));
    ASSERT_TRUE(vcard.insert());
    ASSERT_TRUE(readerIs(*manager, kReader0, SmartCardSlotState::validCard));
    CardEvents events;
    auto monitor = PcscMonitor::create(events.action(), manager);
    monitor->startWatching();
    const auto readers = monitor->readers();
    EXPECT_NE(std::find(readers.begin(), readers.end(), kReader0), readers.end());
    ASSERT_TRUE(waitForEvents(events, kReader0, 1));
    EXPECT_TRUE(monitor->getActiveCard(kReader0));
    vcard.remove();
    ASSERT_TRUE(waitForEvents(events, kReader0, 2));
    EXPECT_FALSE(monitor->getActiveCard(kReader0));
    ASSERT_TRUE(vcard.insert());
    ASSERT_TRUE(waitForEvents(events, kReader0, 3));
    vcard.remove();
    ASSERT_TRUE(waitForEvents(events, kReader0, 4));
    monitor.reset();
    manager->stop();
    EXPECT_EQ(events.of(kReader0), (std::vector<std::string>{"+" + kReader0, "-" + kReader0, "+" + kReader0,
                                                             "-" + kReader0}));
}

TEST(PcscCardWatching, TwoReadersAreReportedIndependently)
{
    VpcdPortLock lock0(VpcdCard::kPortReader0); // always in port order, so no two processes wait on each other
    VpcdPortLock lock1(VpcdCard::kPortReader1);
    auto manager = std::make_shared<SmartCardSlotManager>(PcscApi::system());
    ASSERT_TRUE(readerIs(*manager, kReader0, SmartCardSlotState::empty));
    ASSERT_TRUE(readerIs(*manager, kReader1, SmartCardSlotState::empty));
    CardEvents events;
    auto monitor = PcscMonitor::create(events.action(), manager);
    monitor->startWatching();
    ScriptedVpcdCard card0(VpcdCard::kPortReader0);
    ScriptedVpcdCard card1(VpcdCard::kPortReader1);
    card0.setScript([](const Bytes&) { return H("A09000"); });
    card1.setScript([](const Bytes&) { return H("A19000"); });

    ASSERT_TRUE(card1.insert());
    ASSERT_TRUE(waitForEvents(events, kReader1, 1));
    EXPECT_TRUE(events.of(kReader0).empty());
    ASSERT_TRUE(card0.insert());
    ASSERT_TRUE(waitForEvents(events, kReader0, 1));

    auto [answer0, status0] = monitor->getActiveCard(kReader0)->transmit(H("00010000"), 5s);
    auto [answer1, status1] = monitor->getActiveCard(kReader1)->transmit(H("00010000"), 5s);
    EXPECT_EQ(X(answer0), "A09000");
    EXPECT_EQ(X(answer1), "A19000");

    card1.remove();
    ASSERT_TRUE(waitForEvents(events, kReader1, 2));
    EXPECT_EQ(events.of(kReader0), present(kReader0));
    EXPECT_TRUE(monitor->getActiveCard(kReader0));
    card0.remove();
    ASSERT_TRUE(waitForEvents(events, kReader0, 2));
    EXPECT_EQ(events.of(kReader1), presentThenGone(kReader1));
    monitor.reset();
    manager->stop();
}

TEST_F(CardOnReader0, RequestsAreChainedAndMoreDataIsJoined)
{
    PcscHelper helper(nullptr);
    helper.setActiveCard(card_);
    Bytes request(300);
    for (std::size_t i = 0; i < request.size(); ++i)
        request[i] = static_cast<std::uint8_t>(i);

    vcard_.setScript(answers({"9000", "00A19000"}));
    EXPECT_EQ(helper.sendCmdCbor(request), (PcscHelper::Response{H("00A1"), kIOReturnSuccess}));
    const auto chained = vcard_.received();
    ASSERT_EQ(chained.size(), 2u);
    EXPECT_EQ(chained[0], "90108000F0" + X(std::span(request).first(240)));
    EXPECT_EQ(chained[1], "801080003C" + X(std::span(request).subspan(240)) + "00");

    vcard_.setScript(answers({"00A19000"}));
    helper.sendCmdCbor(std::span(request).first(240));
    EXPECT_EQ(vcard_.received(), std::vector<std::string>{"80108000F0" + X(std::span(request).first(240)) + "00"});

    vcard_.setScript(answers({"00AABB6110", "CCDD9000"}));
    EXPECT_EQ(helper.sendCmdCbor(H("04")), (PcscHelper::Response{H("00AABBCCDD"), kIOReturnSuccess}));
    EXPECT_EQ(vcard_.received(), (std::vector<std::string>{"80108000010400", "00C0000010"}));
    helper.setActiveCard(nullptr);
}

TEST_F(CardOnReader0, StalledCardTimesOutAndTheNextExchangeIsStillRight)
{
    PcscHelper helper(nullptr, {1000ms, 30000ms});
    helper.setActiveCard(card_);
    std::atomic<bool> stall{true};
    std::promise<void> release;
    vcard_.setScript([&, released = release.get_future().share()](const Bytes& apdu) {
        if (stall.exchange(false)) {
            released.wait_for(20s); // bounded, should the test end early
            return H("DEAD9000");
        }
        return echoWithSuccess(apdu);
    });
    EXPECT_EQ(helper.sendCmdMsg(H("00010000")), (PcscHelper::Response{{}, kIOReturnTimeout}));
    release.set_value(); // the late answer comes before the next APDU can reach the card, and is dropped
    EXPECT_EQ(helper.sendCmdMsg(H("00020000")), (PcscHelper::Response{H("00020000009000"), kIOReturnSuccess}));
    EXPECT_EQ(helper.sendCmdMsg(H("00030000")), (PcscHelper::Response{H("00030000009000"), kIOReturnSuccess}));
    helper.setActiveCard(nullptr);
}

TEST_F(CardOnReader0, RemovedCardEndsItsSessionAndExchangesFail)
{
    PcscHelper helper(nullptr);
    helper.setActiveCard(card_);
    vcard_.setScript(echoWithSuccess);
    EXPECT_EQ(helper.sendCmdMsg(H("00010000")).second, kIOReturnSuccess);
    vcard_.remove();
    ASSERT_TRUE(waitForEvents(events_, kReader0, 2));
    EXPECT_EQ(events_.of(kReader0), presentThenGone(kReader0));
    EXPECT_EQ(helper.sendCmdMsg(H("00010000")).second, kIOReturnError);
    helper.setActiveCard(nullptr);
}

// Another program keeps the card in a transaction of its own: binding the card waits for it within the transmit
// bound only, and binds nothing.
TEST_F(CardOnReader0, CardKeptByAnotherProgramIsWaitedForWithinTheBoundOnly)
{
    ChildProcess other(otherCardClient(kReader0, "hold"));
    ASSERT_EQ(other.readLine(), "held");
    PcscHelper helper(nullptr, {300ms, 30000ms});
    auto bind = std::async(std::launch::async, [&] { return helper.setActiveCard(card_); });
    if (bind.wait_for(20s) != std::future_status::ready) {
        other.closeInput(); // lets the card go, so a transport that waits on fails here instead of hanging
        ADD_FAILURE() << "binding the card waits for the other program";
    }
    EXPECT_EQ(bind.get(), kIOReturnTimeout);
    EXPECT_FALSE(helper.isCardPresent());

    EXPECT_EQ(other.finish(), 0);
    vcard_.setScript(echoWithSuccess);
    ASSERT_EQ(helper.setActiveCard(card_), kIOReturnSuccess);
    EXPECT_EQ(helper.sendCmdMsg(H("00010000")).second, kIOReturnSuccess);
    helper.setActiveCard(nullptr);
}

TEST(PcscCardCancel, CancelLandingInTheFirstExchangeEndsTheRequest)
{
    SoftKeyLink link(SoftKeyLink::Transport::Card);
    ASSERT_TRUE(link.open());
    link.key().setTouch(SoftAuthenticator::Touch::HeldUntilCancel);
    PcscHelper& helper = *link.pcscHelper();
    NfcCardFront& front = link.card()->front();

    // The card holds the request's first APDU until the cancel is in, so the cancel lands inside that exchange.
    const std::size_t before = front.receivedApdus().size();
    front.setStall(true);
    auto canceller = std::async(std::launch::async, [&] {
        const bool arrived = front.waitForApdus(before + 1, 5s);
        helper.sendCommand(CTAPHID::CANCEL, {});
        front.setStall(false);
        return arrived;
    });
    CardRequestWatchdog watchdog(link, 20s);
    testing::internal::CaptureStdout();
    const auto [answer, status] = helper.sendCmdCbor(Bytes{kSelection});
    testing::internal::GetCapturedStdout();
    ASSERT_TRUE(watchdog.finished()) << "the request went on after the cancel";
    ASSERT_TRUE(canceller.get());
    EXPECT_EQ(status, kIOReturnAborted);
    EXPECT_FALSE(helper.waitUserInput());
}

TEST(PcscCardCancel, StopEndsATouchWaitAndEveryLaterRequest)
{
    SoftKeyLink link(SoftKeyLink::Transport::Card);
    ASSERT_TRUE(link.open());
    link.key().setTouch(SoftAuthenticator::Touch::HeldUntilCancel);
    PcscHelper& helper = *link.pcscHelper();
    NfcCardFront& front = link.card()->front();

    auto quitter = std::async(std::launch::async, [&] {
        const bool asked = link.key().waitForTouchRequest(5s);
        helper.stop();
        return asked;
    });
    {
        CardRequestWatchdog watchdog(link, 20s);
        testing::internal::CaptureStdout();
        const auto status = helper.sendCmdCbor(Bytes{kSelection}).second;
        testing::internal::GetCapturedStdout();
        ASSERT_TRUE(watchdog.finished()) << "the touch wait went on after stop";
        ASSERT_TRUE(quitter.get());
        EXPECT_EQ(status, kIOReturnAborted);
    }

    const std::size_t before = front.receivedApdus().size();
    CardRequestWatchdog watchdog(link, 20s);
    testing::internal::CaptureStdout();
    const auto status = helper.sendCmdCbor(Bytes{kSelection}).second;
    testing::internal::GetCapturedStdout();
    ASSERT_TRUE(watchdog.finished()) << "a request after stop waited for the card";
    EXPECT_EQ(status, kIOReturnAborted);
    EXPECT_EQ(helper.sendCmdMsg(H("00010000")).second, kIOReturnAborted);
    EXPECT_EQ(front.receivedApdus().size(), before);
}
