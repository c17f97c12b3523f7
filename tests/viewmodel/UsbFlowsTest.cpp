// The application's flows on software USB keys: the view model drives the real HID transport and CTAP client.
#include "ViewModelHarness.h"

#include "softkey/SoftKeyFixtures.h"
#include "softkey/tests/TestCtapClient.h"
#include "support/Eventually.h"
#include "support/LogCapture.h"
#include "viewmodel/TextTemplates.h"

#include <gtest/gtest.h>

#include <fstream>

using View = DeviceViewModel::View;

namespace {

void typeNewPin(DeviceViewModel& vm, const std::string& pin, const std::string& confirm)
{
    vm.pinFieldEdited(DeviceViewModel::PinField::newPin, pin);
    vm.pinFieldEdited(DeviceViewModel::PinField::confirmPin, confirm);
    vm.updatePinInputDone();
}

// Ways the reading of a key can fail part-way, the status the view model then logs, and whether the key is
// still listed: a key that said who it is (its AAGUID) is, with what could be read, so it can still be reset.
struct ReadFailure {
    const char* name;
    SoftAuthenticator::RawReply reply;
    const char* error;
    bool listed;
};

const ReadFailure readFailures[] = {
    {"getInfo refused", {Bytes{0x01}, std::uint8_t{0x04}}, "addDevice: failed, error = 0xE00002BC", false},
    {"getInfo undecodable", {Bytes{0x00, 0xA3, 0x01}, std::uint8_t{0x04}}, "parseInfo: CBOR decode error", false},
    // {3: the AAGUID, 4: a text where the options map belongs}
    {"getInfo malformed", {Bytes{0x00, 0xA2, 0x03, 0x50, 0x4D, 0x54, 0x2D, 0x53, 0x4F, 0x46, 0x54, 0x4B, 0x45, 0x59,
                                 0x2D, 0x30, 0x30, 0x30, 0x30, 0x31, 0x04, 0x61, 0x78},
                           std::uint8_t{0x04}},
     "addDevice: failed, error = 0xE0000001", true},
    {"getPinRetries refused", {Bytes{0x7F}, std::uint8_t{0x06}, std::uint8_t{0x01}}, "getPinRetries: failed, error = 0xE0000001", true},
    {"getPinRetries negative", {Bytes{0x00, 0xA1, 0x03, 0x20}, std::uint8_t{0x06}, std::uint8_t{0x01}},
     "parseCborPinGetRetries: CBOR decode error", true},
};

// The status bytes the key answered the credential-management requests of one sub-command with.
std::vector<std::uint8_t> credMgmtStatuses(SoftAuthenticator& key, std::uint8_t subCommand)
{
    std::vector<std::uint8_t> statuses;
    for (const auto& entry : key.requestLog()) {
        // Requests start 0A A? 01 <sub-command>.
        if (entry.command() == 0x0A && entry.request.size() >= 4 && entry.request[3] == subCommand)
            statuses.push_back(entry.status());
    }
    return statuses;
}

// The credential list's change announcements, in order.
struct ListChanges {
    explicit ListChanges(DeviceViewModel& vm)
    {
        auto add = [this](std::string what, std::size_t first, std::size_t count) {
            log.push_back(what + " " + std::to_string(first) + "+" + std::to_string(count));
        };
        QObject::connect(&vm, &DeviceViewModel::rpListReset, &context,
                         [this, &vm] { log.push_back("reset " + std::to_string(vm.rpList().size())); });
        QObject::connect(&vm, &DeviceViewModel::rpItemsInserted, &context,
                         [add](std::size_t first, std::size_t count) { add("insert", first, count); });
        QObject::connect(&vm, &DeviceViewModel::rpItemsRemoved, &context,
                         [add](std::size_t first, std::size_t count) { add("remove", first, count); });
        QObject::connect(&vm, &DeviceViewModel::rpItemChanged, &context,
                         [this](std::size_t index) { log.push_back("change " + std::to_string(index)); });
    }
    QObject context;
    std::vector<std::string> log;
};

} // namespace

TEST(ViewModelStart, InitialStateAndSavedSettings)
{
    ViewModelHarness h(false, {{"Language", "es"}, {"AdvancedMode", "true"}});
    DeviceViewModel& vm = *h.vm;
    EXPECT_TRUE(vm.deviceListViewVisible());
    EXPECT_FALSE(vm.pinViewVisible() || vm.settingsViewVisible() || vm.credMgmtViewVisible());
    EXPECT_TRUE(vm.deviceList().empty());
    EXPECT_FALSE(vm.selectedDeviceItem());
    EXPECT_FALSE(vm.setPinVisible() || vm.changePinVisible() || vm.resetVisible() || vm.credMgmtVisible());
    EXPECT_EQ(vm.language(), Language::ES);
    EXPECT_NE(vm.uiStr().pinOk, "Ok"); // translated before any key is reported
    EXPECT_TRUE(vm.advancedMode());

    ViewModelHarness fresh(false, {{"Language", "EN"}, {"AdvancedMode", "True"}});
    EXPECT_EQ(fresh.vm->language(), Language::EN);
    EXPECT_FALSE(fresh.vm->advancedMode());
    EXPECT_EQ(fresh.config->values["Language"], "en"); // an unknown code is replaced by the one in force
}

TEST(ViewModelDevices, ArrivalListsTheKeyWithItsInformation)
{
    ViewModelHarness h;
    SoftKeyConfig config;
    config.minPINLength = 6;
    auto& key = h.plugAndList(config);
    ASSERT_EQ(h.vm->deviceList().size(), 1u);
    const DeviceItem item = h.vm->deviceList()[0];
    EXPECT_EQ(item.deviceName, "Tallowfin");
    EXPECT_EQ(item.aaguid, "4D542D534F46544B45592D3030303031");
    EXPECT_EQ(item.protocols, "FIDO_2_0, FIDO_2_1_PRE, FIDO_2_1");
    EXPECT_EQ(item.firmware, std::to_string(0x050403));
    EXPECT_FALSE(item.pinPresent);
    EXPECT_TRUE(item.hasCredMgmt);
    EXPECT_FALSE(item.fido2Pre);
    EXPECT_EQ(item.retries, 8u);
    EXPECT_EQ(item.minPinLength, 6u);
    EXPECT_EQ(item.pinProtocol, PinProtocol::Two);
    EXPECT_NE(item.cid, 0u);
    EXPECT_EQ(countRequests(key.authenticator(), 0x04), 1u);

    // A key with another product name keeps it; a key without credential management only in preview form.
    SoftKeyConfig preview;
    preview.credMgmt = false;
    preview.credMgmtPreview = true;
    h.plugAndList(preview, "Other Key");
    ASSERT_EQ(h.vm->deviceList().size(), 2u);
    EXPECT_EQ(h.vm->deviceList()[1].deviceName, "Other Key");
    EXPECT_TRUE(h.vm->deviceList()[1].fido2Pre);
    EXPECT_TRUE(h.vm->deviceList()[1].hasCredMgmt);
}

// A key that refuses getInfo is covered by AKeyWhoseReadingFailsIsNotListedAndTheFailureIsLogged.
TEST(ViewModelDevices, NoPinProtocolMeansNoRetriesAndNoPinButtons)
{
    ViewModelHarness h;
    SoftKeyConfig noPin;
    noPin.pinUvAuthProtocols.reset();
    noPin.clientPin = SoftKeyConfig::Option::Absent;
    auto& key = h.plugAndList(noPin);
    ASSERT_EQ(h.vm->deviceList().size(), 1u);
    EXPECT_EQ(h.vm->deviceList()[0].pinProtocol, PinProtocol::None);
    EXPECT_FALSE(h.vm->deviceList()[0].retries);
    EXPECT_EQ(countRequests(key.authenticator(), 0x06), 0u);
    h.select(0);
    EXPECT_FALSE(h.vm->setPinVisible());
    EXPECT_FALSE(h.vm->changePinVisible());
    EXPECT_TRUE(h.vm->resetVisible());
}

TEST(ViewModelDevices, AKeyReadOnlyInPartIsLoggedAndListedWhenItSaidWhoItIs)
{
    for (const ReadFailure& failure : readFailures) {
        SCOPED_TRACE(failure.name);
        LogCapture log;
        ViewModelHarness h;
        auto& key = h.plugAndList();
        ASSERT_TRUE(key.authenticator().setPin("1234"));
        h.rig.unplug(key);
        ASSERT_TRUE(pumpUntil([&] { return h.vm->deviceList().empty(); }));
        key.authenticator().queueRawReply(failure.reply);
        h.rig.replug(key);
        ASSERT_TRUE(pumpUntil([&] { return log.contains(failure.error); }));
        if (!failure.listed) {
            ASSERT_TRUE(h.settle());
            EXPECT_TRUE(h.vm->deviceList().empty());
        } else {
            ASSERT_TRUE(pumpUntil([&] { return h.vm->deviceList().size() == 1; }));
            const DeviceItem& item = h.vm->deviceList()[0];
            EXPECT_EQ(item.aaguid, "4D542D534F46544B45592D3030303031");
            EXPECT_EQ(item.deviceName, "Tallowfin");
            // Never "0 retries left" for a count the key did not give.
            EXPECT_EQ(h.vm->deviceStatus(item).find("retries"), std::string::npos);
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
    const DeviceItem before = h.vm->deviceList().at(0);
    key.authenticator().queueRawReply(readFailures[2].reply);
    h.vm->setCurrentView(View::deviceList); // re-reads the selected key
    ASSERT_TRUE(pumpUntil([&] { return log.contains("refreshDevice: failed, error = 0xE0000001"); }));
    ASSERT_TRUE(h.waitIdle());
    ASSERT_EQ(h.vm->deviceList().size(), 1u);
    EXPECT_EQ(h.vm->deviceList()[0], before);

    // Every row read again: a key whose PIN was set meanwhile shows it.
    ASSERT_TRUE(key.authenticator().setPin("1234"));
    h.vm->refreshAllDevices();
    ASSERT_TRUE(pumpUntil([&] { return h.vm->deviceList()[0].pinPresent; }));
}

TEST(ViewModelDevices, RemovalOfSelectedAndOtherKeys)
{
    ViewModelHarness h;
    auto& first = h.plugAndList();
    auto& second = h.plugAndList();
    h.select(0);
    h.vm->showPinViewForSetOrChange();
    ASSERT_TRUE(h.vm->pinViewVisible());

    // Another key leaving changes nothing but the list.
    h.rig.unplug(second);
    ASSERT_TRUE(pumpUntil([&] { return h.vm->deviceList().size() == 1; }));
    EXPECT_TRUE(h.vm->pinViewVisible());
    EXPECT_TRUE(h.vm->selectedDeviceItem());

    // The selected key leaving clears the selection and leaves the PIN page.
    ASSERT_TRUE(h.unplugLast(first));
    EXPECT_FALSE(h.vm->selectedDeviceItem());
    EXPECT_TRUE(h.vm->deviceListViewVisible());
    EXPECT_EQ(h.vm->currentView(), View::deviceList);
    EXPECT_FALSE(h.vm->resetVisible());

    // On the settings page the page stays.
    auto& third = h.plugAndList();
    h.select(0);
    h.vm->showSettings();
    ASSERT_TRUE(h.unplugLast(third));
    EXPECT_TRUE(h.vm->settingsViewVisible());
    EXPECT_FALSE(h.vm->selectedDeviceItem());
}

TEST(ViewModelPin, SetPinThenChangeItWithTheKeyRefreshed)
{
    ViewModelHarness h;
    auto& key = h.plugAndList();
    h.select(0);
    EXPECT_TRUE(h.vm->setPinVisible());
    EXPECT_FALSE(h.vm->changePinVisible());
    h.vm->showPinViewForSetOrChange();
    EXPECT_FALSE(h.vm->hasOldPin());
    EXPECT_TRUE(h.vm->hasNewPin() && h.vm->hasConfirmPin());
    EXPECT_EQ(h.vm->pinLengthHint(), "4 to 63 characters");
    EXPECT_FALSE(h.vm->pinInputDone());
    typeNewPin(*h.vm, "1234", "1234");
    EXPECT_TRUE(h.vm->pinInputDone());
    h.vm->pinOkClicked();
    EXPECT_TRUE(h.vm->busy());
    ASSERT_TRUE(h.waitForMessage("New PIN is set"));
    EXPECT_EQ(h.vm->messageBoxInfo().title, "PIN Set/Change");
    EXPECT_TRUE(h.vm->deviceListViewVisible());
    EXPECT_TRUE(h.vm->newPin().empty()); // leaving the page clears the fields
    EXPECT_TRUE(key.authenticator().hasPin());
    // Showing the list re-reads the selected key.
    ASSERT_TRUE(pumpUntil([&] { return !h.vm->deviceList().empty() && h.vm->deviceList()[0].pinPresent; }));
    ASSERT_TRUE(h.waitIdle());
    h.vm->closeMessageBox(true);

    h.select(0);
    EXPECT_TRUE(h.vm->changePinVisible());
    h.vm->showPinViewForSetOrChange();
    EXPECT_TRUE(h.vm->hasOldPin());
    h.vm->pinFieldEdited(DeviceViewModel::PinField::oldPin, "9999");
    typeNewPin(*h.vm, "5678", "5678");
    h.vm->pinOkClicked();
    ASSERT_TRUE(h.waitForMessage("Original PIN is wrong"));
    EXPECT_TRUE(h.vm->pinViewVisible());
    EXPECT_EQ(h.vm->newPin(), "5678"); // the fields stay as typed
    h.vm->closeMessageBox(true);
    h.vm->pinFieldEdited(DeviceViewModel::PinField::oldPin, "1234");
    h.vm->pinOkClicked();
    ASSERT_TRUE(h.waitForMessage("New PIN is set"));
    EXPECT_EQ(h.vm->currentView(), View::deviceList);
}

TEST(ViewModelPin, LocalChecksComeBeforeTheKey)
{
    ViewModelHarness h;
    SoftKeyConfig config;
    config.minPINLength = 6;
    auto& key = h.plugAndList(config);
    h.select(0);
    h.vm->showPinViewForSetOrChange();
    EXPECT_EQ(h.vm->pinLengthHint(), "6 to 63 characters");
    key.authenticator().clearRequestLog();

    typeNewPin(*h.vm, "12345", "12345");
    h.vm->pinOkClicked();
    ASSERT_TRUE(h.waitForMessage("PIN length must be 6 to 63 characters"));
    h.vm->closeMessageBox(true);

    typeNewPin(*h.vm, "12", "1234"); // the length check comes first
    h.vm->pinOkClicked();
    ASSERT_TRUE(h.waitForMessage("PIN length must be 6 to 63 characters"));
    h.vm->closeMessageBox(true);

    typeNewPin(*h.vm, "123456", "123457");
    h.vm->pinOkClicked();
    ASSERT_TRUE(h.waitForMessage("PINs do not match"));
    h.vm->closeMessageBox(true);

    typeNewPin(*h.vm, std::string(64, '7'), std::string(64, '7'));
    h.vm->pinOkClicked();
    ASSERT_TRUE(h.waitForMessage("PIN length must be 6 to 63 characters"));
    h.vm->closeMessageBox(true);

    // 21 three-byte characters are within 63 characters but not within the key's 63 bytes.
    std::string wide;
    for (int i = 0; i < 22; ++i)
        wide += "\xE3\x81\x82";
    typeNewPin(*h.vm, wide, wide);
    h.vm->pinOkClicked();
    ASSERT_TRUE(h.waitForMessage("PIN length must be 6 to 63 characters"));
    EXPECT_TRUE(key.authenticator().requestLog().empty());
}

// The page's minimum is the key's, but never below the protocol's 4; the row keeps what the key reported.
TEST(ViewModelPin, MinimumLengthFollowsTheKeyButNeverGoesBelowFour)
{
    struct Case {
        const char* name;
        std::optional<std::uint64_t> reported;
        std::uint64_t row;
        std::uint64_t page;
        const char* tooShort;
        const char* hint;
        const char* refusal;
    };
    const Case cases[] = {
        {"not reported", std::nullopt, 0, 4, "1", "4 to 63 characters", "PIN length must be 4 to 63 characters"},
        {"six", 6, 6, 6, "12345", "6 to 63 characters", "PIN length must be 6 to 63 characters"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ViewModelHarness h;
        SoftKeyConfig config;
        config.minPINLength = c.reported;
        auto& key = h.plugAndList(config);
        EXPECT_EQ(h.vm->deviceList().at(0).minPinLength, c.row);
        h.select(0);
        EXPECT_EQ(h.vm->minimumPinLength(), c.page);
        h.vm->showPinViewForSetOrChange();
        EXPECT_EQ(h.vm->pinLengthHint(), c.hint);
        key.authenticator().clearRequestLog();
        typeNewPin(*h.vm, c.tooShort, c.tooShort);
        h.vm->pinOkClicked();
        ASSERT_TRUE(h.waitForMessage(c.refusal));
        EXPECT_TRUE(key.authenticator().requestLog().empty());
        EXPECT_FALSE(key.authenticator().hasPin());
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

    ViewModelHarness h;
    auto& key = h.plugAndList();
    h.select(0);
    h.vm->showPinViewForSetOrChange();
    h.vm->pinFieldEdited(DeviceViewModel::PinField::newPin, "1234 5678");
    EXPECT_FALSE(h.vm->pinInputDone());
    h.vm->pinFieldEdited(DeviceViewModel::PinField::confirmPin, "1234 5678\n");
    EXPECT_TRUE(h.vm->pinInputDone());
    h.vm->pinOkClicked();
    ASSERT_TRUE(h.waitForMessage("New PIN is set"));
    EXPECT_TRUE(key.authenticator().pinIs("12345678"));
    // Leaving and coming back: the fields are empty and OK is off again.
    h.vm->closeMessageBox(true);
    ASSERT_TRUE(h.waitIdle());
    h.select(0);
    h.vm->showPinViewForSetOrChange();
    EXPECT_FALSE(h.vm->pinInputDone());
}

// What a failed PIN set or change says follows what the key said: "Original PIN is wrong" only for its own
// PIN_INVALID; an answer lost, cut off or unreadable says that the key may or may not have changed, and the list
// (read again) shows what it holds now.
TEST(ViewModelPin, EachFailureSaysWhatTheKeyDid)
{
    using Fault = CtaphidFront::Fault;
    struct Case {
        const char* name;
        bool change;
        std::vector<Fault> faults; // on the key's CBOR answers, in order (the first is the key agreement's)
        std::optional<std::uint8_t> refusal; // the key's answer to the setPin/changePin request itself
        const char* message;
        View view;
        bool newPinOnKey;
    };
    const Case cases[] = {
        {"set, answer lost", false, {Fault::BadKeepalive, Fault::Silence}, {},
         "No clear answer: the key may or may not have changed", View::deviceList, true},
        {"set, key gone while answering", false, {Fault::BadKeepalive, Fault::HangUp}, {},
         "No clear answer: the key may or may not have changed", View::deviceList, true},
        {"change, answer lost", true, {Fault::BadKeepalive, Fault::Silence}, {},
         "No clear answer: the key may or may not have changed", View::deviceList, true},
        {"change, PIN blocked", true, {}, 0x32, "Set PIN failed", View::pin, false},
        {"change, policy refused", true, {}, 0x37, "Set PIN failed", View::pin, false},
        {"change, wrong old PIN", true, {}, {}, "Original PIN is wrong", View::pin, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ViewModelHarness h;
        UsbKeyRig::Key& bound = c.change ? h.plugAndSelectWithPin("pin 1234\n") : h.plugAndList();
        if (!c.change)
            h.select(0);
        h.vm->showPinViewForSetOrChange();
        if (c.change)
            h.vm->pinFieldEdited(DeviceViewModel::PinField::oldPin, c.refusal || c.newPinOnKey ? "1234" : "9999");
        h.vm->pinFieldEdited(DeviceViewModel::PinField::newPin, "5678");
        h.vm->pinFieldEdited(DeviceViewModel::PinField::confirmPin, "5678");
        // A PROCESSING keepalive before the key-agreement answer leaves that one as it is.
        for (Fault fault : c.faults)
            bound.front->injectFault({fault, fault == Fault::BadKeepalive ? 1u : 0u, std::uint8_t{0x10}});
        if (c.refusal)
            bound.authenticator().queueRawReply({Bytes{*c.refusal}, std::uint8_t{0x06}, std::uint8_t{4}});
        h.vm->pinOkClicked();
        ASSERT_TRUE(h.waitForMessage(c.message));
        EXPECT_EQ(h.vm->currentView(), c.view);
        EXPECT_EQ(bound.authenticator().pinIs("5678"), c.newPinOnKey);
        ASSERT_TRUE(h.waitIdle());
        if (bound.front->connected() && !c.refusal) {
            // The row is the key's as it is now: its PIN state and the retries left after a wrong PIN.
            ASSERT_TRUE(
                pumpUntil([&] { return h.vm->deviceList().size() == 1 && h.vm->deviceList()[0].pinPresent; }));
            const std::uint64_t retries = bound.authenticator().pinRetries();
            ASSERT_TRUE(pumpUntil([&] { return h.vm->deviceList()[0].retries == retries; }));
            if (c.view == View::pin) {
                EXPECT_EQ(h.vm->selectedDeviceItem()->retries, std::optional<std::uint64_t>(retries));
            }
        }
    }
}

TEST(ViewModelCredentials, AuthenticateListAndDeleteAfterATouch)
{
    ViewModelHarness h(false, {{"AdvancedMode", "true"}});
    SoftAuthenticator& auth =
        h.plugAndSelectWithPin("pin 1234\n"
                               "rp id=a.example name=\"A Corp\"\n"
                               "credential rp=a.example user=0A userName=alice displayName=\"Alice\"\n"
                               "credential rp=a.example user=0B userName=bob displayName=\"Bob\"\n"
                               "rp id=b.example name=\"   \"\n"
                               "credential rp=b.example user=0C userName=carol displayName=\"Carol\"\n")
            .authenticator();
    EXPECT_TRUE(h.vm->credMgmtVisible());
    ListChanges changes(*h.vm);

    h.vm->showPinViewForCredMgmt();
    EXPECT_TRUE(h.vm->hasAuthPin());
    EXPECT_FALSE(h.vm->hasNewPin());
    h.vm->pinFieldEdited(DeviceViewModel::PinField::authPin, "9999");
    h.vm->pinOkClicked();
    ASSERT_TRUE(h.waitForMessage("Wrong PIN"));
    EXPECT_TRUE(h.vm->pinViewVisible());
    h.vm->closeMessageBox(true);

    h.vm->pinFieldEdited(DeviceViewModel::PinField::authPin, "1234");
    h.vm->pinOkClicked();
    ASSERT_TRUE(pumpUntil([&] { return h.vm->credMgmtViewVisible() && !h.vm->loading(); }));
    ASSERT_EQ(h.vm->rpList().size(), 3u);
    EXPECT_EQ(h.vm->rpList()[0].name, "A Corp");
    EXPECT_EQ(h.vm->rpList()[0].userName, "alice");
    EXPECT_EQ(h.vm->rpList()[2].name, "b.example"); // a blank name falls back to the id
    EXPECT_EQ(h.vm->credMgmtCountInfo(), "Resident credential counts: 3 , remains: 22");
    EXPECT_FALSE(h.vm->credMgmtDeleteButtonEnable());

    // Tick rows 1 and 2; the key refuses the deletion of the last one (tried first) and keeps it: the list is read
    // again, that row stays ticked, and the user is told.
    LogCapture log;
    h.vm->setRpItemChecked(1, true);
    h.vm->setRpItemChecked(2, true);
    EXPECT_TRUE(h.vm->credMgmtDeleteButtonEnable());
    auth.queueRawReply({Bytes{0x2E}, std::uint8_t{0x0A}, std::uint8_t{0x06}});
    const std::string keptId = h.vm->rpList()[2].credentialId;
    h.vm->credMgmtDeleteClicked();
    ASSERT_TRUE(h.waitForMessage("Some credentials could not be deleted"));
    EXPECT_EQ(h.vm->messageBoxInfo().title, "Credential Management");
    EXPECT_EQ(log.count("credMgmtDeleteClicked: failed, error = 0xE00002BC"), 1);
    EXPECT_EQ(h.vm->touchPromptText(), "Touch your security key");
    ASSERT_EQ(h.vm->rpList().size(), 2u);
    EXPECT_EQ(h.vm->rpList()[1].credentialId, keptId);
    EXPECT_TRUE(h.vm->rpList()[1].isChecked);
    EXPECT_FALSE(h.vm->rpList()[0].isChecked);
    EXPECT_EQ(auth.credentials().size(), 2u);
    EXPECT_EQ(h.vm->credMgmtCountInfo(), "Resident credential counts: 2 , remains: 23");
    EXPECT_EQ(countRequests(auth, 0x0B), 1u); // one touch request (selection) for the whole deletion
    // Each relying party's rows arrive once; a tick changes its row; a deletion removes its row.
    EXPECT_EQ(changes.log,
              (std::vector<std::string>{"insert 0+2", "insert 2+1", "change 1", "change 2", "remove 1+1", "reset 2"}));
    h.vm->closeMessageBox(true);

    // The deletion succeeds but the counts cannot be read afterwards: the last counts stay, no zeros.
    auth.queueRawReply({Bytes{0x7F}, std::uint8_t{0x0A}, std::uint8_t{0x01}});
    h.vm->credMgmtDeleteClicked();
    ASSERT_TRUE(h.waitIdle());
    ASSERT_TRUE(pumpUntil([&] { return log.contains("readCredsMetadata: failed, error = 0xE00002BC"); }));
    EXPECT_EQ(h.vm->rpList().size(), 1u);
    EXPECT_EQ(h.vm->credMgmtCountInfo(), "Resident credential counts: 2 , remains: 23");
    EXPECT_FALSE(h.vm->showMessageBox());

    // Back, and in again through the PIN page: the list is read again.
    h.vm->credMgmtBackClicked();
    EXPECT_TRUE(h.vm->deviceListViewVisible());
}

// What a Delete leaves on screen is what the key holds, and the user hears of every failure they did not cause.
TEST(ViewModelCredentials, ADeleteShowsWhatTheKeyDid)
{
    using Reply = SoftAuthenticator::RawReply;
    using Act = std::function<void(ViewModelHarness&, UsbKeyRig::Key&)>;
    const std::string nothingDeleted = "Nothing was deleted";
    const std::string needsPin = "Could not delete credentials, enter the PIN again";
    struct Case {
        const char* name;
        std::optional<Reply> reply;
        Act duringTouch;     // with the touch prompt up
        std::string message; // empty: none
        View page;
        std::size_t left; // credentials the key holds afterwards
    };
    const Case cases[] = {
        {"touch cancelled from the prompt", {}, [](auto& h, auto&) { h.vm->cancelUserTouch(); }, "", View::credMgmt, 3},
        {"touch answer garbled", Reply{Bytes{}, std::uint8_t{0x0B}}, {}, nothingDeleted, View::credMgmt, 3},
        {"key removed during the touch", {}, [](auto& h, auto& key) { h.rig.unplug(key); }, nothingDeleted,
         View::deviceList, 3},
        {"token expired", Reply{Bytes{0x38}, std::uint8_t{0x0A}, std::uint8_t{0x06}}, {}, needsPin, View::deviceList, 3},
        {"token refused", Reply{Bytes{0x33}, std::uint8_t{0x0A}, std::uint8_t{0x06}}, {}, needsPin, View::deviceList, 3},
        // The key deletes the credential but its answer is lost: the row must not stay.
        {"answer lost", Reply{Bytes{}, std::uint8_t{0x0A}, std::uint8_t{0x06}, true}, {}, "", View::credMgmt, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ViewModelHarness h(false, {{"AdvancedMode", "true"}});
        auto& key = h.plugAndSelectWithPin("pin 1234\n"
                                           "credential rp=a.example user=0A userName=alice\n"
                                           "credential rp=b.example user=0B userName=bob\n"
                                           "credential rp=b.example user=0C userName=carol\n");
        ASSERT_TRUE(h.openCredentials("1234"));
        h.vm->setRpItemChecked(1, true);
        h.vm->setRpItemChecked(2, true);
        if (c.reply)
            key.authenticator().queueRawReply(*c.reply);
        if (c.duringTouch)
            key.authenticator().setTouch(SoftAuthenticator::Touch::HeldUntilCancel);
        h.vm->credMgmtDeleteClicked();
        if (c.duringTouch) {
            ASSERT_TRUE(pumpUntil([&] { return h.vm->waitUserTouch(); }));
            c.duringTouch(h, key);
        }
        if (c.message.empty())
            ASSERT_TRUE(h.waitIdle() && h.settle());
        else
            ASSERT_TRUE(h.waitForMessage(c.message));
        EXPECT_EQ(h.vm->showMessageBox(), !c.message.empty());
        EXPECT_EQ(h.vm->currentView(), c.page);
        EXPECT_EQ(key.authenticator().credentials().size(), c.left);
        if (c.page == View::credMgmt) {
            EXPECT_EQ(h.vm->rpList().size(), c.left);
            EXPECT_EQ(h.vm->credMgmtCountInfo(), "Resident credential counts: " + std::to_string(c.left) +
                                                     " , remains: " + std::to_string(25 - c.left));
            EXPECT_EQ(h.vm->credMgmtDeleteButtonEnable(), c.left == 3); // nothing deleted: the ticks stay
        }
    }
}

TEST(ViewModelCredentials, AKeyWithoutPinSetsOneThenAuthenticates)
{
    ViewModelHarness h(false, {{"AdvancedMode", "true"}});
    auto& key = h.plugAndList();
    h.select(0);
    h.vm->showPinViewForCredMgmt();
    EXPECT_FALSE(h.vm->hasAuthPin());
    EXPECT_TRUE(h.vm->hasNewPin());
    typeNewPin(*h.vm, "2468", "2468");
    // The token step fails once: the key must stay marked as having a PIN.
    key.authenticator().queueRawReply({Bytes{0x31}, std::uint8_t{0x06}, std::uint8_t{0x09}});
    h.vm->pinOkClicked();
    ASSERT_TRUE(h.waitForMessage("Wrong PIN"));
    EXPECT_TRUE(key.authenticator().hasPin());
    ASSERT_TRUE(h.vm->selectedDeviceItem());
    EXPECT_TRUE(h.vm->selectedDeviceItem()->pinPresent);
    h.vm->closeMessageBox(true);
    // The page now asks for the PIN, and the second try opens the credential page.
    h.vm->pinCancelClicked();
    h.waitIdle();
    h.select(0);
    h.vm->showPinViewForCredMgmt();
    EXPECT_TRUE(h.vm->hasAuthPin());
    h.vm->pinFieldEdited(DeviceViewModel::PinField::authPin, "2468");
    h.vm->pinOkClicked();
    ASSERT_TRUE(pumpUntil([&] { return h.vm->credMgmtViewVisible() && !h.vm->loading(); }));
    EXPECT_TRUE(h.vm->rpList().empty());
}

// "Wrong PIN" only when the key said the PIN was wrong; a token answer that cannot be read, or another refusal,
// says the credentials could not be read.
TEST(ViewModelCredentials, AuthenticationFailuresSayWhatTheKeySaid)
{
    const std::pair<Bytes, const char*> cases[] = {
        {{0x31}, "Wrong PIN"},
        {{0x00, 0xA1, 0x02, 0x01}, "Credentials could not be read, enter the PIN again"}, // token of the wrong kind
        {{0x34}, "Credentials could not be read, enter the PIN again"},                   // PIN_AUTH_BLOCKED
    };
    for (const auto& [answer, message] : cases) {
        SCOPED_TRACE(message);
        ViewModelHarness h(false, {{"AdvancedMode", "true"}});
        auto& key = h.plugAndSelectWithPin("pin 1234\n");
        h.vm->showPinViewForCredMgmt();
        h.vm->pinFieldEdited(DeviceViewModel::PinField::authPin, "1234");
        key.authenticator().queueRawReply({answer, std::uint8_t{0x06}, std::uint8_t{0x09}});
        h.vm->pinOkClicked();
        ASSERT_TRUE(h.waitForMessage(message));
        EXPECT_EQ(h.vm->currentView(), View::pin);
    }
}

TEST(ViewModelCredentials, ATokenReplacedByAnotherProgramIsAFailureAndThePinIsAskedAgain)
{
    LogCapture log;
    ViewModelHarness h(false, {{"AdvancedMode", "true"}});
    SoftAuthenticator& auth = h.plugAndSelectWithPin("pin 1234\n"
                                                  "rp id=a.example name=\"A Corp\"\n"
                                                  "credential rp=a.example user=0A userName=alice\n")
                                  .authenticator();
    h.vm->showPinViewForCredMgmt();
    h.vm->pinFieldEdited(DeviceViewModel::PinField::authPin, "1234");
    h.vm->pinOkClicked();
    // The main thread is held until the key has given our token, so the page cannot ask for the list yet;
    // meanwhile another program takes a token of its own, which makes ours stale.
    ASSERT_TRUE(eventually([&] { return countRequests(auth, 0x06, 0x09) == 1; }));
    TestCtapClient other([&](const Bytes& request) { return auth.handle(request); }, 2);
    ASSERT_EQ(other.token("1234", 0x04).first, 0);

    ASSERT_TRUE(h.waitForMessage("Credentials could not be read, enter the PIN again"));
    EXPECT_EQ(h.vm->messageBoxInfo().title, "Credential Management");
    EXPECT_EQ(h.vm->currentView(), View::deviceList);
    EXPECT_TRUE(h.vm->deviceListViewVisible());
    EXPECT_FALSE(h.vm->credMgmtViewVisible());
    EXPECT_TRUE(h.vm->rpList().empty());
    EXPECT_EQ(credMgmtStatuses(auth, 0x01), std::vector<std::uint8_t>{0x33}); // PIN_AUTH_INVALID
    EXPECT_TRUE(log.contains("loadRpList: failed, error = 0xE00002BC"));
    h.vm->closeMessageBox(true);
    ASSERT_TRUE(h.waitIdle());

    // The Credential Management button again: a new token, and the list.
    h.select(0);
    h.vm->showPinViewForCredMgmt();
    EXPECT_TRUE(h.vm->hasAuthPin());
    h.vm->pinFieldEdited(DeviceViewModel::PinField::authPin, "1234");
    h.vm->pinOkClicked();
    ASSERT_TRUE(pumpUntil([&] { return h.vm->credMgmtViewVisible() && !h.vm->loading(); }));
    ASSERT_EQ(h.vm->rpList().size(), 1u);
    EXPECT_EQ(h.vm->rpList()[0].userName, "alice");
    EXPECT_FALSE(h.vm->showMessageBox());
}

// Any request of the reading that fails ends it as a failure, and rows read before it do not stay.
TEST(ViewModelCredentials, AListThatCannotBeReadToTheEndIsAFailure)
{
    struct Case {
        const char* name;
        std::uint8_t subCommand;
        std::size_t rowsSeen;
    };
    const Case cases[] = {
        {"counts", 0x01, 0},
        {"next relying party", 0x03, 0},
        {"next credential of the second relying party", 0x05, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LogCapture log;
        ViewModelHarness h(false, {{"AdvancedMode", "true"}});
        SoftAuthenticator& auth = h.plugAndSelectWithPin("pin 1234\n"
                                                      "credential rp=a.example user=0A userName=alice\n"
                                                      "credential rp=b.example user=0B userName=bob\n"
                                                      "credential rp=b.example user=0C userName=carol\n")
                                      .authenticator();
        std::size_t rowsSeen = 0;
        QObject::connect(h.vm.get(), &DeviceViewModel::rpItemsInserted,
                         [&] { rowsSeen = std::max(rowsSeen, h.vm->rpList().size()); });
        auth.queueRawReply({Bytes{0x7F}, std::uint8_t{0x0A}, c.subCommand});
        h.vm->showPinViewForCredMgmt();
        h.vm->pinFieldEdited(DeviceViewModel::PinField::authPin, "1234");
        h.vm->pinOkClicked();
        ASSERT_TRUE(h.waitForMessage("Credentials could not be read, enter the PIN again"));
        EXPECT_EQ(h.vm->currentView(), View::deviceList);
        EXPECT_FALSE(h.vm->loading());
        EXPECT_TRUE(h.vm->rpList().empty());
        EXPECT_EQ(rowsSeen, c.rowsSeen);
        EXPECT_TRUE(log.contains("loadRpList: failed, error = 0xE00002BC"));
    }
}

TEST(ViewModelCredentials, AKeyWithoutCredentialsIsAnEmptyListNotAFailure)
{
    LogCapture log;
    ViewModelHarness h(false, {{"AdvancedMode", "true"}});
    SoftAuthenticator& auth = h.plugAndSelectWithPin("pin 1234\n").authenticator();
    ASSERT_TRUE(h.openCredentials("1234"));
    EXPECT_TRUE(h.vm->rpList().empty());
    EXPECT_EQ(h.vm->credMgmtCountInfo(), "Resident credential counts: 0 , remains: 25");
    EXPECT_EQ(credMgmtStatuses(auth, 0x02), std::vector<std::uint8_t>{0x2E}); // NO_CREDENTIALS
    ASSERT_TRUE(h.waitIdle());
    EXPECT_FALSE(h.vm->showMessageBox());
    for (const std::string& line : log.lines())
        EXPECT_EQ(line.find("loadRpList"), std::string::npos) << line;
}

TEST(ViewModelCredentials, TheTokenLeavesWithItsKey)
{
    LogCapture log;
    ViewModelHarness h(false, {{"AdvancedMode", "true"}});
    auto& first = h.plugAndSelectWithPin("pin 1234\n"
                                      "rp id=a.example name=\"A Corp\"\n"
                                      "credential rp=a.example user=0A userName=alice\n");
    auto& second = h.plugAndList();
    ASSERT_TRUE(h.openCredentials("1234"));
    ASSERT_EQ(h.vm->rpList().size(), 1u);

    h.rig.unplug(first);
    ASSERT_TRUE(pumpUntil([&] { return h.vm->deviceList().size() == 1 && h.vm->deviceListViewVisible(); }));
    ASSERT_TRUE(h.waitIdle());
    second.authenticator().clearRequestLog();

    // Whatever opens the credential page next, nothing is left to authenticate a request with.
    h.select(0);
    h.vm->setCurrentView(View::credMgmt);
    ASSERT_TRUE(h.waitForMessage("Credentials could not be read, enter the PIN again"));
    EXPECT_TRUE(log.contains("loadRpList: failed, error = 0xE00002E2"));
    EXPECT_EQ(countRequests(second.authenticator(), 0x0A), 0u);
}

TEST(ViewModelReset, UsbKeyResetAfterReinsert)
{
    ViewModelHarness h;
    auto& key = h.plugAndList();
    ASSERT_TRUE(key.authenticator().setPin("1234"));
    h.select(0);
    h.vm->confirmReset();
    ASSERT_TRUE(h.waitForMessage("All data and credentials on this key will be cleared"));
    EXPECT_EQ(h.vm->messageBoxInfo().cancel, std::optional<std::string>("Cancel"));
    h.vm->closeMessageBox(true);
    ASSERT_TRUE(pumpUntil([&] { return h.vm->reinsertNeeded(); }));
    EXPECT_EQ(h.vm->reinsertText(), "Please re-insert the security Key");

    ASSERT_TRUE(h.unplugLast(key));
    auto& again = h.rig.replug(key);
    ASSERT_TRUE(h.waitForMessage("Reset device is successful"));
    EXPECT_FALSE(h.vm->reinsertNeeded());
    EXPECT_FALSE(again.authenticator().hasPin());
    EXPECT_EQ(h.vm->touchPromptText(), "Touch your security key");
    ASSERT_TRUE(pumpUntil([&] { return h.vm->deviceList().size() == 1; }));
    ASSERT_TRUE(h.settle());
    EXPECT_EQ(h.vm->deviceList().size(), 1u); // listed once
    EXPECT_EQ(countRequests(again.authenticator(), 0x01), 1u); // the first touch
    EXPECT_EQ(countRequests(again.authenticator(), 0x07), 1u);
}

TEST(ViewModelReset, CancelAndRefusalOutcomes)
{
    ViewModelHarness h;
    auto& key = h.plugAndList();

    // Cancel at the re-insert prompt: the next arrival is an ordinary one.
    h.select(0);
    h.vm->confirmReset();
    ASSERT_TRUE(pumpUntil([&] { return h.vm->showMessageBox(); }));
    h.vm->closeMessageBox(false); // closing any other way than OK is Cancel
    ASSERT_TRUE(h.settle());
    EXPECT_FALSE(h.vm->reinsertNeeded());

    ASSERT_TRUE(h.startReset());
    h.vm->cancelReinsert();
    ASSERT_TRUE(pumpUntil([&] { return !h.vm->reinsertNeeded(); }));
    ASSERT_TRUE(h.unplugLast(key));
    auto& second = h.rig.replug(key);
    ASSERT_TRUE(pumpUntil([&] { return h.vm->deviceList().size() == 1; }));
    EXPECT_EQ(countRequests(second.authenticator(), 0x07), 0u);

    // The key refuses the reset (outside its window): no message, the key is listed again.
    h.select(0);
    ASSERT_TRUE(h.startReset());
    ASSERT_TRUE(h.unplugLast(second));
    CtaphidFront::Options noPowerUp;
    noPowerUp.powerUp = false;
    second.authenticator().closeResetWindow();
    auto& third = h.rig.replug(second, noPowerUp);
    ASSERT_TRUE(pumpUntil([&] { return h.vm->deviceList().size() == 1; }));
    ASSERT_TRUE(h.settle());
    EXPECT_FALSE(h.vm->showMessageBox());
    EXPECT_EQ(countRequests(third.authenticator(), 0x07), 1u);

    // The user cancels at the touch prompt: silent as well.
    h.select(0);
    ASSERT_TRUE(h.startReset());
    ASSERT_TRUE(h.unplugLast(third));
    third.authenticator().setTouch(SoftAuthenticator::Touch::HeldUntilCancel);
    third.authenticator().clearRequestLog();
    auto& fourth = h.rig.replug(third);
    ASSERT_TRUE(pumpUntil([&] { return h.vm->waitUserTouch(); }));
    EXPECT_EQ(h.vm->touchPromptText(), "Touch your security twice within 10 seconds");
    h.vm->cancelUserTouch();
    ASSERT_TRUE(pumpUntil([&] { return !h.vm->waitUserTouch() && h.vm->deviceList().size() == 1; }));
    ASSERT_TRUE(h.settle());
    EXPECT_FALSE(h.vm->showMessageBox());
    EXPECT_EQ(countRequests(fourth.authenticator(), 0x07), 0u);

    // Any other failure of the reset is reported.
    fourth.authenticator().setTouch(SoftAuthenticator::Touch::Given);
    h.select(0);
    ASSERT_TRUE(h.startReset());
    ASSERT_TRUE(h.unplugLast(fourth));
    fourth.authenticator().queueRawReply({Bytes{0x7F}, std::uint8_t{0x07}});
    h.rig.replug(fourth);
    ASSERT_TRUE(h.waitForMessage("Reset device is failed"));
}

// The key leaves while it answers the reset: whether it was reset is not known, and the message says so.
TEST(ViewModelReset, AResetWhoseAnswerIsLostSaysItIsNotKnown)
{
    ViewModelHarness h;
    auto& key = h.plugAndList();
    ASSERT_TRUE(key.authenticator().setPin("1234"));
    h.select(0);
    ASSERT_TRUE(h.startReset());
    ASSERT_TRUE(h.unplugLast(key));
    key.authenticator().queueTouch(SoftAuthenticator::Touch::Manual);
    auto& again = h.rig.replug(key);
    ASSERT_TRUE(pumpUntil([&] { return h.vm->waitUserTouch(); })); // the first touch, before the reset
    // The touch's answer goes out as it is (after a PROCESSING keepalive); the key leaves instead of answering the
    // reset.
    again.front->injectFault({CtaphidFront::Fault::BadKeepalive, 1, std::uint8_t{0x10}});
    again.front->injectFault({CtaphidFront::Fault::HangUp, 0, std::uint8_t{0x10}});
    again.authenticator().giveTouch();
    ASSERT_TRUE(h.waitForMessage("No clear answer: the key may or may not have changed"));
    EXPECT_FALSE(again.authenticator().hasPin());
}

TEST(ViewModelReset, AnotherModelDoesNotEndTheWait)
{
    ViewModelHarness h;
    auto& key = h.plugAndList();
    h.select(0);
    ASSERT_TRUE(h.startReset());
    auto& other = h.plugAndList({}, "Other Key");
    EXPECT_TRUE(h.vm->reinsertNeeded());
    EXPECT_EQ(countRequests(other.authenticator(), 0x07), 0u);
    EXPECT_EQ(h.vm->deviceList().size(), 2u);
    (void)key;
}

TEST(ViewModelReset, AKeyOfTheSameModelWithAnotherSerialDoesNotEndTheWait)
{
    ViewModelHarness h;
    const std::size_t before = h.vm->deviceList().size();
    auto& key = h.rig.plug({}, "KWO FIDO", "SERIAL-A");
    ASSERT_TRUE(pumpUntil([&] { return h.vm->deviceList().size() > before; }));
    h.select(0);
    ASSERT_TRUE(h.startReset());
    ASSERT_TRUE(h.unplugLast(key));

    auto& other = h.rig.plug({}, "KWO FIDO", "SERIAL-B");
    ASSERT_TRUE(pumpUntil([&] { return h.vm->deviceList().size() == 1; }));
    EXPECT_TRUE(h.vm->reinsertNeeded());
    EXPECT_EQ(countRequests(other.authenticator(), 0x07), 0u);

    auto& again = h.rig.replug(key);
    ASSERT_TRUE(h.waitForMessage("Reset device is successful"));
    EXPECT_EQ(countRequests(again.authenticator(), 0x07), 1u);
}

TEST(ViewModelSettings, LanguageCycleAdvancedModeAndTopBar)
{
    ViewModelHarness h;
    EXPECT_EQ(h.vm->language(), Language::EN);
    EXPECT_EQ(h.config->values["Language"], "en");
    const int writes = h.config->writes;
    h.vm->switchLanguage();
    EXPECT_EQ(h.vm->language(), Language::ES);
    EXPECT_EQ(h.config->values["Language"], "es");
    h.vm->switchLanguage();
    h.vm->switchLanguage();
    EXPECT_EQ(h.vm->language(), Language::CN);
    EXPECT_EQ(h.config->values["Language"], "cn");
    h.vm->switchLanguage();
    EXPECT_EQ(h.vm->language(), Language::EN);
    EXPECT_EQ(h.vm->uiStr().pinOk, "Ok");
    EXPECT_EQ(h.config->writes, writes + 4);

    h.vm->showSettings();
    EXPECT_TRUE(h.vm->settingsViewVisible());
    const int before = h.config->writes;
    h.vm->saveAdvancedMode(); // unchanged: nothing written... except the first time a value is stored
    h.vm->setAdvancedMode(true);
    h.vm->saveAdvancedMode();
    EXPECT_EQ(h.config->values["AdvancedMode"], "true");
    EXPECT_TRUE(h.vm->deviceListViewVisible());
    const int after = h.config->writes;
    h.vm->saveAdvancedMode();
    EXPECT_EQ(h.config->writes, after);
    EXPECT_GE(after, before + 1);

    // The manual: the first resource named USR-KWO...pdf.
    const std::filesystem::path resources = std::filesystem::temp_directory_path() / "mt-vm-manual-test";
    std::filesystem::create_directories(resources);
    { std::ofstream(resources / "USR-KWO-Manual.pdf") << "%PDF"; }
    h.workspace->resources = resources;
    h.vm->openUserManual();
    ASSERT_EQ(h.workspace->openedDocuments.size(), 1u);
    EXPECT_EQ(h.workspace->openedDocuments[0].filename(), "USR-KWO-Manual.pdf");
    std::filesystem::remove_all(resources);

    h.workspace->applications = std::filesystem::temp_directory_path();
    h.vm->openOtpApp();
    ASSERT_EQ(h.workspace->openedApplications.size(), 1u);
    EXPECT_EQ(h.workspace->openedApplications[0].filename(), "Tallowfin-OTP");
    EXPECT_EQ(h.workspace->openedApplications[0].parent_path().filename(), "JOV Fido Tools");
}
