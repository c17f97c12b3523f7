// The application's flows on a software card through the real pcscd.
#include "ViewModelHarness.h"

#include "support/CardRig.h"
#include "support/LogCapture.h"

namespace {
// How often the card was asked for its identity: the view model's first request for each arrival.
std::size_t identityRequests(CardRig& card)
{
    const Bytes identity{0xFF, 0xCA, 0x01, 0x00, 0x00};
    return static_cast<std::size_t>(std::ranges::count(card.front().receivedApdus(), identity));
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
    EXPECT_TRUE(log.contains(card.readerName() + ": card present"));
    h.select(0);
    ASSERT_TRUE(h.startReset());

    ASSERT_TRUE(card.remove() && pumpUntil([&] { return h.vm->deviceList().empty(); }));
    const std::size_t asked = identityRequests(card);
    ASSERT_TRUE(card.insert() && pumpUntil([&] { return identityRequests(card) > asked; }) && h.settle());
    EXPECT_TRUE(h.vm->deviceList().empty() && h.vm->reinsertNeeded());
    EXPECT_EQ(countRequests(card.key(), 0x07), 0u);

    ASSERT_TRUE(card.remove() && card.insert());
    ASSERT_TRUE(h.waitForMessage("Reset device is successful"));
    EXPECT_FALSE(card.key().hasPin());
    ASSERT_TRUE(pumpUntil([&] { return h.vm->deviceList().size() == 1 && !h.vm->deviceList()[0].pinPresent; }));
    ASSERT_TRUE(card.remove() && pumpUntil([&] { return h.vm->deviceList().empty(); }));
    EXPECT_TRUE(log.contains(card.readerName() + ": card absent"));
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
        EXPECT_FALSE(log.contains("readCardIdentity: failed"));
    }
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
