// Whole user journeys through the pages and dialogs, with real clicks and key presses, against the real view
// model and software keys over USB and on the card reader.
#include "WindowHarness.h"

#include "softkey/SoftKeyFixtures.h"
#include "support/CardRig.h"
#include "views/CheckBox.h"
#include "views/CredentialList.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QLineEdit>
#include <QListWidget>

#include <gtest/gtest.h>

namespace {


QLineEdit* field(const WindowHarness& h, const char* name) { return h.find<QLineEdit>(name); }

// Types into a field as a person would: the field takes the focus by a click, then the keys.
void type(const WindowHarness& h, const char* name, const QString& text)
{
    QLineEdit* edit = field(h, name);
    h.click(edit);
    QTest::keyClicks(edit, text);
}

QWidget* inBox(const WindowHarness& h, const char* overlay, const char* child)
{
    return h.find(overlay)->findChild<QWidget*>(QString::fromLatin1(child));
}

// The message box's text once it is up.
std::string waitForBox(const WindowHarness& h)
{
    if (!pumpUntil([&] { return h.shown("messageBox"); }))
        return "(no message box)";
    return h.find("messageBox")->findChild<QLabel*>("messageText")->text().replace('\n', ' ').toStdString();
}

void answerBox(const WindowHarness& h, bool ok)
{
    h.click(inBox(h, "messageBox", ok ? "okButton" : "cancelButton"));
    ASSERT_FALSE(h.shown("messageBox"));
}

std::vector<std::string> shownPinRows(const WindowHarness& h)
{
    std::vector<std::string> rows;
    for (const char* name : {"oldPinRow", "newPinRow", "confirmPinRow", "authPinRow"})
        if (h.shown(name))
            rows.emplace_back(name);
    return rows;
}

// Re-reads a key whose PIN the test set behind the application's back.
UsbKeyRig::Key& replugged(WindowHarness& h, UsbKeyRig::Key& key)
{
    const std::size_t count = h.vm().deviceList().size();
    h.model.rig.unplug(key);
    pumpUntil([&] { return h.vm().deviceList().size() == count - 1; });
    UsbKeyRig::Key& again = h.model.rig.replug(key);
    pumpUntil([&] { return h.vm().deviceList().size() == count; });
    return again;
}

// Credential Management on the first key, through the PIN page, until the list has been read.
void openCredentialPage(WindowHarness& h, const char* pin)
{
    h.clickRow(0);
    h.click("credMgmtButton");
    type(h, "authPinField", pin);
    h.click(h.find("pinPage")->findChild<QWidget*>("okButton"));
    ASSERT_TRUE(pumpUntil([&] { return h.shown("credentialListPage") && !h.vm().loading(); }));
}

// Clicks a row's check box on the credential page, once it is scrolled into sight.
void tick(const WindowHarness& h, int row)
{
    auto* list = h.find<CredentialList>("credentialList");
    const QRect box = list->checkBoxRect(row);
    ASSERT_FALSE(box.isEmpty());
    h.click(list->viewport(), box.center());
}

} // namespace

TEST(PinPage, SetPinOnAUsbKey)
{
    WindowHarness h;
    auto& key = h.model.plugAndList();
    h.clickRow(0);
    h.click("setPinButton");
    ASSERT_TRUE(h.shown("pinPage"));
    EXPECT_EQ(shownPinRows(h), (std::vector<std::string>{"newPinRow", "confirmPinRow"}));
    ASSERT_TRUE(pumpUntil([&] { return field(h, "newPinField")->hasFocus(); }));
    EXPECT_EQ(field(h, "newPinField")->placeholderText(), "4 to 63 characters");
    EXPECT_EQ(field(h, "newPinField")->echoMode(), QLineEdit::Password);

    // A space typed anywhere vanishes and the cursor stays where it was.
    QTest::keyClicks(field(h, "newPinField"), "14 ");
    EXPECT_EQ(h.vm().newPin(), "14");
    field(h, "newPinField")->setCursorPosition(1);
    QTest::keyClicks(field(h, "newPinField"), " 23");
    EXPECT_EQ(h.vm().newPin(), "1234");
    EXPECT_EQ(field(h, "newPinField")->text(), "1234");
    EXPECT_FALSE(h.find("okButton")->isEnabled());
    // Return submits nothing.
    QTest::keyClick(field(h, "newPinField"), Qt::Key_Return);
    EXPECT_FALSE(h.vm().busy());
    // A paste keeps every character but spaces and line breaks.
    QGuiApplication::clipboard()->setText("12 34\n");
    field(h, "confirmPinField")->setFocus();
    QTest::keySequence(field(h, "confirmPinField"), QKeySequence::Paste);
    EXPECT_EQ(h.vm().confirmPin(), "1234");
    auto* ok = h.find("pinPage")->findChild<QWidget*>("okButton");
    ASSERT_TRUE(ok->isEnabled());
    h.click(ok);
    // The key works on it: OK and Cancel take nothing meanwhile.
    EXPECT_FALSE(ok->isEnabled());
    h.click(ok);
    h.click(h.find("pinPage")->findChild<QWidget*>("cancelButton"));
    EXPECT_EQ(waitForBox(h), "New PIN is set");
    EXPECT_EQ(countRequests(key.authenticator(), 0x06, 0x03), 1u); // one setPIN
    answerBox(h, true);
    EXPECT_TRUE(h.shown("deviceListPage"));
    EXPECT_TRUE(key.authenticator().hasPin());
    // The page's own copies of the PIN went with it.
    for (const char* name : {"newPinField", "confirmPinField"})
        EXPECT_TRUE(field(h, name)->text().isEmpty());
}

TEST(PinPage, ChangePinRefusalsKeepThePage)
{
    WindowHarness h;
    SoftKeyConfig config;
    config.minPINLength = 6;
    auto& first = h.model.plugAndList(config);
    ASSERT_TRUE(first.authenticator().setPin("123456"));
    auto& key = replugged(h, first);
    h.clickRow(0);
    h.click("changePinButton");
    EXPECT_EQ(shownPinRows(h), (std::vector<std::string>{"oldPinRow", "newPinRow", "confirmPinRow"}));
    ASSERT_TRUE(pumpUntil([&] { return field(h, "oldPinField")->hasFocus(); }));
    EXPECT_EQ(field(h, "oldPinField")->placeholderText(), "6 to 63 characters");

    struct Attempt {
        const char* old;
        const char* pin;
        const char* confirm;
        const char* message;
    };
    const Attempt attempts[] = {
        {"123456", "1234", "1234", "PIN length must be 6 to 63 characters"},
        {"123456", "2468013", "2468014", "PINs do not match"},
        {"999999", "2468013", "2468013", "Original PIN is wrong"},
    };
    for (const Attempt& a : attempts) {
        SCOPED_TRACE(a.message);
        for (const char* name : {"oldPinField", "newPinField", "confirmPinField"})
            field(h, name)->clear();
        type(h, "oldPinField", a.old);
        type(h, "newPinField", a.pin);
        type(h, "confirmPinField", a.confirm);
        h.click(h.find("pinPage")->findChild<QWidget*>("okButton"));
        EXPECT_EQ(waitForBox(h), a.message);
        answerBox(h, true);
        EXPECT_TRUE(h.shown("pinPage"));
        EXPECT_EQ(field(h, "newPinField")->text(), a.pin);
    }
    EXPECT_TRUE(key.authenticator().hasPin());

    // A language change keeps what was typed and translates the rest.
    h.click("languageButton");
    EXPECT_EQ(field(h, "newPinField")->text(), "2468013");
    EXPECT_EQ(field(h, "newPinField")->placeholderText().toStdString(), h.vm().pinLengthHint());
    EXPECT_NE(field(h, "newPinField")->placeholderText(), "6 to 63 characters");
    h.click("languageButton");
    h.click("languageButton");
    h.click("languageButton");

    for (const char* name : {"oldPinField"})
        field(h, name)->clear();
    type(h, "oldPinField", "123456");
    h.click(h.find("pinPage")->findChild<QWidget*>("okButton"));
    EXPECT_EQ(waitForBox(h), "New PIN is set");
    answerBox(h, true);
    EXPECT_TRUE(h.shown("deviceListPage"));
}

TEST(PinPage, SetAndChangePinOnACard)
{
    CardRig card;
    WindowHarness h(true);
    ASSERT_TRUE(card.insert());
    ASSERT_TRUE(pumpUntil([&] { return h.vm().deviceList().size() == 1; }));
    h.clickRow(0);
    h.click("setPinButton");
    type(h, "newPinField", "4321");
    type(h, "confirmPinField", "4321");
    h.click(h.find("pinPage")->findChild<QWidget*>("okButton"));
    EXPECT_EQ(waitForBox(h), "New PIN is set");
    answerBox(h, true);
    ASSERT_TRUE(h.model.waitIdle());
    ASSERT_TRUE(card.key().hasPin());

    h.clickRow(0);
    h.click("changePinButton");
    type(h, "oldPinField", "4321");
    type(h, "newPinField", "8765");
    type(h, "confirmPinField", "8765");
    h.click(h.find("pinPage")->findChild<QWidget*>("okButton"));
    EXPECT_EQ(waitForBox(h), "New PIN is set");
    answerBox(h, true);
    EXPECT_TRUE(card.key().pinIs("8765"));
}

TEST(PinPage, AFirstPinSetForCredentialManagementThenARefusedTokenAsksForTheSecurityPin)
{
    WindowHarness h(false, {{"AdvancedMode", "true"}});
    auto& key = h.model.plugAndList();
    h.clickRow(0);
    h.click("credMgmtButton");
    EXPECT_EQ(shownPinRows(h), (std::vector<std::string>{"newPinRow", "confirmPinRow"}));
    type(h, "newPinField", "2468");
    type(h, "confirmPinField", "2468");
    key.authenticator().queueRawReply({Bytes{0x31}, std::uint8_t{0x06}, std::uint8_t{0x09}});
    h.click(h.find("pinPage")->findChild<QWidget*>("okButton"));
    EXPECT_EQ(waitForBox(h), "Wrong PIN");
    answerBox(h, true);
    // The key has a PIN now: the page asks for it, and OK uses what the field shows.
    EXPECT_EQ(shownPinRows(h), (std::vector<std::string>{"authPinRow"}));
    field(h, "authPinField")->clear();
    type(h, "authPinField", "2468");
    h.click(h.find("pinPage")->findChild<QWidget*>("okButton"));
    ASSERT_TRUE(pumpUntil([&] { return h.shown("credentialListPage") && !h.vm().loading(); }));
    EXPECT_TRUE(h.shown("noRecordPrompt"));
}

TEST(CredentialPage, AuthenticateTickDeleteAfterATouchAndGoBack)
{
    WindowHarness h(false, {{"AdvancedMode", "true"}});
    auto& key = h.model.plugAndList();
    std::string error;
    ASSERT_TRUE(SoftKeyFixtures::load(R"(
pin 1234
rp id=example.com name="Example Corp"
credential rp=example.com user=A1 userName=alice
credential rp=example.com user=A2 userName=bob
rp id=other.org name=Other
credential rp=other.org user=B1 userName=carol
rp id=third.net name=Third
credential rp=third.net user=C1 userName=dave
)",
                                      key.authenticator(), error))
        << error;
    auto& again = replugged(h, key);
    h.clickRow(0);
    h.click("credMgmtButton");
    EXPECT_EQ(shownPinRows(h), (std::vector<std::string>{"authPinRow"}));
    ASSERT_TRUE(pumpUntil([&] { return field(h, "authPinField")->hasFocus(); }));
    QTest::keyClicks(field(h, "authPinField"), "1234");
    h.click(h.find("pinPage")->findChild<QWidget*>("okButton"));
    ASSERT_TRUE(pumpUntil([&] { return h.shown("credentialListPage") && !h.vm().loading(); }));
    EXPECT_FALSE(h.shown("noRecordPrompt"));
    EXPECT_EQ(h.text("countInfo"), "Resident credential counts: 4 , remains: 21");
    auto* list = h.find<CredentialList>("credentialList");
    ASSERT_EQ(list->rowCount(), 4);
    auto* remove = h.find("deleteButton");
    EXPECT_FALSE(remove->isEnabled());

    // Ticks by click (the last row only after scrolling to it) and by keyboard; a second click clears.
    tick(h, 0);
    EXPECT_TRUE(remove->isEnabled());
    tick(h, 0);
    EXPECT_FALSE(remove->isEnabled());
    tick(h, 3);
    EXPECT_TRUE(h.vm().rpList()[3].isChecked);
    QTest::keyClick(list, Qt::Key_Up);
    QTest::keyClick(list, Qt::Key_Space);
    EXPECT_TRUE(h.vm().rpList()[2].isChecked);
    EXPECT_TRUE(list->hasFocus()); // the tick leaves the focus where it was
    EXPECT_EQ(list->focusedRow(), 2);

    // Delete waits for the touch with its prompt up; only the ticked rows go.
    again.authenticator().setTouch(SoftAuthenticator::Touch::Manual);
    h.click(remove);
    ASSERT_TRUE(pumpUntil([&] { return h.shown("touchPrompt"); }));
    EXPECT_EQ(h.find("touchPrompt")->findChild<QLabel*>("promptText")->text(), "Touch your security key");
    again.authenticator().giveTouch();
    ASSERT_TRUE(pumpUntil([&] { return h.vm().rpList().size() == 2 && !h.vm().busy(); }));
    EXPECT_FALSE(h.shown("touchPrompt"));
    EXPECT_EQ(h.vm().rpList()[1].userName, "bob");
    EXPECT_EQ(list->rowCount(), 2);
    EXPECT_EQ(h.text("countInfo"), "Resident credential counts: 2 , remains: 23");
    EXPECT_FALSE(remove->isEnabled());

    h.click("backButton");
    EXPECT_TRUE(h.shown("deviceListPage"));
}

TEST(SettingsPage, AdvancedModeOnAndOff)
{
    WindowHarness h;
    h.model.plugAndList();
    for (bool on : {true, false}) {
        SCOPED_TRACE(on);
        h.click("settingsButton");
        ASSERT_TRUE(h.shown("settingsPage"));
        auto* box = h.find<CheckBox>("advancedModeCheckBox");
        EXPECT_EQ(box->value(), !on);
        // A click on the label flips it as a click on the square does.
        h.click(box, QPoint(box->width() - 5, box->height() / 2));
        EXPECT_EQ(h.vm().advancedMode(), on);
        h.click(h.find("settingsPage")->findChild<QWidget*>("okButton"));
        EXPECT_EQ(h.model.config->values["AdvancedMode"], on ? "true" : "false");
        ASSERT_TRUE(h.shown("deviceListPage"));
        h.clickRow(0);
        EXPECT_EQ(h.shown("credMgmtButton"), on);
    }
}

TEST(ResetFlow, CardResetWithTwoTapsAndACancelledOne)
{
    CardRig card;
    WindowHarness h(true);
    ASSERT_TRUE(card.key().setPin("1234"));
    ASSERT_TRUE(card.insert());
    ASSERT_TRUE(pumpUntil([&] { return h.vm().deviceList().size() == 1; }));

    // Cancelled at the prompt: a later tap is an ordinary arrival.
    h.clickRow(0);
    h.click("resetButton");
    EXPECT_EQ(waitForBox(h), "All data and credentials on this key will be cleared");
    answerBox(h, true);
    ASSERT_TRUE(pumpUntil([&] { return h.shown("reinsertPrompt"); }));
    EXPECT_EQ(h.find("reinsertPrompt")->findChild<QLabel*>("promptText")->text(),
              "Tap your security key twice on your reader");
    h.click(inBox(h, "reinsertPrompt", "cancelButton"));
    ASSERT_TRUE(pumpUntil([&] { return !h.shown("reinsertPrompt"); }));
    ASSERT_TRUE(card.remove());
    ASSERT_TRUE(pumpUntil([&] { return h.vm().deviceList().empty(); }));
    ASSERT_TRUE(card.insert());
    ASSERT_TRUE(pumpUntil([&] { return h.vm().deviceList().size() == 1; }));
    EXPECT_TRUE(card.key().hasPin());

    // Confirmed, then two taps.
    ASSERT_TRUE(h.model.waitIdle());
    h.clickRow(0);
    h.click("resetButton");
    EXPECT_EQ(waitForBox(h), "All data and credentials on this key will be cleared");
    answerBox(h, true);
    ASSERT_TRUE(pumpUntil([&] { return h.shown("reinsertPrompt"); }));
    for (int tap = 0; tap < 2; ++tap) {
        ASSERT_TRUE(card.remove());
        // A tap lasts until the application has read the card (select, identity, deselect).
        const std::size_t before = card.front().receivedApdus().size();
        ASSERT_TRUE(card.insert());
        ASSERT_TRUE(pumpUntil([&] { return card.front().receivedApdus().size() >= before + 2; }));
    }
    EXPECT_EQ(waitForBox(h), "Reset device is successful");
    EXPECT_FALSE(card.key().hasPin());
    answerBox(h, true);
}

TEST(ResetFlow, UsbResetAfterReinsertAndACancelledTouch)
{
    WindowHarness h;
    auto& key = h.model.plugAndList();
    h.clickRow(0);
    // Cancel in the confirmation starts nothing.
    h.click("resetButton");
    EXPECT_EQ(waitForBox(h), "All data and credentials on this key will be cleared");
    answerBox(h, false);
    pumpFor(std::chrono::milliseconds(50));
    EXPECT_FALSE(h.shown("reinsertPrompt"));

    h.click("resetButton");
    waitForBox(h);
    answerBox(h, true);
    ASSERT_TRUE(pumpUntil([&] { return h.shown("reinsertPrompt"); }));
    EXPECT_EQ(h.find("reinsertPrompt")->findChild<QLabel*>("promptText")->text(), "Please re-insert the security Key");
    key.authenticator().setTouch(SoftAuthenticator::Touch::HeldUntilCancel);
    h.model.rig.unplug(key);
    ASSERT_TRUE(pumpUntil([&] { return h.vm().deviceList().empty(); }));
    h.model.rig.replug(key);
    // The touch before the reset is asked for; Cancel ends it and the reset, without a message.
    ASSERT_TRUE(pumpUntil([&] { return h.shown("touchPrompt"); }));
    EXPECT_FALSE(h.shown("reinsertPrompt"));
    EXPECT_EQ(h.find("touchPrompt")->findChild<QLabel*>("promptText")->text().replace('\n', ' '),
              "Touch your security twice within 10 seconds");
    h.click(inBox(h, "touchPrompt", "cancelButton"));
    ASSERT_TRUE(pumpUntil([&] { return !h.shown("touchPrompt") && !h.vm().busy(); }));
    pumpFor(std::chrono::milliseconds(50));
    EXPECT_FALSE(h.shown("messageBox"));
}

TEST(RemovalFlow, AKeyLeavingThePinOrCredentialPageReturnsToTheList)
{
    WindowHarness h(false, {{"AdvancedMode", "true"}});
    auto& key = h.model.plugAndList();
    ASSERT_TRUE(key.authenticator().setPin("1234"));
    auto& again = replugged(h, key);
    h.clickRow(0);
    h.click("changePinButton");
    type(h, "oldPinField", "1234");
    h.model.rig.unplug(again);
    ASSERT_TRUE(pumpUntil([&] { return h.shown("deviceListPage"); }));
    EXPECT_TRUE(field(h, "oldPinField")->text().isEmpty());
    EXPECT_TRUE(h.vm().oldPin().empty());
    EXPECT_FALSE(h.vm().selectedDeviceItem());

    auto& third = h.model.plugAndList();
    ASSERT_TRUE(third.authenticator().setPin("1234"));
    auto& fourth = replugged(h, third);
    openCredentialPage(h, "1234");
    h.model.rig.unplug(fourth);
    ASSERT_TRUE(pumpUntil([&] { return h.shown("deviceListPage"); }));
    EXPECT_FALSE(h.shown("touchPrompt"));
    EXPECT_TRUE(h.shown("insertKeyPrompt"));
}

TEST(MessageBox, OnlyItsButtonsCloseIt)
{
    WindowHarness h;
    bool called = false;
    h.vm().presentMessageBox("Title", "Message", "Ok", std::nullopt, [&] { called = true; });
    ASSERT_TRUE(pumpUntil([&] { return h.shown("messageBox"); }));
    EXPECT_FALSE(inBox(h, "messageBox", "cancelButton")->isVisibleTo(h.window.get()));
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
    EXPECT_TRUE(h.shown("messageBox"));
    EXPECT_FALSE(called);
    // Return on the focused OK answers it.
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    EXPECT_FALSE(h.shown("messageBox"));
    EXPECT_TRUE(called);
    EXPECT_TRUE(h.vm().messageBoxInfo().result);
}
