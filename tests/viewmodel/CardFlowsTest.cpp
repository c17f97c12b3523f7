// The application's flows on a software card through the real pcscd.
#include "ViewModelHarness.h"

#include "support/CardRig.h"
#include "support/LogCapture.h"
#include "support/Subprocess.h"

#include <gtest/gtest.h>

namespace {
// How often the card was asked for its identity: the view model's first request for each arrival, made from its
// work queue.
std::size_t identityRequests(CardRig& card)
{
    const auto apdus = card.front().receivedApdus();
    return static_cast<std::size_t>(
        std::count(apdus.begin(), apdus.end(), Bytes{0xFF, 0xCA, 0x01, 0x00, 0x00}));
}

// Lists the card (with a PIN).
void list(ViewModelHarness& h, CardRig& card)
{
    ASSERT_TRUE(card.insert());
    ASSERT_TRUE(pumpUntil([&] { return h.vm->deviceList().size() == 1 && h.vm->deviceList()[0].pinPresent; }));
}
} // namespace

TEST(ViewModelCards, CardIsListedAndLeaves)
{
    LogCapture log;
    CardRig card;
    ViewModelHarness h(true, {{"Language", "jp"}});
    ASSERT_TRUE(card.insert());
    ASSERT_TRUE(pumpUntil([&] { return h.vm->deviceList().size() == 1; }));
    const DeviceItem item = h.vm->deviceList()[0];
    EXPECT_EQ(item.deviceName, "Tallowfin NFC Card");
    EXPECT_TRUE(item.device.isPcscDevice());
    EXPECT_EQ(item.device.readerName(), card.readerName());
    EXPECT_EQ(item.cid, 0xFFFFFFFFu);
    EXPECT_EQ(item.retries, 8u);
    EXPECT_TRUE(log.contains(card.readerName() + ": card present"));

    // A set PIN over the card.
    h.select(0);
    h.vm->showPinViewForSetOrChange();
    h.vm->pinFieldEdited(DeviceViewModel::PinField::newPin, "4321");
    h.vm->pinFieldEdited(DeviceViewModel::PinField::confirmPin, "4321");
    h.vm->pinOkClicked();
    ASSERT_TRUE(pumpUntil([&] { return h.vm->showMessageBox() && !h.vm->busy(); }));
    EXPECT_EQ(h.vm->messageBoxInfo().message, h.vm->uiStr().pinNewPinSet);
    EXPECT_TRUE(card.key().hasPin());

    ASSERT_TRUE(card.remove());
    ASSERT_TRUE(pumpUntil([&] { return h.vm->deviceList().empty(); }));
    EXPECT_FALSE(h.vm->selectedDeviceItem());
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
    ASSERT_TRUE(card.insert());
    ASSERT_TRUE(pumpUntil([&] { return identityRequests(card) == 1; }));
    ASSERT_TRUE(h.settle());
    EXPECT_TRUE(h.vm->deviceList().empty());
    EXPECT_EQ(countRequests(card.key(), 0x04), 0u);
}

TEST(ViewModelCards, CardResetAfterTwoTaps)
{
    CardRig card;
    ViewModelHarness h(true);
    ASSERT_TRUE(card.key().setPin("1234"));
    ASSERT_TRUE(card.insert());
    ASSERT_TRUE(pumpUntil([&] { return h.vm->deviceList().size() == 1; }));
    h.select(0);
    ASSERT_TRUE(h.startReset());
    EXPECT_EQ(h.vm->reinsertText(), "Tap your security key twice on your reader");

    // First tap: taken, nothing sent, not listed.
    ASSERT_TRUE(card.remove());
    ASSERT_TRUE(pumpUntil([&] { return h.vm->deviceList().empty(); }));
    const std::size_t asked = identityRequests(card);
    ASSERT_TRUE(card.insert());
    ASSERT_TRUE(pumpUntil([&] { return identityRequests(card) > asked; }));
    ASSERT_TRUE(h.settle());
    EXPECT_TRUE(h.vm->deviceList().empty());
    EXPECT_TRUE(h.vm->reinsertNeeded());
    EXPECT_EQ(countRequests(card.key(), 0x07), 0u);

    // Second tap: the reset goes out, the card is listed again without its PIN.
    ASSERT_TRUE(card.remove());
    ASSERT_TRUE(card.insert());
    ASSERT_TRUE(pumpUntil([&] { return h.vm->showMessageBox() && h.vm->messageBoxInfo().message ==
                                                                     "Reset device is successful"; }));
    EXPECT_FALSE(card.key().hasPin());
    ASSERT_TRUE(pumpUntil([&] { return h.vm->deviceList().size() == 1; }));
    EXPECT_FALSE(h.vm->deviceList()[0].pinPresent);
}

// Another program resets the card or powers it down (disconnecting as most PC/SC clients do) after the card was
// listed: the next operation still reaches the card.
TEST(ViewModelCards, CardResetByAnotherProgramStaysUsable)
{
    CardRig card;
    ASSERT_TRUE(card.key().setPin("1234"));
    ViewModelHarness h(true);
    list(h, card);
    const std::vector<std::vector<std::string>> rounds = {{"reset", "1234", "5678"}, {"unpower", "5678", "1234"}};
    for (const auto& round : rounds) {
        SCOPED_TRACE(round[0]);
        h.select(0);
        ASSERT_TRUE(h.waitIdle());
        ASSERT_EQ(runSubprocess(otherCardClient(card.readerName(), round[0])).exitCode, 0);
        h.vm->showPinViewForSetOrChange();
        h.vm->pinFieldEdited(DeviceViewModel::PinField::oldPin, round[1]);
        h.vm->pinFieldEdited(DeviceViewModel::PinField::newPin, round[2]);
        h.vm->pinFieldEdited(DeviceViewModel::PinField::confirmPin, round[2]);
        h.vm->pinOkClicked();
        ASSERT_TRUE(h.waitForMessage("New PIN is set")) << h.vm->messageBoxInfo().message;
        h.vm->closeMessageBox(true);
        EXPECT_TRUE(card.key().pinIs(round[2]));
    }
}

// Another program selects an application of its own over and over while the credentials are listed: none of
// its commands lands inside one of our operations (from our SELECT to our DESELECT).
TEST(ViewModelCards, AnotherProgramsCommandsWaitUntilTheOperationEnds)
{
    CardRig card;
    std::string fixtures = "pin 1234\n";
    for (int rp = 0; rp < 20; ++rp)
        fixtures += "rp id=rp" + std::to_string(rp) + ".example name=RP\ncredential rp=rp" + std::to_string(rp) +
                    ".example user=0A userName=u displayName=U\n";
    std::string error;
    ASSERT_TRUE(SoftKeyFixtures::load(fixtures, card.key(), error)) << error;
    ViewModelHarness h(true, {{"AdvancedMode", "true"}});
    list(h, card);
    h.select(0);

    ChildProcess other(otherCardClient(card.readerName(), "select-loop"));
    ASSERT_EQ(other.readLine(), "running");
    ASSERT_TRUE(h.openCredentials("1234"));
    EXPECT_EQ(h.vm->rpList().size(), 20u);
    EXPECT_EQ(other.finish(), 0);

    const Bytes ourSelect{0x00, 0xA4, 0x04, 0x00, 0x08, 0xA0, 0x00, 0x00, 0x06, 0x47, 0x2F, 0x00, 0x01, 0x00};
    const Bytes ourDeselect{0x80, 0x12, 0x01, 0x00};
    bool inOperation = false;
    std::size_t foreign = 0;
    for (const Bytes& apdu : card.front().receivedApdus()) {
        if (apdu == ourSelect || apdu == ourDeselect) {
            inOperation = apdu == ourSelect;
        } else if (apdu.size() > 1 && apdu[1] == 0xA4) {
            EXPECT_FALSE(inOperation) << "another program's SELECT inside our operation, after " << foreign;
            ++foreign;
        }
    }
    EXPECT_GT(foreign, 0u);
}
