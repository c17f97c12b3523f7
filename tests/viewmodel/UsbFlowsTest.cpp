// The application's flows on software USB keys, with the real HID transport and CTAP client. The window's tests
// walk the ordinary journeys through clicks; these hold what a key can do wrong on the way.
#include "ViewModelHarness.h"

#include "softkey/tests/TestCtapClient.h"
#include "support/LogCapture.h"

using View = DeviceViewModel::View;
using Fault = CtaphidFront::Fault;
using Reply = SoftAuthenticator::RawReply;
using Step = std::function<void(ViewModelHarness&, UsbKeyRig::Key&)>;

namespace {

const std::string kNotKnown = "No clear answer: the key may or may not have changed";
const std::string kReadAgain = "Credentials could not be read, enter the PIN again";
const char* const kAaguid = "4D542D534F46544B45592D3030303031";
const char* const kCredentials = "pin 1234\n"
                                 "rp id=a.example name=\"A Corp\"\n"
                                 "credential rp=a.example user=0A userName=alice\n"
                                 "rp id=b.example name=\"   \"\n"
                                 "credential rp=b.example user=0B userName=bob\n"
                                 "credential rp=b.example user=0C userName=carol\n";
// getInfo {3: the AAGUID, 4: a text where the options map belongs}
const Bytes kMalformedInfo{0x00, 0xA2, 0x03, 0x50, 0x4D, 0x54, 0x2D, 0x53, 0x4F, 0x46, 0x54, 0x4B,
                           0x45, 0x59, 0x2D, 0x30, 0x30, 0x30, 0x30, 0x31, 0x04, 0x61, 0x78};

// The key answers its next request of this command (and sub-command) with these bytes.
Reply answer(Bytes bytes, std::uint8_t command, std::optional<std::uint8_t> subCommand = {})
{
    return {std::move(bytes), command, subCommand};
}

} // namespace

// A saved language is in force before any key is reported, an unknown one is replaced by the one in force, and a
// setting is written when it changes, and only then.
TEST(ViewModelSettings, SavedSettingsAreUsedAndWrittenOnlyWhenChanged)
{
    EXPECT_NE(ViewModelHarness(false, {{"Language", "es"}}).vm->uiStr().pinOk, "Ok");
    ViewModelHarness h(false, {{"Language", "EN"}, {"AdvancedMode", "True"}});
    EXPECT_TRUE(h.config->values["Language"] == "en" && !h.vm->advancedMode());
    const int writes = h.config->writes;
    h.vm->setAdvancedMode(true);
    h.vm->saveAdvancedMode();
    h.vm->saveAdvancedMode();
    EXPECT_TRUE(h.config->values["AdvancedMode"] == "true" && h.config->writes == writes + 1);
}

// Credential management in its prototype form counts; a key without PIN support is never asked for retries and
// offers no PIN buttons.
TEST(ViewModelDevices, PrototypeCredentialManagementAndNoPinSupportAreShown)
{
    SoftKeyConfig preview, noPin;
    preview.credMgmt = false;
    preview.credMgmtPreview = true;
    noPin.pinUvAuthProtocols.reset();
    noPin.clientPin = SoftKeyConfig::Option::Absent;
    ViewModelHarness h;
    h.plugAndList(preview);
    auto& key = h.plugAndList(noPin);
    const std::vector<DeviceItem> list = h.vm->deviceList();
    EXPECT_TRUE(list.at(0).fido2Pre && list[0].hasCredMgmt);
    EXPECT_TRUE(list.at(1).pinProtocol == PinProtocol::None && !list[1].retries);
    EXPECT_EQ(countRequests(key.authenticator(), 0x06), 0u);
    h.select(1);
    EXPECT_TRUE(!h.vm->setPinVisible() && !h.vm->changePinVisible() && h.vm->resetVisible());
}

// A key whose reading fails part-way is logged, and listed with what was read when it said who it is (its AAGUID),
// so it can still be reset; never with "0 retries left" for a count it did not give.
TEST(ViewModelDevices, AKeyReadOnlyInPartIsLoggedAndListedWhenItSaidWhoItIs)
{
    const std::tuple<const char*, Reply, const char*, bool> cases[] = {
        {"getInfo refused", answer({0x01}, 0x04), "addDevice: failed, error = 0xE00002BC", false},
        {"getInfo undecodable", answer({0x00, 0xA3, 0x01}, 0x04), "parseInfo: CBOR decode error", false},
        {"getInfo malformed", answer(kMalformedInfo, 0x04), "addDevice: failed, error = 0xE0000001", true},
        {"getPinRetries refused", answer({0x7F}, 0x06, 0x01), "getPinRetries: failed, error = 0xE0000001", true},
        {"getPinRetries negative", answer({0x00, 0xA1, 0x03, 0x20}, 0x06, 0x01),
         "parseCborPinGetRetries: CBOR decode error", true},
    };
    for (const auto& [name, reply, line, listed] : cases) {
        SCOPED_TRACE(name);
        LogCapture log;
        ViewModelHarness h;
        auto& key = h.plugAndList();
        ASSERT_TRUE(key.authenticator().setPin("1234") && h.unplugLast(key));
        key.authenticator().queueRawReply(reply);
        h.rig.replug(key);
        ASSERT_TRUE(pumpUntil([&] { return log.contains(line); }));
        ASSERT_TRUE(listed ? pumpUntil([&] { return h.vm->deviceList().size() == 1; }) : h.settle());
        ASSERT_EQ(h.vm->deviceList().size(), listed ? 1u : 0u);
        if (listed) {
            EXPECT_EQ(h.vm->deviceList()[0].aaguid, kAaguid);
            EXPECT_EQ(h.vm->deviceStatus(h.vm->deviceList()[0]).find("retries"), std::string::npos);
        }
    }
}

// A refresh replaces the row only with a whole reading of the key.
TEST(ViewModelDevices, AFailedRefreshKeepsTheRowTheKeyHad)
{
    LogCapture log;
    ViewModelHarness h;
    auto& key = h.plugAndList();
    h.select(0);
    ASSERT_TRUE(h.waitIdle());
    const std::vector<DeviceItem> before = h.vm->deviceList();
    key.authenticator().queueRawReply(answer(kMalformedInfo, 0x04));
    h.vm->setCurrentView(View::deviceList); // re-reads the selected key
    ASSERT_TRUE(pumpUntil([&] { return log.contains("refreshDevice: failed, error = 0xE0000001"); }) && h.waitIdle());
    EXPECT_EQ(h.vm->deviceList(), before);
    // Every row read again: a key whose PIN was set meanwhile shows it.
    ASSERT_TRUE(key.authenticator().setPin("1234"));
    h.vm->refreshAllDevices();
    EXPECT_TRUE(pumpUntil([&] { return h.vm->deviceList()[0].pinPresent; }));
}

// A key leaving takes its selection, its page (the settings page stays) and its token with it; another key leaving
// changes nothing but the list.
TEST(ViewModelDevices, ALeavingKeyTakesItsSelectionPageAndToken)
{
    LogCapture log;
    ViewModelHarness h(false, {{"AdvancedMode", "true"}});
    auto& first = h.plugAndSelectWithPin(kCredentials);
    auto& second = h.plugAndList();
    h.rig.unplug(h.plugAndList());
    ASSERT_TRUE(h.openCredentials("1234") && pumpUntil([&] { return h.vm->deviceList().size() == 2; }));
    EXPECT_TRUE(h.vm->credMgmtViewVisible() && h.vm->selectedDeviceItem());
    h.rig.unplug(first);
    ASSERT_TRUE(pumpUntil([&] { return h.vm->deviceList().size() == 1 && h.vm->deviceListViewVisible(); }));
    EXPECT_FALSE(h.vm->selectedDeviceItem() || h.vm->resetVisible());
    ASSERT_TRUE(h.waitIdle());
    // Whatever opens the credential page next, nothing is left to authenticate a request with.
    h.select(0);
    h.vm->setCurrentView(View::credMgmt);
    ASSERT_TRUE(h.waitForMessage(kReadAgain));
    EXPECT_TRUE(log.contains("loadRpList: failed, error = 0xE00002E2"));
    EXPECT_EQ(countRequests(second.authenticator(), 0x0A), 0u);
    h.vm->closeMessageBox(true);
    ASSERT_TRUE(h.waitIdle());
    h.select(0);
    h.vm->showSettings();
    ASSERT_TRUE(h.unplugLast(second));
    EXPECT_TRUE(h.vm->settingsViewVisible() && !h.vm->selectedDeviceItem());
}

// Nothing goes to the key before the PIN is within the key's minimum (never below 4; the row keeps what the key
// reported) and 63, in characters and in bytes, and both fields match; the length is checked first.
TEST(ViewModelPin, LocalChecksComeBeforeTheKey)
{
    std::string wide; // 22 characters, 66 bytes
    for (int i = 0; i < 22; ++i)
        wide += "\xE3\x81\x82";
    const std::string tooLong(64, '7');
    // the key's minimum, the two fields, the message
    const std::tuple<std::optional<std::uint64_t>, std::string, std::string, std::string> cases[] = {
        {std::nullopt, "1", "1", "PIN length must be 4 to 63 characters"},
        {6, "12", "1234", "PIN length must be 6 to 63 characters"},
        {6, "123456", "123457", "PINs do not match"},
        {6, tooLong, tooLong, "PIN length must be 6 to 63 characters"},
        {6, wide, wide, "PIN length must be 6 to 63 characters"},
    };
    for (const auto& [minimum, pin, confirm, message] : cases) {
        SCOPED_TRACE(message + " for " + std::to_string(pin.size()) + " bytes");
        ViewModelHarness h;
        SoftKeyConfig config;
        config.minPINLength = minimum;
        auto& key = h.plugAndList(config);
        EXPECT_EQ(h.vm->deviceList().at(0).minPinLength, minimum.value_or(0));
        h.select(0);
        h.vm->showPinViewForSetOrChange();
        EXPECT_EQ(h.vm->pinLengthHint(), std::to_string(minimum.value_or(4)) + " to 63 characters");
        key.authenticator().clearRequestLog();
        h.typePins(pin, confirm);
        h.vm->pinOkClicked();
        ASSERT_TRUE(h.waitForMessage(message));
        EXPECT_TRUE(key.authenticator().requestLog().empty());
    }
}

// A field takes what was typed or pasted without its spaces and control characters, and nothing else goes: a
// pasted "1234 5678" is the PIN 12345678, never 1234.
TEST(ViewModelPin, PastedTextLosesOnlySpacesAndControlCharacters)
{
    const std::pair<const char*, const char*> cases[] = {
        {"12 ", "12"},           {"1234 5678", "12345678"},     {"4321\n", "4321"},
        {"\tA\r\nB\x7F", "AB"}, {"\xC3\xA9 \xC3\xA9", "\xC3\xA9\xC3\xA9"},
        {"\xC2\x85x\xC2\xA0", "x\xC2\xA0"}, // a C1 control goes, a no-break space is a character
    };
    for (const auto& [typed, kept] : cases) {
        SecureString text(typed);
        DeviceViewModel::sanitizePinInput(text);
        EXPECT_EQ(text.view(), kept) << typed;
    }
}

// A PIN set or change says what the key did: "Original PIN is wrong" only for its own PIN_INVALID; an answer lost
// or cut off says the key may or may not have changed. Leaving the page clears the fields, staying keeps them, and
// the row, read again, shows the key as it is now.
TEST(ViewModelPin, EachOutcomeSaysWhatTheKeyDid)
{
    struct Case {
        const char* name;
        const char* oldPin;                  // typed on a key with the PIN 1234; empty: the key has none
        std::vector<Fault> faults;           // on the key's CBOR answers (the first is the key agreement's)
        std::optional<std::uint8_t> refusal; // the key's answer to the setPin/changePin request itself
        std::string message;
        bool newPinOnKey;
    };
    const std::string pinSet = "New PIN is set";
    const Case cases[] = {
        {"set", "", {}, {}, pinSet, true},
        {"change", "1234", {}, {}, pinSet, true},
        {"set, answer lost", "", {Fault::BadKeepalive, Fault::Silence}, {}, kNotKnown, true},
        {"set, key gone while answering", "", {Fault::BadKeepalive, Fault::HangUp}, {}, kNotKnown, true},
        {"change, answer lost", "1234", {Fault::BadKeepalive, Fault::Silence}, {}, kNotKnown, true},
        {"change, PIN blocked", "1234", {}, 0x32, "Set PIN failed", false},
        {"change, policy refused", "1234", {}, 0x37, "Set PIN failed", false},
        {"change, wrong old PIN", "9999", {}, {}, "Original PIN is wrong", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const bool change = *c.oldPin != '\0';
        ViewModelHarness h;
        UsbKeyRig::Key& key = change ? h.plugAndSelectWithPin("pin 1234\n") : h.plugAndList();
        if (!change)
            h.select(0);
        h.vm->showPinViewForSetOrChange();
        EXPECT_EQ(h.vm->hasOldPin(), change);
        h.typePins("56 78", "5678\n", c.oldPin); // pasted
        // A PROCESSING keepalive before the key-agreement answer leaves that one as it is.
        for (Fault fault : c.faults)
            key.front->injectFault({fault, fault == Fault::BadKeepalive ? 1u : 0u, std::uint8_t{0x10}});
        if (c.refusal)
            key.authenticator().queueRawReply(answer({*c.refusal}, 0x06, 0x04));
        h.vm->pinOkClicked();
        ASSERT_TRUE(h.waitForMessage(c.message));
        const bool stays = !c.newPinOnKey;
        EXPECT_EQ(h.vm->currentView(), stays ? View::pin : View::deviceList);
        EXPECT_EQ(h.vm->newPin().view(), stays ? "5678" : "");
        EXPECT_EQ(key.authenticator().pinIs("5678"), c.newPinOnKey);
        ASSERT_TRUE(h.waitIdle());
        if (key.front->connected() && !c.refusal) {
            // The row is the key's as it is now: its PIN, and the retries left after a wrong PIN.
            const std::uint64_t retries = key.authenticator().pinRetries();
            ASSERT_TRUE(pumpUntil([&] {
                const auto& list = h.vm->deviceList();
                return list.size() == 1 && list[0].pinPresent && list[0].retries == retries;
            }));
            EXPECT_TRUE(!stays || h.vm->selectedDeviceItem()->retries == retries);
        }
    }
}

// What a Delete of the last two of three rows (after one touch) leaves on screen is what the key holds, and the user
// hears of every failure they did not cause.
TEST(ViewModelCredentials, ADeleteShowsWhatTheKeyDid)
{
    const std::string nothingDeleted = "Nothing was deleted";
    const std::string needsPin = "Could not delete credentials, enter the PIN again";
    const Step cancel = [](ViewModelHarness& h, UsbKeyRig::Key&) { h.vm->cancelUserTouch(); };
    const Step unplug = [](ViewModelHarness& h, UsbKeyRig::Key& key) { h.rig.unplug(key); };
    const Reply lost{Bytes{}, std::uint8_t{0x0A}, std::uint8_t{0x06}, true}; // after the key deleted it
    struct Case {
        const char* name;
        std::vector<Reply> replies;
        Step duringTouch;    // with the touch prompt up
        std::string message; // empty: none
        View page;
        std::size_t left;    // credentials the key holds afterwards
        std::size_t counted; // in the counts shown
    };
    const Case cases[] = {
        {"deleted", {}, {}, "", View::credMgmt, 1, 1},
        {"touch cancelled from the prompt", {}, cancel, "", View::credMgmt, 3, 3},
        {"touch answer garbled", {answer({}, 0x0B)}, {}, nothingDeleted, View::credMgmt, 3, 3},
        {"key removed during the touch", {}, unplug, nothingDeleted, View::deviceList, 3, 3},
        {"token expired", {answer({0x38}, 0x0A, 0x06)}, {}, needsPin, View::deviceList, 3, 3},
        {"token refused", {answer({0x33}, 0x0A, 0x06)}, {}, needsPin, View::deviceList, 3, 3},
        {"answer lost", {lost}, {}, "", View::credMgmt, 1, 1}, // the row must not stay
        // The last row goes first; the list is read again.
        {"one refused", {answer({0x2E}, 0x0A, 0x06)}, {}, "Some credentials could not be deleted", View::credMgmt, 2,
         2},
        // The counts are read after each deletion; the last ones read stay, no zeros.
        {"counts unreadable", {answer({0x7F}, 0x0A, 0x01), answer({0x7F}, 0x0A, 0x01)}, {}, "", View::credMgmt, 1, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ViewModelHarness h(false, {{"AdvancedMode", "true"}});
        auto& key = h.plugAndSelectWithPin(kCredentials);
        ASSERT_TRUE(h.openCredentials("1234"));
        ASSERT_EQ(h.vm->rpList().size(), 3u);
        EXPECT_EQ(h.vm->rpList()[2].name, "b.example"); // a blank name gives way to the id
        h.vm->setRpItemChecked(1, true);
        h.vm->setRpItemChecked(2, true);
        for (const Reply& reply : c.replies)
            key.authenticator().queueRawReply(reply);
        if (c.duringTouch)
            key.authenticator().setTouch(SoftAuthenticator::Touch::HeldUntilCancel);
        h.vm->credMgmtDeleteClicked();
        if (c.duringTouch) {
            ASSERT_TRUE(pumpUntil([&] { return h.vm->waitUserTouch(); }));
            c.duringTouch(h, key);
        }
        ASSERT_TRUE(c.message.empty() ? h.waitIdle() && h.settle() : h.waitForMessage(c.message));
        EXPECT_EQ(h.vm->showMessageBox(), !c.message.empty());
        EXPECT_EQ(h.vm->currentView(), c.page);
        EXPECT_EQ(key.authenticator().credentials().size(), c.left);
        EXPECT_EQ(countRequests(key.authenticator(), 0x0B), 1u); // one touch (selection) for the whole deletion
        if (c.page == View::credMgmt) {
            EXPECT_EQ(h.vm->rpList().size(), c.left);
            EXPECT_EQ(h.vm->credMgmtCountInfo(), "Resident credential counts: " + std::to_string(c.counted) +
                                                     " , remains: " + std::to_string(25 - c.counted));
            EXPECT_EQ(h.vm->credMgmtDeleteButtonEnable(), c.left > 1); // the rows not deleted stay ticked
        }
    }
}

// "Wrong PIN" only when the key said so; any other failure of the token, or of the reading of the list to its end
// (another program's token makes ours stale), says the credentials could not be read, rows read before it do not
// stay, and the way in again takes a new token.
TEST(ViewModelCredentials, AFailedAuthenticationOrReadingSaysWhatTheKeySaid)
{
    const Step otherProgram = [](ViewModelHarness&, UsbKeyRig::Key& key) {
        // The main thread is held until the key has given our token, so the page cannot ask for the list yet.
        ASSERT_TRUE(eventually([&] { return countRequests(key.authenticator(), 0x06, 0x09) == 1; }));
        TestCtapClient other([&](const Bytes& request) { return key.authenticator().handle(request); }, 2);
        ASSERT_EQ(other.token("1234", 0x04).first, 0);
    };
    struct Case {
        const char* name;
        const char* pin;
        std::optional<Reply> reply;
        Step meanwhile;
        std::string message;
        std::size_t rowsSeen; // before the failure
    };
    const Case cases[] = {
        {"wrong PIN", "9999", {}, {}, "Wrong PIN", 0},
        {"token of the wrong kind", "1234", answer({0x00, 0xA1, 0x02, 0x01}, 0x06, 0x09), {}, kReadAgain, 0},
        {"PIN_AUTH_BLOCKED", "1234", answer({0x34}, 0x06, 0x09), {}, kReadAgain, 0},
        {"token replaced", "1234", {}, otherProgram, kReadAgain, 0},
        {"counts refused", "1234", answer({0x7F}, 0x0A, 0x01), {}, kReadAgain, 0},
        {"next relying party refused", "1234", answer({0x7F}, 0x0A, 0x03), {}, kReadAgain, 0},
        {"next credential of the second one refused", "1234", answer({0x7F}, 0x0A, 0x05), {}, kReadAgain, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LogCapture log;
        ViewModelHarness h(false, {{"AdvancedMode", "true"}});
        auto& key = h.plugAndSelectWithPin(kCredentials);
        std::size_t rowsSeen = 0;
        QObject context;
        QObject::connect(h.vm.get(), &DeviceViewModel::rpItemsInserted, &context,
                         [&] { rowsSeen = std::max(rowsSeen, h.vm->rpList().size()); });
        if (c.reply)
            key.authenticator().queueRawReply(*c.reply);
        h.authenticate(c.pin);
        if (c.meanwhile)
            c.meanwhile(h, key);
        ASSERT_TRUE(h.waitForMessage(c.message));
        const bool tokenGiven = countRequests(key.authenticator(), 0x0A) > 0;
        EXPECT_EQ(h.vm->currentView(), tokenGiven ? View::deviceList : View::pin);
        EXPECT_TRUE(!h.vm->loading() && h.vm->rpList().empty());
        EXPECT_EQ(rowsSeen, c.rowsSeen);
        EXPECT_EQ(log.contains("loadRpList: failed, error = 0xE00002BC"), tokenGiven);
        h.vm->closeMessageBox(true);
        ASSERT_TRUE(h.waitIdle());
        h.select(0);
        ASSERT_TRUE(h.openCredentials("1234"));
        EXPECT_TRUE(h.vm->rpList().size() == 3 && !h.vm->showMessageBox());
    }
}

// A reset goes out once the key asked for comes back (neither another model nor another key of its model ends the
// wait), after a first touch. Cancelled by the user or refused by the key it is silent, any other failure is told,
// and an answer lost (the key leaves instead of answering) says the outcome is not known.
TEST(ViewModelReset, EachOutcomeSaysWhatTheKeyDid)
{
    using Touch = SoftAuthenticator::Touch;
    const Step nothing = [](ViewModelHarness&, UsbKeyRig::Key&) {};
    const Step cancelTouch = [](ViewModelHarness& h, UsbKeyRig::Key&) {
        ASSERT_TRUE(pumpUntil([&] { return h.vm->waitUserTouch(); }));
        h.vm->cancelUserTouch();
    };
    const Step loseAnswer = [](ViewModelHarness& h, UsbKeyRig::Key& key) {
        ASSERT_TRUE(pumpUntil([&] { return h.vm->waitUserTouch(); })); // the first touch, before the reset
        // Its answer goes out as it is (after a PROCESSING keepalive); the key leaves instead of answering the reset.
        key.front->injectFault({Fault::BadKeepalive, 1, std::uint8_t{0x10}});
        key.front->injectFault({Fault::HangUp, 0, std::uint8_t{0x10}});
        key.authenticator().giveTouch();
    };
    struct Case {
        const char* name;
        Step beforeReplug;
        bool powerUp;
        Step afterReplug;
        std::string message; // empty: none
        std::size_t resets;  // reset requests the key saw
        bool cleared;
    };
    const Case cases[] = {
        {"reset", nothing, true, nothing, "Reset device is successful", 1, true},
        {"cancelled at the re-insert prompt", [](auto& h, auto&) { h.vm->cancelReinsert(); }, true, nothing, "", 0,
         false},
        {"refused outside its window", [](auto&, auto& key) { key.authenticator().closeResetWindow(); }, false,
         nothing, "", 1, false},
        {"cancelled at the touch prompt", [](auto&, auto& key) { key.authenticator().setTouch(Touch::HeldUntilCancel); },
         true, cancelTouch, "", 0, false},
        {"refused otherwise", [](auto&, auto& key) { key.authenticator().queueRawReply(answer({0x7F}, 0x07)); }, true,
         nothing, "Reset device is failed", 1, false},
        {"answer lost", [](auto&, auto& key) { key.authenticator().queueTouch(Touch::Manual); }, true, loseAnswer,
         kNotKnown, 1, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ViewModelHarness h;
        auto& key = h.plugAndList({}, "KWO FIDO", "SERIAL-A");
        ASSERT_TRUE(key.authenticator().setPin("1234"));
        h.select(0);
        h.vm->confirmReset();
        ASSERT_TRUE(pumpUntil([&] { return h.vm->showMessageBox(); }));
        h.vm->closeMessageBox(true);
        ASSERT_TRUE(pumpUntil([&] { return h.vm->reinsertNeeded(); }));
        c.beforeReplug(h, key);
        ASSERT_TRUE(h.unplugLast(key));
        const bool waiting = h.vm->reinsertNeeded();
        auto& otherModel = h.plugAndList({}, "Other Key");
        auto& otherSerial = h.plugAndList({}, "KWO FIDO", "SERIAL-B");
        EXPECT_EQ(h.vm->reinsertNeeded(), waiting);
        CtaphidFront::Options options;
        options.powerUp = c.powerUp;
        auto& again = h.rig.replug(key, options);
        c.afterReplug(h, again);
        ASSERT_TRUE(c.message.empty() ? pumpUntil([&] { return h.vm->deviceList().size() == 3; }) && h.settle()
                                      : h.waitForMessage(c.message));
        EXPECT_EQ(h.vm->showMessageBox(), !c.message.empty());
        EXPECT_FALSE(h.vm->reinsertNeeded() || h.vm->waitUserTouch());
        // Listed once, unless it left.
        ASSERT_TRUE(pumpUntil([&] { return h.vm->deviceList().size() == (again.front->connected() ? 3u : 2u); }));
        EXPECT_EQ(countRequests(again.authenticator(), 0x07), c.resets);
        EXPECT_EQ(countRequests(otherModel.authenticator(), 0x07) + countRequests(otherSerial.authenticator(), 0x07),
                  0u);
        EXPECT_EQ(again.authenticator().hasPin(), !c.cleared);
    }
}
