// The application's flows on software USB keys (real HID transport and CTAP client) and their interleavings. The
// window's tests walk the ordinary journeys through clicks; these hold what a key can do wrong on the way.
#include "ViewModelHarness.h"

#include "softkey/CtapCbor.h"
#include "softkey/tests/TestCtapClient.h"
#include "support/LogCapture.h"

#include <QTemporaryDir>

#include <fstream>
#include <future>

using View = DeviceViewModel::View;
using Fault = CtaphidFront::Fault;
using Reply = SoftAuthenticator::RawReply;
using Step = std::function<void(ViewModelHarness&, UsbKeyRig::Key&)>;

namespace {

const std::string kNotKnown = "No clear answer: the key may or may not have changed";
const std::string kBusy = "The key is busy or in use by another program: nothing was changed";
const std::string kReadAgain = "Credentials could not be read, enter the PIN again";
const std::string kPinBlocked = "The PIN is blocked: only a reset makes the key usable again";
const std::string kReinsert = "Too many wrong PINs since the key was plugged in: remove and re-insert it";
const char* const kCredentials = "pin 1234\nrp id=a.example name=\"A Corp\"\n"
                                 "credential rp=a.example user=0A userName=alice\nrp id=b.example name=\"   \"\n"
                                 "credential rp=b.example user=0B userName=bob\n"
                                 "credential rp=b.example user=0C userName=carol\n";

// The key answers its next request of this command (and sub-command) with these bytes, instead of or after its work.
Reply answer(Bytes bytes, std::uint8_t command, std::optional<std::uint8_t> subCommand = {}, bool after = false)
{
    return {std::move(bytes), command, subCommand, after};
}

// A view's copy of the credential list, kept from the row signals alone, as the page keeps its rows: it must always
// be the model's list. Counts the times the list was replaced as a whole.
struct RowMirror {
    explicit RowMirror(DeviceViewModel& vm) : rows(vm.rpList())
    {
        QObject::connect(&vm, &DeviceViewModel::rpListReset, &context, [this, &vm] {
            rows = vm.rpList();
            ++resets;
        });
        QObject::connect(&vm, &DeviceViewModel::rpItemsInserted, &context,
                         [this, &vm](std::size_t first, std::size_t n) {
                             const auto& list = vm.rpList();
                             ok = ok && first <= rows.size() && first + n <= list.size();
                             if (ok)
                                 rows.insert(rows.begin() + static_cast<std::ptrdiff_t>(first),
                                             list.begin() + static_cast<std::ptrdiff_t>(first),
                                             list.begin() + static_cast<std::ptrdiff_t>(first + n));
                         });
        QObject::connect(&vm, &DeviceViewModel::rpItemsRemoved, &context, [this](std::size_t first, std::size_t n) {
            ok = ok && first + n <= rows.size();
            if (ok)
                rows.erase(rows.begin() + static_cast<std::ptrdiff_t>(first),
                           rows.begin() + static_cast<std::ptrdiff_t>(first + n));
        });
        QObject::connect(&vm, &DeviceViewModel::rpItemChanged, &context, [this, &vm](std::size_t index) {
            ok = ok && index < rows.size() && index < vm.rpList().size();
            if (ok)
                rows[index] = vm.rpList()[index];
        });
    }
    bool matches(const DeviceViewModel& vm) const
    {
        return ok && std::ranges::equal(rows, vm.rpList(), [](const RpItem& a, const RpItem& b) {
                   return a.credentialId == b.credentialId && a.isChecked == b.isChecked;
               });
    }
    QObject context;
    std::vector<RpItem> rows;
    bool ok = true;
    int resets = 0;
};

// The listed key, given a PIN, has its reset confirmed and is unplugged: the model awaits it.
bool awaitedForReset(ViewModelHarness& h, UsbKeyRig::Key& key)
{
    if (!key.authenticator().setPin("1234"))
        return false;
    h.select(0);
    return h.startReset() && h.unplugLast(key);
}

// Starts an operation, presses Cancel as the first request that `match` takes is about to go out, and returns once
// the operation has ended and the work queue is done.
bool cancelAtRequest(ViewModelHarness& h, HoldAndAct::Match match, const std::function<void()>& start)
{
    HoldAndAct hold(h);
    hold.atRequest(std::move(match));
    start();
    return hold.actThere([&] { h.vm->cancelUserTouch(); }) && h.waitIdle() && h.settle();
}

std::size_t deletions(SoftAuthenticator& key)
{
    return static_cast<std::size_t>(std::ranges::count_if(key.requestLog(), [](const auto& entry) {
        return entry.command() == 0x0A && entry.request.size() > 3 && entry.request[3] == 0x06;
    }));
}

} // namespace

// Right after start: the device list alone, no key, every button hidden, and the saved language and Advanced Mode in
// force (a stored "True" is not "true"); a PIN set is told in that language.
TEST(ViewModelStart, InitialStateAndSavedSettings)
{
    ViewModelHarness h(false, {{"Language", "es"}, {"AdvancedMode", "true"}});
    DeviceViewModel& vm = *h.vm;
    EXPECT_TRUE(vm.deviceListViewVisible() && vm.currentView() == View::deviceList);
    EXPECT_FALSE(vm.pinViewVisible() || vm.settingsViewVisible() || vm.credMgmtViewVisible());
    EXPECT_TRUE(vm.deviceList().empty());
    EXPECT_FALSE(vm.selectedDeviceItem());
    EXPECT_FALSE(vm.setPinVisible() || vm.changePinVisible() || vm.resetVisible() || vm.credMgmtVisible());
    EXPECT_EQ(vm.language(), Language::ES);
    EXPECT_NE(vm.uiStr().pinOk, "Ok"); // translated before any key is reported
    EXPECT_TRUE(vm.advancedMode());
    auto& key = h.plugAndList();
    h.select(0);
    vm.showPinViewForSetOrChange();
    h.typePins("4321", "4321");
    vm.pinOkClicked();
    ASSERT_TRUE(h.waitForMessage(vm.uiStr().pinNewPinSet));
    EXPECT_NE(vm.uiStr().pinNewPinSet, "New PIN is set");
    EXPECT_EQ(vm.messageBoxInfo().title, vm.uiStr().pinMessageBoxTitle);
    EXPECT_TRUE(key.authenticator().pinIs("4321"));

    ViewModelHarness fresh(false, {{"Language", "EN"}, {"AdvancedMode", "True"}});
    EXPECT_EQ(fresh.vm->language(), Language::EN);
    EXPECT_FALSE(fresh.vm->advancedMode());
    EXPECT_EQ(fresh.config->values["Language"], "en"); // an unknown code is replaced by the one in force
}

// A saved language is in force before any key is reported; an unknown one is replaced by the one in force.
TEST(ViewModelSettings, SavedLanguageIsUsedAndAnUnknownOneReplaced)
{
    EXPECT_NE(ViewModelHarness(false, {{"Language", "es"}}).vm->uiStr().pinOk, "Ok");
    EXPECT_EQ(ViewModelHarness(false, {{"Language", "EN"}}).config->values["Language"], "en");
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

    // A key with another product name keeps it; a key with credential management only in prototype form has it.
    SoftKeyConfig preview;
    preview.credMgmt = false;
    preview.credMgmtPreview = true;
    h.plugAndList(preview, "Other Key");
    ASSERT_EQ(h.vm->deviceList().size(), 2u);
    EXPECT_EQ(h.vm->deviceList()[1].deviceName, "Other Key");
    EXPECT_TRUE(h.vm->deviceList()[1].fido2Pre && h.vm->deviceList()[1].hasCredMgmt);
}

// A key whose reading fails part-way is logged, and listed with what was read when it said who it is (its AAGUID),
// so it can still be reset; never with "0 retries left" for a count it did not give. A refresh whose getInfo fails
// leaves the row as it was.
TEST(ViewModelDevices, AKeyReadOnlyInPartIsLoggedAndListedWhenItSaidWhoItIs)
{
    const std::string refused = "failed, error = 0xE00002BC", failed = "failed, error = 0xE0000001";
    // name, the key's answer, logged at arrival, listed, logged on a refresh (empty: the refresh is not checked)
    const std::tuple<const char*, Reply, std::string, bool, std::string> cases[] = {
        {"getInfo refused", answer({0x01}, 0x04), "addDevice: " + refused, false, "refreshDevice: " + refused},
        {"getInfo undecodable", answer({0x00, 0xA3, 0x01}, 0x04), "parseInfo: CBOR decode error", false,
         "refreshDevice: " + failed},
        {"getPinRetries refused", answer({0x7F}, 0x06, 0x01), "getPinRetries: " + failed, true, ""},
        {"getPinRetries negative", answer({0x00, 0xA1, 0x03, 0x20}, 0x06, 0x01),
         "parseCborPinGetRetries: CBOR decode error", true, ""},
    };
    for (const auto& [name, reply, line, listed, refreshLine] : cases) {
        SCOPED_TRACE(name);
        LogCapture log;
        ViewModelHarness h;
        auto& key = h.plugAndList();
        if (!refreshLine.empty()) {
            h.select(0);
            ASSERT_TRUE(h.waitIdle());
            const std::vector<DeviceItem> whole = h.vm->deviceList();
            key.authenticator().queueRawReply(reply);
            h.vm->setCurrentView(View::deviceList); // reads the selected key again
            ASSERT_TRUE(pumpUntil([&] { return log.contains(refreshLine); }) && h.waitIdle());
            EXPECT_EQ(h.vm->deviceList(), whole);
        }
        ASSERT_TRUE(key.authenticator().setPin("1234") && h.unplugLast(key));
        log.clear();
        key.authenticator().queueRawReply(reply);
        h.rig.replug(key);
        ASSERT_TRUE(pumpUntil([&] { return log.contains(line); }));
        ASSERT_TRUE(listed ? pumpUntil([&] { return h.vm->deviceList().size() == 1; }) : h.settle());
        ASSERT_EQ(h.vm->deviceList().size(), listed ? 1u : 0u);
        if (listed) {
            EXPECT_EQ(h.vm->deviceList()[0].aaguid, "4D542D534F46544B45592D3030303031");
            EXPECT_EQ(h.vm->deviceList()[0].deviceName, "Tallowfin");
            EXPECT_EQ(h.vm->deviceStatus(h.vm->deviceList()[0]).find("retries"), std::string::npos);
        }
    }
}

// A key that sends one value of another kind than its field takes (here its firmware version as text) is read like
// any other, each time: listed without a word, and after Set PIN its row says the PIN is set.
TEST(ViewModelDevices, AKeyWithAnOddGetInfoFieldIsReadAgainLikeAnyOther)
{
    LogCapture log;
    SoftKeyConfig odd;
    odd.rawInfoFields[0x0E] = CtapCbor::text("5.4.3");
    ViewModelHarness h;
    h.plugAndList(odd);
    const DeviceItem listed = h.vm->deviceList().at(0);
    EXPECT_EQ(listed.aaguid, "4D542D534F46544B45592D3030303031");
    EXPECT_EQ(listed.firmware, "");
    EXPECT_EQ(h.vm->deviceStatus(listed), "PIN is not set, support credential management");
    h.select(0);
    EXPECT_TRUE(h.vm->setPinVisible());
    h.vm->showPinViewForSetOrChange();
    h.typePins("5678", "5678");
    h.vm->pinOkClicked();
    ASSERT_TRUE(h.waitForMessage("New PIN is set") && h.waitIdle());
    ASSERT_TRUE(pumpUntil([&] { return h.vm->deviceList().at(0).pinPresent; }));
    EXPECT_EQ(h.vm->deviceStatus(h.vm->deviceList()[0]), "PIN is set, 8 retries left, support credential management");
    h.vm->closeMessageBox(true);
    h.select(0);
    EXPECT_TRUE(!h.vm->setPinVisible() && h.vm->changePinVisible());
    for (const std::string& line : log.lines())
        EXPECT_TRUE(line.find("failed") == std::string::npos && line.find("error") == std::string::npos) << line;
}

// Each row shows what its key reported: credential management in its prototype form counts, and a key without PIN
// support is never asked for retries and offers no PIN buttons. A key leaving takes its selection, its page (the
// settings page stays) and its token with it; another key leaving changes nothing but the list.
TEST(ViewModelDevices, RowsFollowTheKeysAndALeavingKeyTakesItsSelectionPageAndToken)
{
    SoftKeyConfig noPin, preview;
    noPin.pinUvAuthProtocols.reset();
    noPin.clientPin = SoftKeyConfig::Option::Absent;
    preview.credMgmt = false;
    preview.credMgmtPreview = true;
    LogCapture log;
    ViewModelHarness h(false, {{"AdvancedMode", "true"}});
    auto& first = h.plugAndSelectWithPin(kCredentials);
    auto& second = h.plugAndList(noPin);
    auto& third = h.plugAndList(preview);
    const std::vector<DeviceItem> list = h.vm->deviceList();
    EXPECT_TRUE(list.at(1).pinProtocol == PinProtocol::None && !list[1].retries);
    EXPECT_TRUE(list.at(2).fido2Pre && list[2].hasCredMgmt);
    EXPECT_EQ(countRequests(second.authenticator(), 0x06), 0u);
    ASSERT_TRUE(h.openCredentials("1234"));
    h.rig.unplug(third);
    ASSERT_TRUE(pumpUntil([&] { return h.vm->deviceList().size() == 2; }));
    EXPECT_TRUE(h.vm->credMgmtViewVisible() && h.vm->selectedDeviceItem());
    h.rig.unplug(first);
    ASSERT_TRUE(pumpUntil([&] { return h.vm->deviceList().size() == 1 && h.vm->deviceListViewVisible(); }));
    EXPECT_FALSE(h.vm->selectedDeviceItem() || h.vm->resetVisible());
    ASSERT_TRUE(h.waitIdle());
    h.select(0);
    EXPECT_TRUE(!h.vm->setPinVisible() && !h.vm->changePinVisible() && h.vm->resetVisible());
    // Whatever opens the credential page next, nothing is left to authenticate a request with.
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

// The selected key leaving takes the PIN page with it (as it takes the credential page); another key leaving does not.
TEST(ViewModelDevices, RemovalOfSelectedAndOtherKeys)
{
    ViewModelHarness h;
    auto& first = h.plugAndList();
    auto& second = h.plugAndList();
    h.select(0);
    h.vm->showPinViewForSetOrChange();
    ASSERT_TRUE(h.vm->pinViewVisible());
    h.rig.unplug(second);
    ASSERT_TRUE(pumpUntil([&] { return h.vm->deviceList().size() == 1; }));
    EXPECT_TRUE(h.vm->pinViewVisible() && h.vm->selectedDeviceItem());
    ASSERT_TRUE(h.unplugLast(first));
    EXPECT_TRUE(h.vm->deviceListViewVisible() && h.vm->currentView() == View::deviceList);
    EXPECT_FALSE(h.vm->selectedDeviceItem() || h.vm->resetVisible());
}

// The four buttons follow the selected key's row: Set PIN for a key with a PIN protocol and no PIN, Change PIN for a
// key with one, Reset for any key, Credential Management in Advanced Mode for a key that offers it (in its final or
// prototype form). Advanced Mode switched on shows it only at the next selection.
TEST(ViewModelPages, ButtonsFollowTheSelectedKey)
{
    SoftKeyConfig plain, noProtocol, noCredMgmt, preview;
    noProtocol.pinUvAuthProtocols.reset();
    noProtocol.clientPin = SoftKeyConfig::Option::Absent;
    noCredMgmt.credMgmt = false;
    preview.credMgmt = false;
    preview.credMgmtPreview = true;
    struct Case {
        const char* name;
        SoftKeyConfig key;
        bool pinSet, advancedMode;
        bool setPin, changePin, credMgmt; // shown; Reset always is
    };
    const Case cases[] = {
        {"no PIN", plain, false, true, true, false, true},
        {"PIN set", plain, true, true, false, true, true},
        {"PIN set, Advanced Mode off", plain, true, false, false, true, false},
        {"no PIN protocol", noProtocol, false, true, false, false, true},
        {"no credential management", noCredMgmt, false, true, true, false, false},
        {"prototype credential management", preview, false, true, true, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ViewModelHarness h(false, {{"AdvancedMode", c.advancedMode ? "true" : "false"}});
        auto& key = h.plugAndList(c.key);
        if (c.pinSet) {
            ASSERT_TRUE(key.authenticator().setPin("1234"));
            h.vm->refreshAllDevices();
            ASSERT_TRUE(pumpUntil([&] { return h.vm->deviceList()[0].pinPresent; }));
        }
        EXPECT_FALSE(h.vm->setPinVisible() || h.vm->changePinVisible() || h.vm->resetVisible() ||
                     h.vm->credMgmtVisible());
        h.select(0);
        EXPECT_EQ(h.vm->setPinVisible(), c.setPin);
        EXPECT_EQ(h.vm->changePinVisible(), c.changePin);
        EXPECT_TRUE(h.vm->resetVisible());
        EXPECT_EQ(h.vm->credMgmtVisible(), c.credMgmt);
        if (!c.advancedMode) {
            h.vm->showSettings();
            h.vm->setAdvancedMode(true);
            EXPECT_FALSE(h.vm->credMgmtVisible());
            h.vm->saveAdvancedMode();
            h.select(0);
            EXPECT_TRUE(h.vm->credMgmtVisible());
        }
    }
}

// A field loses only spaces and control characters (a pasted "1234 5678" is 12345678, never 1234). Nothing goes to
// the key before the PIN is within the key's minimum (never below 4; the row keeps what the key reported) and 63, in
// characters and in bytes, and both fields match, length first. "Original PIN is wrong" only for the key's own
// PIN_INVALID; a lost answer says the key may or may not have changed. Leaving the page clears the fields, staying
// keeps them, and the row, read again, shows the key as it is now.
TEST(ViewModelPin, EachOutcomeSaysWhatHappened)
{
    const std::pair<const char*, const char*> typings[] = {
        {"12 ", "12"}, {"1234 5678", "12345678"}, {"4321\n", "4321"}, {"\tA\r\nB\x7F", "AB"},
        {"\xC3\xA9 \xC3\xA9", "\xC3\xA9\xC3\xA9"},
        {"\xC2\x85x\xC2\xA0", "x\xC2\xA0"}, // a C1 control goes, a no-break space is a character
    };
    for (const auto& [typed, kept] : typings) {
        SecureString text(typed);
        DeviceViewModel::sanitizePinInput(text);
        EXPECT_EQ(text.view(), kept) << typed;
    }
    const std::string pinSet = "New PIN is set", length = "PIN length must be 6 to 63 characters";
    const std::string wide = "ああああああああああああああああああああああ", tooLong(64, '7'); // wide: 66 bytes
    // Faults on the key's CBOR answers and requests; the first is the key agreement's. A PROCESSING keepalive
    // before the key-agreement answer leaves that one as it is; a request turned away lets the key agreement through.
    using Faults = std::vector<CtaphidFront::InjectedFault>;
    const CtaphidFront::InjectedFault keyAgreement{Fault::BadKeepalive, 1, 0x10};
    const Faults lost{keyAgreement, {Fault::Silence, 0, 0x10}}, gone{keyAgreement, {Fault::HangUp, 0, 0x10}};
    const Faults turnedAway{{Fault::TurnedAway, 1, 0x10}};
    // The key acted on the change, then answered a CTAPHID ERROR instead: one that could also mean "busy" but came
    // after the key took the request up, and one that never means the request was refused.
    const Faults busyAfterWork{keyAgreement, {Fault::KeepaliveThenErrorReply, 0x06, 0x10}};
    const Faults otherAfterWork{keyAgreement, {Fault::KeepaliveThenErrorReply, 0x7F, 0x10}};
    const Faults otherError{keyAgreement, {Fault::ErrorReply, 0x7F, 0x10}};
    struct Case {
        const char* name;
        std::optional<std::uint64_t> minimum; // reported by a key without a PIN
        const char* oldPin;                   // typed on a key with the PIN 1234; empty: the key has none
        std::string pin, confirm;             // as typed or pasted
        Faults faults;
        std::optional<std::uint8_t> refusal; // the key's answer to the setPin/changePin request itself
        std::string message;
        bool newPinOnKey;
    };
    const Case cases[] = {
        {"no minimum reported", {}, "", "1", "1", {}, {}, "PIN length must be 4 to 63 characters", false},
        {"too short", 6, "", "12", "1234", {}, {}, length, false},
        {"no match", 6, "", "123456", "123457", {}, {}, "PINs do not match", false},
        {"too long", 6, "", tooLong, tooLong, {}, {}, length, false},
        {"too many bytes", 6, "", wide, wide, {}, {}, length, false},
        {"set", {}, "", "56 78", "5678\n", {}, {}, pinSet, true},
        {"change", {}, "1234", "56 78", "5678\n", {}, {}, pinSet, true},
        {"set, answer lost", {}, "", "5678", "5678", lost, {}, kNotKnown, true},
        {"set, key gone while answering", {}, "", "5678", "5678", gone, {}, kNotKnown, true},
        {"change, answer lost", {}, "1234", "5678", "5678", lost, {}, kNotKnown, true},
        {"change, turned away by a busy key", {}, "1234", "5678", "5678", turnedAway, {}, kBusy, false},
        {"change done, then ERROR OTHER", {}, "1234", "5678", "5678", otherAfterWork, {}, kNotKnown, true},
        {"change done, then at once ERROR OTHER", {}, "1234", "5678", "5678", otherError, {}, kNotKnown, true},
        {"change done, then ERROR CHANNEL_BUSY", {}, "1234", "5678", "5678", busyAfterWork, {}, kNotKnown, true},
        {"change, PIN blocked", {}, "1234", "5678", "5678", {}, 0x32, kPinBlocked, false},
        {"change, too many wrong PINs", {}, "1234", "5678", "5678", {}, 0x34, kReinsert, false},
        {"change, policy refused", {}, "1234", "5678", "5678", {}, 0x37, "Set PIN failed", false},
        {"change, wrong old PIN", {}, "9999", "5678", "5678", {}, {}, "Original PIN is wrong", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const bool change = *c.oldPin != '\0';
        const bool sent = !c.message.starts_with("PIN"); // the page's own refusals all start so
        SoftKeyConfig config;
        config.minPINLength = c.minimum;
        ViewModelHarness h;
        UsbKeyRig::Key& key = change ? h.plugAndSelectWithPin("pin 1234\n") : h.plugAndList(config);
        if (!change) {
            EXPECT_EQ(h.vm->deviceList().at(0).minPinLength, c.minimum.value_or(0));
            h.select(0);
        }
        h.vm->showPinViewForSetOrChange();
        EXPECT_EQ(h.vm->hasOldPin(), change);
        EXPECT_EQ(h.vm->pinLengthHint(), std::to_string(c.minimum.value_or(4)) + " to 63 characters");
        key.authenticator().clearRequestLog();
        h.typePins(c.pin, c.confirm, c.oldPin);
        EXPECT_TRUE(h.vm->pinInputDone());
        for (const CtaphidFront::InjectedFault& fault : c.faults)
            key.front->injectFault(fault);
        if (c.refusal)
            key.authenticator().queueRawReply(answer({*c.refusal}, 0x06, 0x04));
        h.vm->pinOkClicked();
        EXPECT_EQ(h.vm->busy(), sent); // the window refuses OK, Cancel and page switches meanwhile
        ASSERT_TRUE(h.waitForMessage(c.message)) << h.vm->messageBoxInfo().message;
        EXPECT_EQ(h.vm->messageBoxInfo().title, "PIN Set/Change");
        EXPECT_EQ(key.authenticator().requestLog().empty(), !sent);
        EXPECT_EQ(h.vm->currentView(), c.newPinOnKey ? View::deviceList : View::pin);
        EXPECT_EQ(h.vm->newPin().empty(), c.newPinOnKey);
        EXPECT_EQ(key.authenticator().pinIs("5678"), c.newPinOnKey);
        ASSERT_TRUE(h.waitIdle());
        if (sent && key.front->connected() && !c.refusal) {
            // The row is the key's as it is now: its PIN, and the retries left after a wrong PIN.
            const std::uint64_t retries = key.authenticator().pinRetries();
            ASSERT_TRUE(pumpUntil([&] {
                const auto& list = h.vm->deviceList();
                return list.size() == 1 && list[0].pinPresent && list[0].retries == retries;
            }));
            EXPECT_TRUE(c.newPinOnKey || h.vm->selectedDeviceItem()->retries == retries);
        }
    }
}

// OK is on only once every field the page shows holds something (the old PIN too, on a change; the Security PIN alone
// before the credential page). Cancel goes back to the list, sends nothing and leaves the fields empty, so the page
// opens again with OK off; while the key is at work, Cancel is refused.
TEST(ViewModelPin, OkFollowsTheFieldsAndCancelLeavesThemEmpty)
{
    ViewModelHarness h;
    auto& key = h.plugAndSelectWithPin("pin 1234\n");
    h.vm->showPinViewForSetOrChange();
    EXPECT_FALSE(h.vm->pinInputDone());
    h.typePins("5678", "5678");
    EXPECT_FALSE(h.vm->pinInputDone());
    h.typePins("5678", "", "1234");
    EXPECT_FALSE(h.vm->pinInputDone());
    h.typePins("5678", "5678", "1234");
    EXPECT_TRUE(h.vm->pinInputDone());
    h.vm->pinCancelClicked();
    EXPECT_TRUE(h.vm->deviceListViewVisible() && h.vm->currentView() == View::deviceList);
    EXPECT_TRUE(h.vm->oldPin().empty() && h.vm->newPin().empty() && h.vm->confirmPin().empty());
    h.select(0);
    h.vm->showPinViewForSetOrChange();
    EXPECT_FALSE(h.vm->pinInputDone());
    EXPECT_EQ(countRequests(key.authenticator(), 0x06, 0x04), 0u);
    EXPECT_TRUE(key.authenticator().pinIs("1234"));

    h.typePins("5678", "5678", "1234");
    key.authenticator().setProcessingDelay(std::chrono::minutes(1)); // held until let go below
    h.vm->pinOkClicked();
    h.vm->pinCancelClicked();
    EXPECT_TRUE(h.vm->pinViewVisible() && h.vm->newPin().view() == "5678");
    key.authenticator().setProcessingDelay({});
    ASSERT_TRUE(h.waitForMessage("New PIN is set") && h.waitIdle());
    EXPECT_TRUE(key.authenticator().pinIs("5678"));
    h.vm->closeMessageBox(true);

    h.select(0);
    h.vm->showPinViewForCredMgmt();
    EXPECT_FALSE(h.vm->pinInputDone());
    h.vm->pinFieldEdited(DeviceViewModel::PinField::authPin, "5678");
    EXPECT_TRUE(h.vm->pinInputDone());
}

// What a Delete of the last two of three rows (after one touch) leaves on screen is what the key holds, and the user
// hears of every failure they did not cause.
TEST(ViewModelCredentials, ADeleteShowsWhatTheKeyDid)
{
    const std::string nothingDeleted = "Nothing was deleted";
    const std::string needsPin = "Could not delete credentials, enter the PIN again";
    // Returns once the removal was handled (the key's row gone), which also takes the page back to the list.
    const Step unplug = [](ViewModelHarness& h, UsbKeyRig::Key& key) { ASSERT_TRUE(h.unplugLast(key)); };
    // name, the key's answers, what happens with the touch prompt up, message (empty: none), the page then, the
    // credentials the key holds, the count shown, whether the list was read again (after a deletion that failed)
    const std::tuple<const char*, std::vector<Reply>, Step, std::string, View, std::size_t, std::size_t, bool>
        cases[] = {
            {"deleted", {}, {}, "", View::credMgmt, 1, 1, false},
            {"touch cancelled", {}, [](auto& h, auto&) { h.vm->cancelUserTouch(); }, "", View::credMgmt, 3, 3, false},
            {"touch answer garbled", {answer({}, 0x0B)}, {}, nothingDeleted, View::credMgmt, 3, 3, false},
            {"key removed during the touch", {}, unplug, nothingDeleted, View::deviceList, 3, 3, false},
            {"token expired", {answer({0x38}, 0x0A, 0x06)}, {}, needsPin, View::deviceList, 3, 3, false},
            {"token refused", {answer({0x33}, 0x0A, 0x06)}, {}, needsPin, View::deviceList, 3, 3, false},
            // The row must not stay.
            {"answer lost", {answer({}, 0x0A, 0x06, true)}, {}, "", View::credMgmt, 1, 1, true},
            // The last row goes first.
            {"one refused", {answer({0x2E}, 0x0A, 0x06)}, {}, "Some credentials could not be deleted", View::credMgmt,
             2, 2, true},
            // The counts are read after each deletion; counts the key did not give are 0, never an earlier read's.
            {"counts unreadable", {answer({0x7F}, 0x0A, 0x01), answer({0x7F}, 0x0A, 0x01)}, {}, "", View::credMgmt, 1,
             0, false},
        };
    for (const auto& [name, replies, duringTouch, message, page, left, counted, readAgain] : cases) {
        SCOPED_TRACE(name);
        ViewModelHarness h(false, {{"AdvancedMode", "true"}});
        auto& key = h.plugAndSelectWithPin(kCredentials);
        ASSERT_TRUE(h.openCredentials("1234") && h.vm->rpList().size() == 3);
        EXPECT_TRUE(h.vm->rpList()[0].name == "A Corp" && h.vm->rpList()[0].userName == "alice");
        EXPECT_EQ(h.vm->rpList()[2].name, "b.example"); // a blank name gives way to the id
        EXPECT_EQ(h.vm->credMgmtCountInfo(), "Resident credential counts: 3 , remains: 22");
        EXPECT_FALSE(h.vm->credMgmtDeleteButtonEnable());
        RowMirror mirror(*h.vm);
        const std::string lastId = h.vm->rpList()[2].credentialId;
        h.vm->setRpItemChecked(1, true);
        h.vm->setRpItemChecked(2, true);
        EXPECT_TRUE(h.vm->credMgmtDeleteButtonEnable());
        for (const Reply& reply : replies)
            key.authenticator().queueRawReply(reply);
        if (duringTouch)
            key.authenticator().setTouch(SoftAuthenticator::Touch::HeldUntilCancel);
        h.vm->credMgmtDeleteClicked();
        if (duringTouch) {
            ASSERT_TRUE(pumpUntil([&] { return h.vm->waitUserTouch(); }));
            duringTouch(h, key);
        }
        ASSERT_TRUE(message.empty() ? h.waitIdle() && h.settle() : h.waitForMessage(message));
        EXPECT_EQ(h.vm->showMessageBox(), !message.empty());
        if (!message.empty()) {
            EXPECT_EQ(h.vm->messageBoxInfo().title, "Credential Management");
        }
        EXPECT_EQ(h.vm->touchPromptText(), "Touch your security key");
        EXPECT_EQ(h.vm->currentView(), page);
        EXPECT_EQ(key.authenticator().credentials().size(), left);
        EXPECT_EQ(countRequests(key.authenticator(), 0x0B), 1u); // one touch (selection) for the whole deletion
        // Rows change in place; the list is replaced as a whole only when it was read again.
        EXPECT_TRUE(mirror.matches(*h.vm));
        EXPECT_EQ(mirror.resets, readAgain ? 1 : 0);
        if (page == View::credMgmt) {
            EXPECT_EQ(h.vm->rpList().size(), left);
            // No counts at all (0) are 0 and 0.
            EXPECT_EQ(h.vm->credMgmtCountInfo(), "Resident credential counts: " + std::to_string(counted) +
                                                     " , remains: " + std::to_string(counted ? 25 - counted : 0));
            // The rows not deleted stay ticked, and only they.
            EXPECT_EQ(h.vm->credMgmtDeleteButtonEnable(), left > 1);
            EXPECT_FALSE(h.vm->rpList()[0].isChecked);
            EXPECT_TRUE(left == 1 || (h.vm->rpList().back().credentialId == lastId && h.vm->rpList().back().isChecked));
        }
    }
}

// While the list loads, Delete is off and a click on it does nothing: a deletion queued behind the load would ask for
// the touch after it, even over the device list should the load fail. A tick left from an earlier visit does not
// count either.
TEST(ViewModelCredentials, NoDeleteWhileTheListLoads)
{
    ViewModelHarness h(false, {{"AdvancedMode", "true"}});
    auto& key = h.plugAndSelectWithPin(kCredentials);
    ASSERT_TRUE(h.openCredentials("1234"));
    h.vm->setRpItemChecked(1, true);
    ASSERT_TRUE(h.vm->credMgmtDeleteButtonEnable());
    h.vm->credMgmtBackClicked();
    h.select(0);
    // The next load is held at its first request.
    QObject context;
    QObject::connect(h.vm.get(), &DeviceViewModel::loadingChanged, &context, [&] {
        if (h.vm->loading())
            key.authenticator().setProcessingDelay(std::chrono::minutes(1));
    });
    h.openCredentials("1234", false);
    ASSERT_TRUE(pumpUntil([&] { return h.vm->loading(); }));
    EXPECT_FALSE(h.vm->credMgmtDeleteButtonEnable());
    h.vm->credMgmtDeleteClicked();
    EXPECT_FALSE(h.vm->busy());
    key.authenticator().setProcessingDelay({});
    ASSERT_TRUE(pumpUntil([&] { return !h.vm->loading(); }) && h.waitIdle() && h.settle());
    EXPECT_EQ(countRequests(key.authenticator(), 0x0B), 0u); // no touch asked for
    EXPECT_TRUE(h.vm->rpList().size() == 3 && key.authenticator().credentials().size() == 3);
    EXPECT_FALSE(h.vm->waitUserTouch() || h.vm->credMgmtDeleteButtonEnable());
    // Rows arrive while the rest still loads: a tick on one of them does not turn Delete on either.
    ViewModelTestSeam::showLoading(*h.vm, true);
    h.vm->setRpItemChecked(0, true);
    EXPECT_FALSE(h.vm->credMgmtDeleteButtonEnable());
    ViewModelTestSeam::showLoading(*h.vm, false);
    h.vm->setRpItemChecked(1, true);
    EXPECT_TRUE(h.vm->credMgmtDeleteButtonEnable());
}

// "Wrong PIN" only when the key said so; any other failure of the token or of reading the whole list (another
// program's token makes ours stale) says so, keeps no rows, and the way in again takes a new token.
TEST(ViewModelCredentials, AFailedAuthenticationOrReadingSaysWhatTheKeySaid)
{
    const Step otherProgram = [](ViewModelHarness&, UsbKeyRig::Key& key) {
        // The main thread is held until the key has given our token, so the page cannot ask for the list yet.
        ASSERT_TRUE(eventually([&] { return countRequests(key.authenticator(), 0x06, 0x09) == 1; }));
        TestCtapClient other([&](const Bytes& request) { return key.authenticator().handle(request); }, 2);
        ASSERT_EQ(other.token("1234", 0x04).first, 0);
    };
    // name, PIN, the key's answer, what happens meanwhile, message, rows shown before the failure
    const std::tuple<const char*, const char*, std::optional<Reply>, Step, std::string, std::size_t> cases[] = {
        {"wrong PIN", "9999", {}, {}, "Wrong PIN", 0},
        {"token of the wrong kind", "1234", answer({0x00, 0xA1, 0x02, 0x01}, 0x06, 0x09), {}, kReadAgain, 0},
        {"PIN_BLOCKED", "1234", answer({0x32}, 0x06, 0x09), {}, kPinBlocked, 0},
        {"PIN_AUTH_BLOCKED", "1234", answer({0x34}, 0x06, 0x09), {}, kReinsert, 0},
        {"token replaced", "1234", {}, otherProgram, kReadAgain, 0},
        {"counts refused", "1234", answer({0x7F}, 0x0A, 0x01), {}, kReadAgain, 0},
        {"next relying party refused", "1234", answer({0x7F}, 0x0A, 0x03), {}, kReadAgain, 0},
        {"next credential of the second one refused", "1234", answer({0x7F}, 0x0A, 0x05), {}, kReadAgain, 1},
    };
    for (const auto& [name, pin, reply, meanwhile, message, rows] : cases) {
        SCOPED_TRACE(name);
        LogCapture log;
        ViewModelHarness h(false, {{"AdvancedMode", "true"}});
        auto& key = h.plugAndSelectWithPin(kCredentials);
        std::size_t rowsSeen = 0;
        QObject context;
        QObject::connect(h.vm.get(), &DeviceViewModel::rpItemsInserted, &context,
                         [&] { rowsSeen = std::max(rowsSeen, h.vm->rpList().size()); });
        if (reply)
            key.authenticator().queueRawReply(*reply);
        h.openCredentials(pin, false);
        if (meanwhile)
            meanwhile(h, key);
        ASSERT_TRUE(h.waitForMessage(message));
        const bool tokenGiven = countRequests(key.authenticator(), 0x0A) > 0;
        EXPECT_EQ(h.vm->messageBoxInfo().title, tokenGiven ? "Credential Management" : "PIN authentication");
        EXPECT_EQ(h.vm->currentView(), tokenGiven ? View::deviceList : View::pin);
        EXPECT_TRUE(!h.vm->loading() && h.vm->rpList().empty());
        EXPECT_EQ(rowsSeen, rows);
        EXPECT_EQ(log.contains("loadRpList: failed, error = 0xE00002BC"), tokenGiven);
        h.vm->closeMessageBox(true);
        ASSERT_TRUE(h.waitIdle());
        h.select(0);
        ASSERT_TRUE(h.openCredentials("1234"));
        EXPECT_TRUE(h.vm->rpList().size() == 3 && !h.vm->showMessageBox());
    }
}

// A key without a PIN gets one on the way to its credentials; should the token step then fail, the row and the page
// know the key has a PIN now, and the next try asks for that PIN alone.
TEST(ViewModelCredentials, AKeyWithoutPinSetsOneThenAuthenticates)
{
    ViewModelHarness h(false, {{"AdvancedMode", "true"}});
    auto& key = h.plugAndList();
    h.select(0);
    h.vm->showPinViewForCredMgmt();
    EXPECT_TRUE(!h.vm->hasAuthPin() && h.vm->hasNewPin() && h.vm->hasConfirmPin());
    h.typePins("2468", "2468");
    key.authenticator().queueRawReply(answer({0x31}, 0x06, 0x09)); // the token step fails once
    h.vm->pinOkClicked();
    ASSERT_TRUE(h.waitForMessage("Wrong PIN"));
    EXPECT_TRUE(key.authenticator().pinIs("2468"));
    ASSERT_TRUE(h.vm->selectedDeviceItem());
    EXPECT_TRUE(h.vm->selectedDeviceItem()->pinPresent);
    EXPECT_TRUE(h.vm->hasAuthPin() && !h.vm->hasNewPin() && h.vm->authPin().view() == "2468");
    h.vm->closeMessageBox(true);
    h.vm->pinCancelClicked();
    h.select(0);
    h.vm->showPinViewForCredMgmt();
    EXPECT_TRUE(h.vm->hasAuthPin() && !h.vm->hasNewPin());
    h.vm->pinFieldEdited(DeviceViewModel::PinField::authPin, "2468");
    h.vm->pinOkClicked();
    ASSERT_TRUE(pumpUntil([&] { return h.vm->credMgmtViewVisible() && !h.vm->loading(); }));
    EXPECT_TRUE(h.vm->rpList().empty());
}

// A key that hands out a 48-byte token under protocol One opens its credentials like any other.
TEST(ViewModelCredentials, ATokenOfAnyLengthOpensTheCredentials)
{
    SoftKeyConfig longToken;
    longToken.pinUvAuthProtocols = std::vector<std::uint64_t>{1};
    longToken.pinTokenLength = 48;
    ViewModelHarness h(false, {{"AdvancedMode", "true"}});
    h.plugAndSelectWithPin(kCredentials, longToken);
    EXPECT_EQ(h.vm->selectedDeviceItem()->pinProtocol, PinProtocol::One);
    ASSERT_TRUE(h.openCredentials("1234"));
    EXPECT_TRUE(h.vm->credMgmtViewVisible() && !h.vm->showMessageBox());
    EXPECT_EQ(h.vm->rpList().size(), 3u);
    EXPECT_EQ(h.vm->credMgmtCountInfo(), "Resident credential counts: 3 , remains: 22");
}

// A key without credentials answers the listing with NO_CREDENTIALS: an empty list with its counts, no failure.
TEST(ViewModelCredentials, AKeyWithoutCredentialsIsAnEmptyListNotAFailure)
{
    LogCapture log;
    ViewModelHarness h(false, {{"AdvancedMode", "true"}});
    auto& key = h.plugAndSelectWithPin("pin 1234\n");
    ASSERT_TRUE(h.openCredentials("1234"));
    EXPECT_TRUE(h.vm->rpList().empty());
    EXPECT_EQ(h.vm->credMgmtCountInfo(), "Resident credential counts: 0 , remains: 25");
    // Its requests start 0A A? 01 <sub-command>: the relying parties' (2) was answered NO_CREDENTIALS.
    const auto requests = key.authenticator().requestLog();
    EXPECT_EQ(std::ranges::count_if(requests, [](const auto& entry) {
                  return entry.command() == 0x0A && entry.request.size() >= 4 && entry.request[3] == 0x02 &&
                         entry.status() == 0x2E;
              }),
              1);
    ASSERT_TRUE(h.waitIdle() && h.settle());
    EXPECT_TRUE(h.vm->credMgmtViewVisible() && !h.vm->showMessageBox());
    for (const std::string& line : log.lines())
        EXPECT_EQ(line.find("loadRpList"), std::string::npos) << line;
}

// A reset goes out once the key asked for comes back (not another model, nor another key of its model), after a first
// touch; refused outside the key's window it is silent, otherwise told, and a lost answer says it is not known.
TEST(ViewModelReset, EachOutcomeSaysWhatTheKeyDid)
{
    using Touch = SoftAuthenticator::Touch;
    const Step loseAnswer = [](ViewModelHarness& h, UsbKeyRig::Key& key) {
        ASSERT_TRUE(pumpUntil([&] { return h.vm->waitUserTouch(); })); // the first touch, before the reset
        // Its answer goes out as it is (after a PROCESSING keepalive); the key leaves instead of answering the reset.
        key.front->injectFault({Fault::BadKeepalive, 1, std::uint8_t{0x10}});
        key.front->injectFault({Fault::HangUp, 0, std::uint8_t{0x10}});
        key.authenticator().giveTouch();
    };
    const Step turnAway = [](ViewModelHarness& h, UsbKeyRig::Key& key) {
        ASSERT_TRUE(pumpUntil([&] { return h.vm->waitUserTouch(); })); // the first touch, before the reset
        key.front->injectFault({Fault::TurnedAway, 0, std::uint8_t{0x10}});
        key.authenticator().giveTouch();
    };
    // The key resets, then answers a CTAPHID ERROR instead (after a keepalive, or at once) that never means it
    // refused the request.
    const auto errorAfterReset = [](Fault fault) -> Step {
        return [fault](ViewModelHarness& h, UsbKeyRig::Key& key) {
            ASSERT_TRUE(pumpUntil([&] { return h.vm->waitUserTouch(); })); // the first touch, before the reset
            key.front->injectFault({Fault::BadKeepalive, 1, std::uint8_t{0x10}});
            key.front->injectFault({fault, 0x7F, std::uint8_t{0x10}});
            key.authenticator().giveTouch();
        };
    };
    // name, before the key comes back, whether it powers up, once it is back, message (empty: none), key cleared
    const std::tuple<const char*, Step, bool, Step, std::string, bool> cases[] = {
        {"reset", {}, true, {}, "Reset device is successful", true},
        {"refused outside its window", [](auto&, auto& key) { key.authenticator().closeResetWindow(); }, false, {}, "",
         false},
        {"refused otherwise", [](auto&, auto& key) { key.authenticator().queueRawReply(answer({0x7F}, 0x07)); }, true,
         {}, "Reset device is failed", false},
        {"answer lost", [](auto&, auto& key) { key.authenticator().queueTouch(Touch::Manual); }, true, loseAnswer,
         kNotKnown, true},
        {"turned away by a busy key", [](auto&, auto& key) { key.authenticator().queueTouch(Touch::Manual); }, true,
         turnAway, kBusy, false},
        {"reset, then ERROR OTHER", [](auto&, auto& key) { key.authenticator().queueTouch(Touch::Manual); }, true,
         errorAfterReset(Fault::KeepaliveThenErrorReply), kNotKnown, true},
        {"reset, then at once ERROR OTHER", [](auto&, auto& key) { key.authenticator().queueTouch(Touch::Manual); },
         true, errorAfterReset(Fault::ErrorReply), kNotKnown, true},
    };
    for (const auto& [name, beforeReplug, powerUp, afterReplug, message, cleared] : cases) {
        SCOPED_TRACE(name);
        ViewModelHarness h;
        auto& key = h.plugAndList({}, "KWO FIDO", "SERIAL-A");
        ASSERT_TRUE(key.authenticator().setPin("1234"));
        h.select(0);
        ASSERT_TRUE(h.startReset());
        EXPECT_EQ(h.vm->messageBoxInfo().message, "All data and credentials on this key will be cleared");
        EXPECT_EQ(h.vm->messageBoxInfo().cancel, std::optional<std::string>("Cancel"));
        EXPECT_EQ(h.vm->reinsertText(), "Please re-insert the security Key");
        if (beforeReplug)
            beforeReplug(h, key);
        ASSERT_TRUE(h.unplugLast(key));
        const bool waiting = h.vm->reinsertNeeded();
        auto& otherModel = h.plugAndList({}, "Other Key");
        auto& otherSerial = h.plugAndList({}, "KWO FIDO", "SERIAL-B");
        EXPECT_EQ(h.vm->reinsertNeeded(), waiting);
        CtaphidFront::Options options;
        options.powerUp = powerUp;
        auto& again = h.rig.replug(key, options);
        if (afterReplug)
            afterReplug(h, again);
        ASSERT_TRUE(message.empty() ? pumpUntil([&] { return h.vm->deviceList().size() == 3; }) && h.settle()
                                    : h.waitForMessage(message))
            << h.vm->messageBoxInfo().message;
        EXPECT_EQ(h.vm->showMessageBox(), !message.empty());
        EXPECT_FALSE(h.vm->reinsertNeeded() || h.vm->waitUserTouch());
        EXPECT_EQ(h.vm->reinsertText(), "");
        EXPECT_EQ(h.vm->touchPromptText(), "Touch your security key"); // the reset's, after the first touch's
        // Listed once, unless it left.
        ASSERT_TRUE(pumpUntil([&] { return h.vm->deviceList().size() == (again.front->connected() ? 3u : 2u); }));
        EXPECT_EQ(countRequests(again.authenticator(), 0x01), 1u); // the first touch
        EXPECT_EQ(countRequests(again.authenticator(), 0x07), message == kBusy ? 0u : 1u); // turned away: never seen
        EXPECT_EQ(countRequests(otherModel.authenticator(), 0x07) + countRequests(otherSerial.authenticator(), 0x07),
                  0u);
        EXPECT_EQ(again.authenticator().hasPin(), !cleared);
    }
}

// The key resets at the reset's touch, but its answer is lost and it says nothing more; with the touch prompt still up
// the user presses Cancel, which the key does not answer either. The key may well be wiped: that is said, Cancel or
// not, and the key is listed as it now is.
TEST(ViewModelReset, ACancelAfterAResetWhoseAnswerWasLostSaysItIsNotKnown)
{
    // The wait for the silent key's answer lasts until the Cancel, however long the test takes to press it.
    HidHelper::Timing timing = UsbKeyRig::fastTiming();
    timing.silenceTimeout = std::chrono::minutes(2);
    ViewModelHarness h(false, {}, timing);
    auto& key = h.plugAndList({}, "KWO FIDO", "SN-A");
    ASSERT_TRUE(awaitedForReset(h, key));
    key.authenticator().setTouch(SoftAuthenticator::Touch::Manual);
    auto& again = h.rig.replug(key);
    SoftAuthenticator& soft = again.authenticator();
    ASSERT_TRUE(pumpUntil([&] { return soft.touchPending(); })); // the first touch
    soft.giveTouch();
    // The reset's touch, asked of the user: its prompt is up.
    ASSERT_TRUE(pumpUntil([&] {
        return soft.touchRequests() == 2 && soft.touchPending() && h.vm->waitUserTouch() &&
               h.vm->touchPromptText() == "Touch your security key";
    }));
    again.front->injectFault({Fault::Silence, 0, std::uint8_t{0x10}});
    soft.giveTouch();
    ASSERT_TRUE(pumpUntil([&] { return !soft.hasPin(); }));
    EXPECT_TRUE(h.vm->waitUserTouch());
    h.vm->cancelUserTouch();
    ASSERT_TRUE(h.waitForMessage(kNotKnown)) << h.vm->messageBoxInfo().message;
    ASSERT_TRUE(pumpUntil([&] { return h.vm->deviceList().size() == 1; }));
    EXPECT_FALSE(h.vm->deviceList()[0].pinPresent);
    EXPECT_EQ(countRequests(soft, 0x07), 1u);
    EXPECT_EQ(std::ranges::count(again.front->received(), std::uint8_t{0x11}, &CtaphidFront::Received::cmd), 1);
}

// A key that reports no product string is awaited as such: plugged in again, it is reset.
TEST(ViewModelReset, AKeyWithoutProductStringIsResetWhenItComesBack)
{
    ViewModelHarness h;
    auto& key = h.plugAndList({}, "");
    ASSERT_TRUE(key.authenticator().setPin("1234"));
    h.select(0);
    ASSERT_TRUE(h.startReset());
    ASSERT_TRUE(h.unplugLast(key));
    auto& again = h.rig.replug(key);
    ASSERT_TRUE(h.waitForMessage("Reset device is successful"));
    EXPECT_FALSE(h.vm->reinsertNeeded());
    EXPECT_EQ(countRequests(again.authenticator(), 0x07), 1u);
    EXPECT_FALSE(again.authenticator().hasPin());
    ASSERT_TRUE(pumpUntil([&] { return h.vm->deviceList().size() == 1; }));
}

// Cancel at each step ends the reset without a word: at the warning (closing it any other way than OK counts as
// Cancel), at the re-insert prompt (the key's next arrival is an ordinary one), and at the first touch.
TEST(ViewModelReset, CancelAtEachStepEndsItSilently)
{
    ViewModelHarness h;
    auto& key = h.plugAndList();
    h.select(0);
    h.vm->confirmReset();
    ASSERT_TRUE(pumpUntil([&] { return h.vm->showMessageBox(); }));
    h.vm->closeMessageBox(false);
    ASSERT_TRUE(h.settle());
    EXPECT_FALSE(h.vm->reinsertNeeded());

    ASSERT_TRUE(h.startReset());
    h.vm->cancelReinsert();
    ASSERT_TRUE(pumpUntil([&] { return !h.vm->reinsertNeeded(); }));
    ASSERT_TRUE(h.unplugLast(key));
    auto& second = h.rig.replug(key);
    ASSERT_TRUE(pumpUntil([&] { return h.vm->deviceList().size() == 1; }));
    EXPECT_EQ(countRequests(second.authenticator(), 0x07), 0u);

    h.select(0);
    ASSERT_TRUE(h.startReset());
    ASSERT_TRUE(h.unplugLast(second));
    second.authenticator().setTouch(SoftAuthenticator::Touch::HeldUntilCancel);
    auto& third = h.rig.replug(second);
    ASSERT_TRUE(pumpUntil([&] { return h.vm->waitUserTouch(); }));
    EXPECT_EQ(h.vm->touchPromptText(), "Touch your security twice within 10 seconds");
    h.vm->cancelUserTouch();
    ASSERT_TRUE(pumpUntil([&] { return !h.vm->waitUserTouch() && h.vm->deviceList().size() == 1; }) && h.settle());
    EXPECT_FALSE(h.vm->showMessageBox() || h.vm->reinsertNeeded());
    EXPECT_EQ(countRequests(third.authenticator(), 0x07), 0u);

    // Cancel from the main thread as the work queue is about to send the reset, before that request is under way:
    // the reset never goes out (nor waits out a bounded time to then say that what happened is not known).
    ASSERT_TRUE(third.authenticator().setPin("1234"));
    h.select(0);
    ASSERT_TRUE(h.startReset());
    ASSERT_TRUE(h.unplugLast(third));
    third.authenticator().queueTouch(SoftAuthenticator::Touch::Given); // the first touch; the reset's is held
    third.authenticator().clearRequestLog();
    std::atomic<bool> atReset{false};
    std::promise<void> cancelled;
    h.rig.helper().setRequestStartHook(
        [&, released = cancelled.get_future().share()](CTAPHID cmd, std::span<const std::uint8_t> data) {
            if (cmd != CTAPHID::CBOR || data.empty() || data[0] != 0x07)
                return;
            atReset = true;
            released.wait_for(std::chrono::seconds(10)); // bounded, should the test fail early
        });
    const std::unique_ptr<HidHelper, void (*)(HidHelper*)> unhook(&h.rig.helper(),
                                                                   [](HidHelper* hid) { hid->setRequestStartHook({}); });
    auto& fourth = h.rig.replug(third);
    const bool reached = pumpUntil([&] { return atReset.load(); });
    if (reached)
        h.vm->cancelUserTouch();
    cancelled.set_value();
    ASSERT_TRUE(reached);
    ASSERT_TRUE(pumpUntil([&] { return !h.vm->waitUserTouch() && h.vm->deviceList().size() == 1; }) && h.settle())
        << h.vm->messageBoxInfo().message;
    EXPECT_FALSE(h.vm->showMessageBox()) << h.vm->messageBoxInfo().message;
    EXPECT_EQ(countRequests(fourth.authenticator(), 0x01), 1u);
    EXPECT_EQ(countRequests(fourth.authenticator(), 0x07), 0u);
    EXPECT_TRUE(fourth.authenticator().hasPin());
}

// A Cancel ends the reset it is pressed in, between two of its steps too: pressed on the re-insert prompt as the key
// comes back (before the first touch), or on the touch prompt just after that touch (before the reset), it lets no
// later request go out. The key keeps its PIN, nothing is said, and the key is listed again.
TEST(ViewModelCancel, AResetCancelledBetweenTwoStepsNeverReachesTheKey)
{
    for (const bool afterFirstTouch : {false, true}) {
        SCOPED_TRACE(afterFirstTouch ? "after the first touch" : "before the first touch");
        ViewModelHarness h;
        auto& key = h.plugAndList({}, "KWO FIDO", "SN-A");
        ASSERT_TRUE(awaitedForReset(h, key));
        HoldAndAct hold(h);
        if (afterFirstTouch)
            hold.afterTouch();
        else
            hold.atRequest(nthRequest(1, 0x01));
        key.authenticator().setTouch(SoftAuthenticator::Touch::Manual);
        auto& again = h.rig.replug(key);
        if (afterFirstTouch) {
            ASSERT_TRUE(pumpUntil([&] { return h.vm->waitUserTouch(); }));
            again.authenticator().giveTouch();
        }
        ASSERT_TRUE(hold.actThere([&] { afterFirstTouch ? h.vm->cancelUserTouch() : h.vm->cancelReinsert(); }));
        ASSERT_TRUE(pumpUntil([&] { return h.vm->deviceList().size() == 1; }) && h.settle());
        EXPECT_FALSE(h.vm->showMessageBox()) << h.vm->messageBoxInfo().message;
        EXPECT_FALSE(h.vm->reinsertNeeded() || h.vm->waitUserTouch());
        EXPECT_EQ(countRequests(again.authenticator(), 0x01), afterFirstTouch ? 1u : 0u);
        EXPECT_EQ(countRequests(again.authenticator(), 0x07), 0u);
        EXPECT_TRUE(again.authenticator().hasPin());
    }
}

// A deletion of the three rows cancelled just after its touch sends no deletion, and says nothing; cancelled as its
// second deletion begins, it sends no more, and says that some could not be deleted. Either way the page then shows
// what the key holds, the rows left still ticked.
TEST(ViewModelCancel, ADeletionCancelledBetweenTwoStepsSendsNoMore)
{
    for (const bool afterFirstDeletion : {false, true}) {
        SCOPED_TRACE(afterFirstDeletion ? "after the first deletion" : "after the touch");
        ViewModelHarness h(false, {{"AdvancedMode", "true"}});
        auto& key = h.plugAndSelectWithPin(kCredentials);
        ASSERT_TRUE(h.openCredentials("1234") && h.vm->rpList().size() == 3);
        for (std::size_t row = 0; row < 3; ++row)
            h.vm->setRpItemChecked(row, true);
        HoldAndAct hold(h);
        if (afterFirstDeletion)
            hold.atRequest(nthRequest(2, 0x0A, std::pair{3, 0x06}));
        else
            hold.afterTouch();
        key.authenticator().setTouch(SoftAuthenticator::Touch::Manual);
        h.vm->credMgmtDeleteClicked();
        ASSERT_TRUE(pumpUntil([&] { return h.vm->waitUserTouch(); }));
        key.authenticator().giveTouch();
        ASSERT_TRUE(hold.actThere([&] { h.vm->cancelUserTouch(); }));
        const std::size_t left = afterFirstDeletion ? 2 : 3;
        ASSERT_TRUE(afterFirstDeletion ? h.waitForMessage("Some credentials could not be deleted")
                                       : h.waitIdle() && h.settle())
            << h.vm->messageBoxInfo().message;
        EXPECT_EQ(h.vm->showMessageBox(), afterFirstDeletion);
        EXPECT_EQ(deletions(key.authenticator()), 3 - left);
        EXPECT_EQ(key.authenticator().credentials().size(), left);
        EXPECT_EQ(h.vm->currentView(), View::credMgmt);
        EXPECT_EQ(h.vm->rpList().size(), left);
        EXPECT_TRUE(std::ranges::all_of(h.vm->rpList(), &RpItem::isChecked));
        EXPECT_EQ(h.vm->credMgmtCountInfo(),
                  "Resident credential counts: " + std::to_string(left) + " , remains: " + std::to_string(25 - left));
    }
}

// A PIN set cancelled between the key agreement and the setPin request never sets it, and says nothing: the page
// stays as it was. The Cancel belonged to that operation alone: OK again sets the PIN.
TEST(ViewModelCancel, ASetPinCancelledBeforeItsRequestSetsNothing)
{
    ViewModelHarness h;
    auto& key = h.plugAndList();
    h.select(0);
    h.vm->showPinViewForSetOrChange();
    h.typePins("5678", "5678");
    ASSERT_TRUE(cancelAtRequest(h, nthRequest(1, 0x06, std::pair{5, 0x03}), [&] { h.vm->pinOkClicked(); }));
    EXPECT_FALSE(h.vm->showMessageBox()) << h.vm->messageBoxInfo().message;
    EXPECT_EQ(countRequests(key.authenticator(), 0x06, 0x02), 1u); // the key agreement
    EXPECT_EQ(countRequests(key.authenticator(), 0x06, 0x03), 0u);
    EXPECT_FALSE(key.authenticator().hasPin());
    EXPECT_EQ(h.vm->currentView(), View::pin);
    h.vm->pinOkClicked();
    ASSERT_TRUE(h.waitForMessage("New PIN is set"));
    EXPECT_TRUE(key.authenticator().pinIs("5678"));
}

// A Cancel pressed on the re-insert prompt while another key that was just plugged in is read (its getInfo under way,
// the key holding its answer) ends the reset's wait, never that reading: the key is listed.
TEST(ViewModelCancel, ACancelAsAKeyIsReadLeavesItListed)
{
    LogCapture log;
    ViewModelHarness h;
    auto& awaited = h.plugAndList({}, "KWO FIDO", "SN-A");
    ASSERT_TRUE(awaitedForReset(h, awaited));
    UsbKeyRig::Key* arriving = nullptr;
    {
        HoldAndAct hold(h);
        hold.atRequest(nthRequest(1, 0x04));
        arriving = &h.rig.plug({}, "KWO FIDO", "SN-B");
        // Released with the key set to keep its answer, so the request is under way when the Cancel comes.
        ASSERT_TRUE(hold.actThere([&] { arriving->authenticator().setProcessingDelay(std::chrono::minutes(1)); }));
    }
    const auto getInfos = [&] {
        return std::ranges::count_if(arriving->front->received(), [](const CtaphidFront::Received& m) {
            return m.cmd == 0x10 && !m.payload.empty() && m.payload[0] == 0x04;
        });
    };
    ASSERT_TRUE(eventually([&] { return getInfos() == 1; }));
    h.vm->cancelReinsert();
    arriving->authenticator().setProcessingDelay({});
    ASSERT_TRUE(pumpUntil([&] { return h.vm->deviceList().size() == 1 && !h.vm->reinsertNeeded(); }) && h.settle());
    EXPECT_EQ(h.vm->deviceList()[0].device.hid(), arriving->device);
    EXPECT_FALSE(log.containsLineStarting("addDevice: failed"));
    // Nor was the reading cancelled after the key had answered: the key read its later requests after anything sent
    // before them.
    EXPECT_EQ(std::ranges::count(arriving->front->received(), std::uint8_t{0x11}, &CtaphidFront::Received::cmd), 0);
}

// A Cancel as the last ticked deletion is done, before its counts are read: every deletion went out, and the page
// shows what the key holds, its counts included.
TEST(ViewModelCancel, ACancelAsTheLastDeletionEndsShowsTheKeysCounts)
{
    ViewModelHarness h(false, {{"AdvancedMode", "true"}});
    auto& key = h.plugAndSelectWithPin(kCredentials);
    ASSERT_TRUE(h.openCredentials("1234") && h.vm->rpList().size() == 3);
    h.vm->setRpItemChecked(0, true);
    ASSERT_TRUE(cancelAtRequest(h, nthRequest(1, 0x0A, std::pair{3, 0x01}), [&] { h.vm->credMgmtDeleteClicked(); }));
    EXPECT_FALSE(h.vm->showMessageBox()) << h.vm->messageBoxInfo().message;
    EXPECT_EQ(deletions(key.authenticator()), 1u);
    EXPECT_EQ(h.vm->currentView(), View::credMgmt);
    EXPECT_EQ(h.vm->rpList().size(), 2u);
    EXPECT_EQ(h.vm->credMgmtCountInfo(), "Resident credential counts: 2 , remains: 23");
}

// A key that reported no serial number is awaited as one without: another key of its model that reports one (and
// has a PIN) is only listed, and the key itself, come back, is reset.
TEST(ViewModelReset, AKeyWithoutASerialNumberIsNotOneThatReportsOne)
{
    ViewModelHarness h;
    auto& key = h.plugAndList({}, "KWO FIDO", "");
    auto& other = h.plugAndList({}, "KWO FIDO", "SN-B");
    ASSERT_TRUE(other.authenticator().setPin("4321"));
    h.rig.unplug(other);
    ASSERT_TRUE(pumpUntil([&] { return h.vm->deviceList().size() == 1; }));
    ASSERT_TRUE(awaitedForReset(h, key));
    auto& otherAgain = h.rig.replug(other);
    ASSERT_TRUE(pumpUntil([&] { return h.vm->deviceList().size() == 1; }) && h.settle());
    EXPECT_TRUE(h.vm->reinsertNeeded());
    EXPECT_FALSE(h.vm->showMessageBox()) << h.vm->messageBoxInfo().message;
    EXPECT_EQ(countRequests(otherAgain.authenticator(), 0x01) + countRequests(otherAgain.authenticator(), 0x07), 0u);
    EXPECT_TRUE(otherAgain.authenticator().pinIs("4321"));
    auto& again = h.rig.replug(key);
    ASSERT_TRUE(h.waitForMessage("Reset device is successful"));
    EXPECT_FALSE(again.authenticator().hasPin());
    EXPECT_TRUE(otherAgain.authenticator().pinIs("4321"));
}

// A key that reported a serial number is awaited by it: another key of its model that reports none is not reset (it
// is only listed), and the key itself, come back, is.
TEST(ViewModelReset, AKeyWithASerialNumberIsTheOnlyOneAwaited)
{
    ViewModelHarness h;
    auto& key = h.plugAndList({}, "KWO FIDO", "SN-A");
    ASSERT_TRUE(awaitedForReset(h, key));
    auto& other = h.plugAndList({}, "KWO FIDO", "");
    ASSERT_TRUE(other.authenticator().setPin("4321"));
    ASSERT_TRUE(h.settle());
    EXPECT_TRUE(h.vm->reinsertNeeded());
    EXPECT_EQ(countRequests(other.authenticator(), 0x01) + countRequests(other.authenticator(), 0x07), 0u);
    EXPECT_TRUE(other.authenticator().hasPin());
    auto& again = h.rig.replug(key);
    ASSERT_TRUE(h.waitForMessage("Reset device is successful"));
    EXPECT_FALSE(again.authenticator().hasPin());
    EXPECT_TRUE(other.authenticator().hasPin());
}

// A wink queued for a selection that is gone when it runs is skipped.
TEST(ViewModelOrder, QueuedWinkAfterDeselectionIsSkipped)
{
    const auto winks = [](CtaphidFront& front) {
        return std::ranges::count(front.received(), std::uint8_t{0x08}, &CtaphidFront::Received::cmd);
    };
    ViewModelHarness h;
    auto& key = h.plugAndList();
    h.select(0);
    ASSERT_TRUE(h.waitIdle() && pumpUntil([&] { return winks(*key.front) == 1; }));
    // Hold the work queue with a refresh the key holds, then select and deselect while it is held.
    key.authenticator().setProcessingDelay(std::chrono::minutes(1));
    h.vm->setCurrentView(DeviceViewModel::View::deviceList);
    ViewModelTestSeam::select(*h.vm, h.vm->deviceList().at(0));
    ViewModelTestSeam::select(*h.vm, std::nullopt);
    key.authenticator().setProcessingDelay({});
    ASSERT_TRUE(h.waitIdle() && h.settle());
    EXPECT_EQ(winks(*key.front), 1);
}

// While a PIN is set on the selected key, another leaves and a third arrives: both are seen, the PIN is set once,
// and on the selected key through its own channel (a key read after the selection opened one of its own).
TEST(ViewModelOrder, ArrivalAndRemovalDuringAPendingPinOperationBothComplete)
{
    ViewModelHarness h;
    auto& slow = h.plugAndList();
    h.select(0);
    ASSERT_TRUE(h.waitIdle());
    CtaphidFront::Options otherChannel;
    otherChannel.firstChannel = 0x22220001;
    auto& leaving = h.rig.plug({}, "KWO FIDO", {}, otherChannel);
    ASSERT_TRUE(pumpUntil([&] { return h.vm->deviceList().size() == 2; }));
    h.vm->showPinViewForSetOrChange();
    h.typePins("1357", "1357");
    slow.authenticator().setProcessingDelay(std::chrono::minutes(1)); // held until let go below
    h.vm->pinOkClicked();
    ASSERT_TRUE(h.vm->busy());
    h.rig.unplug(leaving);
    auto& arriving = h.rig.plug();
    h.vm->pinOkClicked(); // refused while busy
    slow.authenticator().setProcessingDelay({});
    ASSERT_TRUE(h.waitForMessage("New PIN is set"));
    ASSERT_TRUE(pumpUntil([&] { return h.vm->deviceList().size() == 2 && !h.vm->busy(); }));
    EXPECT_EQ(h.vm->deviceList()[1].device.hid(), arriving.device);
    EXPECT_EQ(countRequests(slow.authenticator(), 0x06, 0x03), 1u); // one setPin, not two
    EXPECT_TRUE(slow.authenticator().hasPin() && !leaving.authenticator().hasPin());
}

// Quitting while the key waits for a touch ends the wait.
TEST(ViewModelOrder, ShutdownWithAPendingTouchWaitEnds)
{
    ViewModelHarness h(false, {{"AdvancedMode", "true"}});
    auto& key = h.plugAndSelectWithPin("pin 1234\n");
    ASSERT_TRUE(h.openCredentials("1234"));
    key.authenticator().setTouch(SoftAuthenticator::Touch::HeldUntilCancel);
    h.vm->credMgmtDeleteClicked();
    ASSERT_TRUE(pumpUntil([&] { return h.vm->waitUserTouch(); }));
    auto done = std::async(std::launch::async, [&] { h.vm->shutdown(); });
    // A hang here would be a thread that never stops; the limit is far above any real stop time.
    EXPECT_EQ(done.wait_for(std::chrono::seconds(10)), std::future_status::ready);
}

// A second box before the first is closed replaces its content and its callback: closing it runs only the second's
// callback, once (the reset warning's callback starts a reset), and a box that is not shown cannot be closed again.
TEST(ViewModelOrder, ASecondMessageBoxReplacesTheFirst)
{
    ViewModelHarness h;
    int first = 0, second = 0;
    h.vm->presentMessageBox("T1", "M1", "Ok", std::nullopt, [&] { ++first; });
    h.vm->presentMessageBox("T2", "M2", "Ok", std::string("Cancel"), [&] { ++second; });
    ASSERT_TRUE(h.waitForMessage("M2"));
    EXPECT_EQ(h.vm->messageBoxInfo().title, "T2");
    EXPECT_TRUE(h.vm->messageBoxInfo().result);
    h.vm->closeMessageBox(false);
    EXPECT_FALSE(h.vm->showMessageBox() || h.vm->messageBoxInfo().result);
    EXPECT_EQ(first, 0);
    EXPECT_EQ(second, 1);
    h.vm->closeMessageBox(true);
    EXPECT_EQ(second, 1);
}

// The language button steps through the four languages, each saved at once; Advanced Mode is saved by the settings
// page's OK only when it changed, and OK returns to the list; Help and OTP open the manual and the companion.
TEST(ViewModelSettings, LanguageCycleAdvancedModeAndTopBar)
{
    ViewModelHarness h;
    EXPECT_EQ(h.vm->language(), Language::EN);
    EXPECT_EQ(h.config->values["Language"], "en");
    const int writes = h.config->writes;
    const std::pair<Language, const char*> cycle[] = {
        {Language::ES, "es"}, {Language::JP, "jp"}, {Language::CN, "cn"}, {Language::EN, "en"}};
    for (const auto& [language, code] : cycle) {
        h.vm->switchLanguage();
        EXPECT_EQ(h.vm->language(), language);
        EXPECT_EQ(h.config->values["Language"], code);
        EXPECT_EQ(h.vm->uiStr().pinOk == "Ok", language == Language::EN) << code;
    }
    EXPECT_EQ(h.config->writes, writes + 4);

    h.vm->showSettings();
    EXPECT_TRUE(h.vm->settingsViewVisible());
    h.vm->setAdvancedMode(true);
    h.vm->saveAdvancedMode();
    EXPECT_EQ(h.config->values["AdvancedMode"], "true");
    EXPECT_TRUE(h.vm->deviceListViewVisible());
    const int saved = h.config->writes;
    h.vm->showSettings();
    h.vm->saveAdvancedMode();
    EXPECT_EQ(h.config->writes, saved);
    EXPECT_TRUE(h.vm->deviceListViewVisible());

    QTemporaryDir temp;
    const std::filesystem::path folder = temp.path().toStdString();
    std::ofstream(folder / "USR-KWO-Manual.pdf") << "%PDF";
    h.workspace->resources = folder;
    h.workspace->applications = folder;
    h.vm->openUserManual();
    h.vm->openOtpApp();
    EXPECT_EQ(h.workspace->openedDocuments, std::vector<std::filesystem::path>{folder / "USR-KWO-Manual.pdf"});
    EXPECT_EQ(h.workspace->openedApplications,
              std::vector<std::filesystem::path>{folder / "JOV Fido Tools" / "Tallowfin-OTP"});
}
