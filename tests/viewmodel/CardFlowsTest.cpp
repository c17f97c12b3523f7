// The application's flows on a software card through the real pcscd.
#include "ViewModelHarness.h"

#include "support/CardRig.h"
#include "support/LogCapture.h"
#include "support/Subprocess.h"

namespace {
const Bytes kIdentityRequest{0xFF, 0xCA, 0x01, 0x00, 0x00};

// How often the card was asked for its identity: the view model's first request for each arrival.
std::size_t identityRequests(CardRig& card)
{
    return static_cast<std::size_t>(std::ranges::count(card.front().receivedApdus(), kIdentityRequest));
}

// Lays the card on the reader and returns once its arrival was handled to the end: read, then listed or taken.
bool insertAndHandle(ViewModelHarness& h, CardRig& card)
{
    const std::size_t asked = identityRequests(card);
    return card.insert() && pumpUntil([&] { return identityRequests(card) > asked; }) && h.settle();
}

bool isSelect(std::span<const std::uint8_t> apdu)
{
    return apdu.size() > 4 && apdu[0] == 0x00 && apdu[1] == 0xA4 && apdu[2] == 0x04 && apdu[3] == 0x00;
}

// Holds the work queue as the first APDU that `match` takes is about to go to the card (its request in progress),
// has the main thread act there, then lets the APDU go.
class HoldAtApdu
{
public:
    using Match = std::function<bool(std::span<const std::uint8_t>)>; // called on the work queue only

    HoldAtApdu(ViewModelHarness& h, Match match) : pcsc_(ViewModelTestSeam::pcscHelper(*h.vm))
    {
        pcsc_.setApduHook([hold = hold_, match = std::move(match)](std::span<const std::uint8_t> apdu) {
            if (!hold->reached() && match(apdu))
                hold->hold();
        });
    }
    ~HoldAtApdu()
    {
        hold_->release();
        pcsc_.setApduHook({});
    }
    HoldAtApdu(const HoldAtApdu&) = delete;
    HoldAtApdu& operator=(const HoldAtApdu&) = delete;

    bool actThere(const std::function<void()>& action) { return hold_->actThere(action); }

private:
    PcscHelper& pcsc_;
    std::shared_ptr<WorkQueueHold> hold_ = std::make_shared<WorkQueueHold>();
};

// The card, given a PIN, is listed and selected, its reset confirmed, and it is taken off: the model awaits it.
bool awaitedForReset(ViewModelHarness& h, CardRig& card)
{
    if (!card.key().setPin("1234") || !card.insert() || !pumpUntil([&] { return h.vm->deviceList().size() == 1; }))
        return false;
    h.select(0);
    return h.startReset() && card.remove() && pumpUntil([&] { return h.vm->deviceList().empty(); });
}
} // namespace

// A card is listed as its reader; of the two taps a reset asks for, the first is taken without a word to the card
// and without listing it, the second resets it; taken off, it leaves the list.
TEST(ViewModelCards, CardIsListedResetAfterTwoTapsAndLeaves)
{
    LogCapture log;
    CardRig card;
    ViewModelHarness h(true);
    ASSERT_TRUE(card.key().setPin("1234") && card.insert());
    ASSERT_TRUE(pumpUntil([&] { return h.vm->deviceList().size() == 1; }));
    const DeviceItem item = h.vm->deviceList()[0];
    EXPECT_TRUE(item.device.readerName() == card.readerName() && item.cid == 0xFFFFFFFFu && item.pinPresent);
    EXPECT_EQ(item.deviceName, "Tallowfin NFC Card");
    EXPECT_EQ(item.retries, 8u);
    EXPECT_TRUE(log.contains(card.readerName() + ": card present"));
    // A card cannot wink: selecting it takes nothing of the card (another program may hold it meanwhile).
    const std::size_t received = card.front().receivedApdus().size();
    h.select(0);
    ASSERT_TRUE(h.settle());
    EXPECT_EQ(card.front().receivedApdus().size(), received);
    ASSERT_TRUE(h.startReset());
    EXPECT_EQ(h.vm->reinsertText(), "Tap your security key twice on your reader");

    ASSERT_TRUE(card.remove() && pumpUntil([&] { return h.vm->deviceList().empty(); }));
    ASSERT_TRUE(insertAndHandle(h, card));
    EXPECT_TRUE(h.vm->deviceList().empty() && h.vm->reinsertNeeded());
    EXPECT_EQ(countRequests(card.key(), 0x07), 0u);

    ASSERT_TRUE(card.remove() && card.insert());
    ASSERT_TRUE(h.waitForMessage("Reset device is successful"));
    EXPECT_FALSE(card.key().hasPin());
    ASSERT_TRUE(pumpUntil([&] { return h.vm->deviceList().size() == 1 && !h.vm->deviceList()[0].pinPresent; }));
    ASSERT_TRUE(card.remove() && pumpUntil([&] { return h.vm->deviceList().empty(); }));
    EXPECT_TRUE(log.contains(card.readerName() + ": card absent"));
}

// A Cancel on the re-insert prompt as the second tap comes in (the card already read, the reset not yet begun) ends
// the reset: it never reaches the card, nothing is said, and the card is listed again.
TEST(ViewModelCards, AResetCancelledAsTheSecondTapComesInNeverReachesTheCard)
{
    CardRig card;
    ViewModelHarness h(true);
    ASSERT_TRUE(awaitedForReset(h, card));
    ASSERT_TRUE(insertAndHandle(h, card));
    ASSERT_TRUE(card.remove() && h.settle());
    {
        // Held at the first SELECT after the second tap's identity: the one of the reset's own exchanges.
        HoldAtApdu hold(h, [identityRead = std::make_shared<bool>(false)](std::span<const std::uint8_t> apdu) {
            if (std::ranges::equal(apdu, kIdentityRequest))
                *identityRead = true;
            return *identityRead && isSelect(apdu);
        });
        ASSERT_TRUE(card.insert());
        ASSERT_TRUE(hold.actThere([&] { h.vm->cancelReinsert(); }));
    }
    ASSERT_TRUE(pumpUntil([&] { return h.vm->deviceList().size() == 1 && !h.vm->reinsertNeeded(); }) && h.settle());
    EXPECT_FALSE(h.vm->showMessageBox()) << h.vm->messageBoxInfo().message;
    EXPECT_EQ(countRequests(card.key(), 0x07), 0u);
    EXPECT_TRUE(card.key().hasPin());
}

// A Cancel pressed on the re-insert prompt as the card comes onto the reader, while its identity is read, ends the
// reset's wait, never that reading: the card is listed, and nothing of the reset reaches it.
TEST(ViewModelCards, ACancelAsTheCardIsReadLeavesItListed)
{
    LogCapture log;
    CardRig card;
    ViewModelHarness h(true);
    ASSERT_TRUE(awaitedForReset(h, card));
    {
        HoldAtApdu hold(h, [](std::span<const std::uint8_t> apdu) { return std::ranges::equal(apdu, kIdentityRequest); });
        ASSERT_TRUE(card.insert());
        ASSERT_TRUE(hold.actThere([&] { h.vm->cancelReinsert(); }));
    }
    ASSERT_TRUE(pumpUntil([&] { return h.vm->deviceList().size() == 1 && !h.vm->reinsertNeeded(); }) && h.settle());
    EXPECT_FALSE(log.containsLineStarting("readCardIdentity: failed"));
    EXPECT_FALSE(h.vm->showMessageBox()) << h.vm->messageBoxInfo().message;
    EXPECT_EQ(countRequests(card.key(), 0x07), 0u);
    EXPECT_TRUE(card.key().hasPin());
}

// A Cancel on the re-insert prompt with the card still lying on the reader after its first tap (taken without a word,
// the card not listed) ends the wait, and the card is listed as it lies there: nothing of the reset reaches it.
TEST(ViewModelCards, ACancelAfterTheFirstTapListsTheCardOnTheReader)
{
    CardRig card;
    ViewModelHarness h(true);
    ASSERT_TRUE(awaitedForReset(h, card));
    ASSERT_TRUE(insertAndHandle(h, card));
    ASSERT_TRUE(h.vm->deviceList().empty() && h.vm->reinsertNeeded());
    h.vm->cancelReinsert();
    ASSERT_TRUE(pumpUntil([&] { return h.vm->deviceList().size() == 1 && !h.vm->reinsertNeeded(); }) && h.settle());
    EXPECT_TRUE(h.vm->deviceList()[0].pinPresent);
    EXPECT_FALSE(h.vm->showMessageBox()) << h.vm->messageBoxInfo().message;
    EXPECT_EQ(countRequests(card.key(), 0x07), 0u);
    EXPECT_TRUE(card.key().pinIs("1234"));
}

// The card's arrival is reported while the view model is still being made; its work must find the model whole,
// every time (a race the thread-sanitizer build sees at once).
TEST(ViewModelCards, CardOnTheReaderAtStartIsAlwaysListed)
{
    CardRig card;
    ASSERT_TRUE(card.insert());
    for (int start = 0; start < 20; ++start) {
        LogCapture log;
        ViewModelHarness h(true);
        ASSERT_TRUE(pumpUntil([&] { return h.vm->deviceList().size() == 1; })) << "start " << start;
        EXPECT_FALSE(log.containsLineStarting("readCardIdentity: failed"));
    }
}

// A card lying on the reader as the model starts is reported as soon as its reader is watched, perhaps before the
// watcher has gone on from that reader: held right there until the model has read the card's identity (its listing
// waits for the main thread, held too), the watcher has already put the card where the model asks for it. The card
// is reported and read once, and listed.
TEST(ViewModelCards, ACardReportedAsItsReaderIsWatchedIsFoundAtOnce)
{
    CardRig card;
    ASSERT_TRUE(card.key().setPin("1234") && card.insert());
    LogCapture log;
    const auto handled = [&] { return identityRequests(card) > 0 || log.containsLineStarting("readCardIdentity:"); };
    std::atomic<bool> held{false};
    std::atomic<std::size_t> readWhileHeld{0};
    ViewModelHarness h(true, {}, UsbKeyRig::fastTiming(), [&](const std::string& reader) {
        if (reader != card.readerName())
            return;
        held = eventually(handled, std::chrono::seconds(10));
        readWhileHeld = identityRequests(card);
    });
    ASSERT_TRUE(held) << "the card's report was never handled while its reader was being watched";
    ASSERT_FALSE(log.containsLineStarting("readCardIdentity: failed"));
    EXPECT_EQ(readWhileHeld.load(), 1u);
    ASSERT_TRUE(pumpUntil([&] { return h.vm->deviceList().size() == 1; }) && h.settle());
    EXPECT_TRUE(h.vm->deviceList()[0].pinPresent);
    EXPECT_EQ(log.count(card.readerName() + ": card present"), 1);
}

// A card taken off before its arrival is handled: the reading finds no card for the reader, ends at once and says so.
TEST(ViewModelCards, ACardGoneBeforeItIsReadIsLoggedAsNoCard)
{
    CardRig card;
    LogCapture log;
    ViewModelHarness h(true);
    {
        HoldAndAct hold(h);
        hold.atRequest([](CTAPHID, std::span<const std::uint8_t>) { return true; });
        h.rig.plug();
        ASSERT_TRUE(hold.actThere([&] {
            const auto logged = [&](const std::string& what) {
                return eventually([&] { return log.contains(card.readerName() + ": card " + what); });
            };
            ASSERT_TRUE(card.insert() && logged("present"));
            ASSERT_TRUE(card.remove() && logged("absent"));
        }));
    }
    ASSERT_TRUE(pumpUntil([&] { return log.containsLineStarting("readCardIdentity: failed"); }) && h.settle());
    EXPECT_EQ(log.count("runOnPcsc: no card on reader " + card.readerName()), 1);
    EXPECT_TRUE(log.contains("readCardIdentity: failed, error = 0xE00002C0"));
    EXPECT_TRUE(card.front().receivedApdus().empty());
    ASSERT_EQ(h.vm->deviceList().size(), 1u);
    EXPECT_TRUE(h.vm->deviceList()[0].device.isHidDevice());
}

TEST(ViewModelCards, ForeignCardIsIgnored)
{
    NfcCardFront::Options options;
    options.identity = NfcCardFront::Identity::Foreign;
    CardRig card({}, options);
    ViewModelHarness h(true);
    ASSERT_TRUE(card.insert() && pumpUntil([&] { return identityRequests(card) == 1; }) && h.settle());
    EXPECT_TRUE(h.vm->deviceList().empty());
    EXPECT_EQ(countRequests(card.key(), 0x04), 0u);
}

// A card whose FIDO applet answers SELECT with a version this program does not take cannot be identified: it is not
// listed, and the log says why instead of dropping it without a word.
TEST(ViewModelCards, ACardThatCannotBeIdentifiedIsLogged)
{
    NfcCardFront::Options options;
    options.selectAnswer = "FIDO_2_1";
    CardRig card({}, options);
    LogCapture log;
    ViewModelHarness h(true);
    ASSERT_TRUE(card.insert());
    ASSERT_TRUE(pumpUntil([&] { return log.contains("readCardIdentity: failed, error = 0xE00002BC"); }));
    ASSERT_TRUE(h.settle());
    EXPECT_TRUE(h.vm->deviceList().empty());
}

// Another program resets the card or powers it down (disconnecting as most PC/SC clients do) after the card was
// listed: the next operation still reaches the card.
TEST(ViewModelCards, CardResetByAnotherProgramStaysUsable)
{
    CardRig card;
    ViewModelHarness h(true);
    ASSERT_TRUE(card.key().setPin("1234") && card.insert());
    ASSERT_TRUE(pumpUntil([&] { return h.vm->deviceList().size() == 1 && h.vm->deviceList()[0].pinPresent; }));
    for (const auto& [action, from, to] : {std::tuple{"reset", "1234", "5678"}, {"unpower", "5678", "1234"}}) {
        SCOPED_TRACE(action);
        h.select(0);
        ASSERT_EQ(runSubprocess(otherCardClient(card.readerName(), action)).exitCode, 0);
        h.vm->showPinViewForSetOrChange();
        h.typePins(to, to, from);
        h.vm->pinOkClicked();
        ASSERT_TRUE(h.waitForMessage("New PIN is set")) << h.vm->messageBoxInfo().message;
        h.vm->closeMessageBox(true);
        EXPECT_TRUE(card.key().pinIs(to));
    }
}

// Another program keeps the card in a transaction of its own: Change PIN waits for the card within the transport's
// bound, then says that the key is busy and nothing changed, and indeed the card still has its PIN. No request
// reached the card, so it is no "may or may not have changed".
TEST(ViewModelCards, ACardHeldByAnotherProgramIsToldAsBusyAndKeepsItsPin)
{
    CardRig card;
    ViewModelHarness h(true);
    ASSERT_TRUE(card.key().setPin("1234") && card.insert());
    ASSERT_TRUE(pumpUntil([&] { return h.vm->deviceList().size() == 1 && h.vm->deviceList()[0].pinPresent; }));
    h.select(0);
    ASSERT_TRUE(h.waitIdle());
    ChildProcess other(otherCardClient(card.readerName(), "hold"));
    ASSERT_EQ(other.readLine(), "held");
    card.key().clearRequestLog();
    h.vm->showPinViewForSetOrChange();
    h.typePins("5678", "5678", "1234");
    h.vm->pinOkClicked();
    ASSERT_TRUE(h.waitForMessage("The key is busy or in use by another program: nothing was changed", std::chrono::seconds(20)))
        << h.vm->messageBoxInfo().message;
    EXPECT_EQ(h.vm->currentView(), DeviceViewModel::View::pin);
    EXPECT_EQ(other.finish(), 0);
    EXPECT_TRUE(card.key().requestLog().empty());
    EXPECT_TRUE(card.key().pinIs("1234"));
}

// Another program selects an application of its own over and over while the credentials are listed: none of
// its commands lands inside one of our operations (from our SELECT to our DESELECT).
TEST(ViewModelCards, AnotherProgramsCommandsWaitUntilTheOperationEnds)
{
    CardRig card;
    std::string fixtures = "pin 1234\n";
    for (int rp = 0; rp < 20; ++rp)
        fixtures += "credential rp=rp" + std::to_string(rp) + ".example user=0A userName=u\n";
    std::string error;
    ASSERT_TRUE(SoftKeyFixtures::load(fixtures, card.key(), error)) << error;
    ViewModelHarness h(true, {{"AdvancedMode", "true"}});
    ASSERT_TRUE(card.insert() && pumpUntil([&] { return h.vm->deviceList().size() == 1; }));
    h.select(0);
    ChildProcess other(otherCardClient(card.readerName(), "select-loop"));
    ASSERT_EQ(other.readLine(), "running");
    ASSERT_TRUE(h.openCredentials("1234"));
    EXPECT_EQ(h.vm->rpList().size(), 20u);
    EXPECT_EQ(other.finish(), 0);

    const Bytes ourSelect{0x00, 0xA4, 0x04, 0x00, 0x08, 0xA0, 0x00, 0x00, 0x06, 0x47, 0x2F, 0x00, 0x01, 0x00};
    bool inOperation = false;
    std::size_t foreign = 0;
    for (const Bytes& apdu : card.front().receivedApdus()) {
        if (apdu == ourSelect || apdu == Bytes{0x80, 0x12, 0x01, 0x00}) {
            inOperation = apdu == ourSelect;
        } else if (apdu.size() > 1 && apdu[1] == 0xA4) {
            EXPECT_FALSE(inOperation) << "another program's SELECT inside our operation, after " << foreign;
            ++foreign;
        }
    }
    EXPECT_GT(foreign, 0u);
}
