// Whole user journeys through the window's pages and dialogs, with real clicks and key presses, against the real
// view model and software keys over USB and on the card reader.
#include "WindowHarness.h"

#include "softkey/SoftKeyFixtures.h"
#include "support/CardRig.h"
#include "views/CheckBoxStyle.h"
#include "views/CircularButton.h"
#include "views/CredentialList.h"
#include "views/PinView.h"
#include "views/RpItemView.h"

#include <QClipboard>
#include <QScrollBar>
#include <QTemporaryDir>

#include <algorithm>
#include <cmath>
#include <fstream>

#include <gtest/gtest.h>

const auto barButtons = {"setPinButton", "changePinButton", "resetButton", "credMgmtButton"};
const auto pinRows = {"oldPinRow", "newPinRow", "confirmPinRow", "authPinRow"};

// Set PIN on one of two keys. While the key works on it nothing else is taken; back on the list a selection waits
// until the key has been read again. The other key leaves while its PIN page is up: the page, what was typed there
// and the selection go with it.
TEST(PinView, SetPinOnAUsbKey)
{
    WindowHarness h;
    auto& key = h.model.plugAndList();
    auto& second = h.model.plugAndList();
    h.clickRow(0);
    EXPECT_EQ(h.visible(barButtons), (Names{"setPinButton", "resetButton"}));
    h.click("setPinButton");
    EXPECT_EQ(h.visible(pinRows), (Names{"newPinRow", "confirmPinRow"}));
    QLineEdit* pin = h.field("newPinField");
    ASSERT_TRUE(pumpUntil([&] { return pin->hasFocus(); }));
    auto* page = h.find<PinView>("pinPage");
    EXPECT_EQ(page->focusedField(), PinView::FocusedField::newPinField);
    EXPECT_EQ(pin->echoMode(), QLineEdit::Password);
    // A space typed anywhere vanishes and the cursor stays where it was.
    QTest::keyClicks(pin, "14 ");
    pin->setCursorPosition(1);
    QTest::keyClicks(pin, " 23");
    EXPECT_TRUE(h.vm().newPin() == "1234" && pin->text() == "1234");
    QWidget* ok = h.in("pinPage", "okButton");
    EXPECT_FALSE(ok->isEnabled()); // the confirmation is still empty
    // A paste keeps every character but spaces and line breaks; Return submits nothing.
    QApplication::clipboard()->setText("12 34\n");
    QLineEdit* confirm = h.field("confirmPinField");
    h.click(confirm);
    EXPECT_TRUE(confirm->hasFocus() && !page->focusedField()); // a field the page never focuses itself
    QTest::keySequence(confirm, QKeySequence::Paste);
    EXPECT_EQ(h.vm().confirmPin(), "1234");
    ASSERT_TRUE(ok->isEnabled());
    QTest::keyClick(confirm, Qt::Key_Return);
    EXPECT_FALSE(h.vm().busy());

    auto* list = h.find<QListWidget>("deviceList");
    {
        // While the PIN is set (held as its first request is about to go out) the page takes no input; once it is
        // set, the list reads the key again (held at its getInfo), and meanwhile no row can be selected.
        HoldAndAct setting(h.model), reading(h.model);
        setting.atRequest(nthRequest(1, 0x06));
        h.click(ok);
        ASSERT_TRUE(setting.actThere([&] {
            EXPECT_FALSE(ok->isEnabled() || h.find("settingsButton")->isEnabled());
            for (QWidget* refused : {ok, h.in("pinPage", "cancelButton"), h.find("settingsButton")})
                h.click(refused);
            EXPECT_TRUE(h.shown("pinPage"));
            reading.atRequest(nthRequest(1, 0x04));
        }));
        // The box takes all input, and only its own buttons close it: Return on its focused OK does.
        ASSERT_TRUE(pumpUntil([&] { return h.shown("messageBox"); }));
        EXPECT_EQ(h.text(h.in<QLabel>("messageBox", "messageText")), "New PIN is set");
        EXPECT_FALSE(h.in("messageBox", "cancelButton")->isVisibleTo(h.window.get()));
        h.click("exitButton");
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
        EXPECT_TRUE(h.shown("messageBox") && h.exited == 0);
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
        EXPECT_EQ(countRequests(key.authenticator(), 0x06, 0x03), 1u); // one setPIN
        ASSERT_TRUE(reading.actThere([&] {
            ASSERT_TRUE(h.shown("deviceListPage") && h.vm().busy());
            h.clickRow(1);
            EXPECT_TRUE(!h.vm().selectedDeviceItem() && list->selectedItems().isEmpty());
        }));
        ASSERT_TRUE(h.model.waitIdle());
    }
    // The page's own copies of the PIN went with it.
    EXPECT_TRUE(key.authenticator().hasPin() && pin->text().isEmpty() && confirm->text().isEmpty());

    h.clickRow(1);
    h.click("setPinButton");
    QTest::keyClicks(pin, "5678");
    h.model.rig.unplug(second);
    ASSERT_TRUE(pumpUntil([&] { return h.shown("deviceListPage") && list->count() == 1; }));
    EXPECT_TRUE(pin->text().isEmpty() && h.vm().newPin().empty());
    EXPECT_TRUE(!h.vm().selectedDeviceItem() && list->selectedItems().isEmpty());
    EXPECT_TRUE(h.visible(barButtons).empty() && h.find("settingsButton")->isEnabled());
}

// Refusals keep the page and what was typed, as does a language change, which translates the rest.
TEST(PinView, ChangePinRefusalsKeepThePage)
{
    WindowHarness h;
    SoftKeyConfig config;
    config.minPINLength = 6;
    auto& first = h.model.plugAndList(config);
    ASSERT_TRUE(first.authenticator().setPin("123456") && h.model.unplugLast(first)); // read again, with its PIN
    auto& key = h.model.rig.replug(first);
    ASSERT_TRUE(pumpUntil([&] { return h.vm().deviceList().size() == 1; }));
    h.clickRow(0);
    EXPECT_EQ(h.visible(barButtons), (Names{"changePinButton", "resetButton"}));
    h.click("changePinButton");
    EXPECT_EQ(h.visible(pinRows), (Names{"oldPinRow", "newPinRow", "confirmPinRow"}));
    QLineEdit* old = h.field("oldPinField");
    ASSERT_TRUE(pumpUntil([&] { return old->hasFocus(); }));
    EXPECT_EQ(old->placeholderText(), "6 to 63 characters");
    QTest::keyClicks(old, "99");
    auto* language = h.find<CircularButton>("languageButton");
    for (const char* name : {"ES", "JP", "CN", "EN"}) {
        h.click(language);
        EXPECT_EQ(language->name(), QString::fromLatin1(name));
        EXPECT_EQ(old->placeholderText().toStdString(), h.vm().pinLengthHint()) << name;
        EXPECT_TRUE(old->text() == "99" && old->hasFocus());
    }

    struct Attempt {
        const char *old, *pin, *confirm, *message;
    };
    const Attempt attempts[] = {
        {"123456", "1234", "1234", "PIN length must be 6 to 63 characters"},
        {"123456", "2468013", "2468014", "PINs do not match"},
        {"999999", "2468013", "2468013", "Original PIN is wrong"},
        {"123456", "2468013", "2468013", "New PIN is set"},
    };
    for (const Attempt& a : attempts) {
        h.submitPin({{"oldPinField", a.old}, {"newPinField", a.pin}, {"confirmPinField", a.confirm}});
        EXPECT_EQ(h.answerBox(), a.message);
        const bool refused = &a != std::end(attempts) - 1;
        EXPECT_EQ(h.shown("pinPage"), refused) << a.message;
        // Refused before the key was asked the keyboard is back on OK; after the key's refusal, on the first field.
        if (refused) {
            EXPECT_EQ(QApplication::focusWidget(), &a - attempts < 2 ? h.in("pinPage", "okButton") : old);
        }
        EXPECT_EQ(h.field("newPinField")->text(), refused ? a.pin : "") << a.message;
    }
    EXPECT_TRUE(key.authenticator().pinIs("2468013"));
}

// The empty window follows the desktop between light and dark. Then a card's reset: Cancel at the prompt makes the
// next taps ordinary arrivals; two taps reset the card.
TEST(ResetFlow, CardResetWithTwoTapsAndACancelledOne)
{
    CardRig card;
    WindowHarness h(true);
    EXPECT_TRUE(h.shown("insertKeyPrompt"));
    // Lightness of the page (at y 300) and of the bar (at y 105).
    const auto lightness = [&](int y) { return h.window->grab().toImage().pixelColor(500, y).lightnessF(); };
    const double lightBar = lightness(105);
    EXPECT_EQ(lightness(300), 1.0);
    setDarkScheme(true);
    QApplication::processEvents();
    EXPECT_TRUE(lightness(300) < 0.2 && lightness(105) < lightBar);
    setDarkScheme(false);

    ASSERT_TRUE(card.key().setPin("1234"));
    ASSERT_TRUE(card.insert());
    for (bool cancel : {true, false}) {
        ASSERT_TRUE(pumpUntil([&] { return h.vm().deviceList().size() == 1; }) && h.model.waitIdle());
        EXPECT_TRUE(card.key().hasPin());
        h.clickRow(0);
        h.click("resetButton");
        EXPECT_EQ(h.answerBox(), "All data and credentials on this key will be cleared");
        ASSERT_TRUE(pumpUntil([&] { return h.shown("reinsertPrompt"); }));
        EXPECT_EQ(h.text(h.in<QLabel>("reinsertPrompt", "promptText")), "Tap your security key twice on your reader");
        if (cancel) {
            h.click(h.in("reinsertPrompt", "cancelButton"));
            ASSERT_TRUE(pumpUntil([&] { return !h.shown("reinsertPrompt"); }));
            EXPECT_TRUE(h.find("resetButton")->hasFocus());
        }
        for (int tap = 0; tap < 2; ++tap) {
            // A tap lasts until the application has let the card go from its list and then handled its arrival to
            // the end (read, counted as a tap or listed), so the card never leaves while it is read and the row
            // clicked next is never one about to leave.
            const std::size_t before = card.front().receivedApdus().size();
            ASSERT_TRUE(card.remove() && pumpUntil([&] { return h.vm().deviceList().empty(); }) && card.insert());
            ASSERT_TRUE(pumpUntil([&] { return card.front().receivedApdus().size() >= before + 2; }) &&
                        h.model.settle());
        }
    }
    EXPECT_EQ(h.answerBox(), "Reset device is successful");
    EXPECT_FALSE(card.key().hasPin());
}

// A reset over USB: Cancel in the warning starts nothing; after OK the key is re-inserted and its touch asked for.
// Under that prompt only Minimize and Exit take input; Exit ends the wait and the window.
TEST(ResetFlow, UsbResetAfterReinsertLeftByExit)
{
    WindowHarness h;
    QTemporaryDir share;
    std::ofstream(share.filePath("USR-KWO-Guide.pdf").toStdString()) << "%PDF-1.4\n";
    h.model.workspace->resources = share.path().toStdString();
    auto& key = h.model.plugAndList();
    // The bar's empty area, the logo and the title drag the window; its buttons do not.
    for (QPoint at : {QPoint(50, 30), QPoint(200, 30), QPoint(540, 70), QPoint(1018, 10)})
        h.clickAt(at);
    h.model.workspace->applications = "/opt";
    h.click("otpButton");
    h.clickRow(0);
    for (bool ok : {false, true}) {
        h.click("resetButton");
        EXPECT_EQ(h.answerBox(ok), "All data and credentials on this key will be cleared");
    }
    ASSERT_TRUE(pumpUntil([&] { return h.shown("reinsertPrompt"); }));
    EXPECT_EQ(h.text(h.in<QLabel>("reinsertPrompt", "promptText")), "Please re-insert the security Key");
    key.authenticator().setTouch(SoftAuthenticator::Touch::HeldUntilCancel);
    h.model.rig.unplug(key);
    ASSERT_TRUE(pumpUntil([&] { return h.vm().deviceList().empty(); }));
    h.model.rig.replug(key);
    ASSERT_TRUE(pumpUntil([&] { return h.shown("touchPrompt") && !h.shown("reinsertPrompt"); }));
    EXPECT_EQ(h.text(h.in<QLabel>("touchPrompt", "promptText")), "Touch your security twice within 10 seconds");

    for (const char* blocked : {"otpButton", "settingsButton", "languageButton", "helpButton"})
        h.click(blocked);
    h.clickAt(QPoint(200, 30));
    EXPECT_TRUE(h.model.workspace->openedApplications.size() == 1 && h.moves == 4);
    EXPECT_TRUE(h.model.workspace->openedDocuments.empty());
    EXPECT_TRUE(h.shown("deviceListPage") && h.vm().language() == Language::EN);
    for (const char* next : {"minimizeButton", "exitButton", "cancelButton"}) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        EXPECT_EQ(QApplication::focusWidget()->objectName(), next);
    }
    h.find("deviceList")->setFocus();
    EXPECT_TRUE(h.in("touchPrompt", "cancelButton")->hasFocus());
    // Exit cancels the wait and stops the view model's work before the window goes (a wait that outlived it would
    // hang here).
    h.click("minimizeButton");
    h.click("exitButton");
    EXPECT_TRUE(h.minimized == 1 && h.exited == 1 && !h.window->isVisible());
}

// The advanced mode (switched on by a click on its label) offers Credential Management on keys that have it. A first
// PIN is set on the way; when the key then refuses the token, the page asks for the Security PIN. Ticks by click,
// label and Space; Delete waits for the touch (a cancelled one deletes nothing); a key that leaves takes the page.
TEST(CredentialPage, FirstPinAuthenticateTickDeleteAfterATouchAndGoBack)
{
    WindowHarness h;
    auto& key = h.model.plugAndList();
    SoftKeyConfig withoutCredMgmt;
    withoutCredMgmt.credMgmt = false;
    h.model.plugAndList(withoutCredMgmt);
    h.clickRow(0);
    h.click("settingsButton");
    auto* box = h.find<CheckBoxStyle>("advancedModeCheckBox");
    ASSERT_TRUE(h.shown("settingsPage") && !box->value());
    h.click(box, QPoint(box->width() - 5, box->height() / 2));
    h.click(h.in("settingsPage", "okButton"));
    EXPECT_EQ(h.model.config->values["AdvancedMode"], "true");
    ASSERT_TRUE(h.shown("deviceListPage") && h.model.waitIdle());
    EXPECT_TRUE(!h.vm().selectedDeviceItem() && h.visible(barButtons).empty());
    h.clickRow(1);
    EXPECT_EQ(h.visible(barButtons), (Names{"setPinButton", "resetButton"}));
    ASSERT_TRUE(h.model.waitIdle());
    h.clickRow(0);
    h.click("credMgmtButton");
    EXPECT_EQ(h.visible(pinRows), (Names{"newPinRow", "confirmPinRow"}));
    key.authenticator().queueRawReply({Bytes{0x31}, std::uint8_t{0x06}, std::uint8_t{0x09}});
    h.submitPin({{"newPinField", "2468"}, {"confirmPinField", "2468"}});
    EXPECT_EQ(h.answerBox(), "Wrong PIN");
    EXPECT_EQ(h.visible(pinRows), (Names{"authPinRow"}));
    h.submitPin({{"authPinField", "2468"}});
    ASSERT_TRUE(pumpUntil([&] { return h.shown("credentialListPage") && !h.vm().loading(); }));
    EXPECT_TRUE(h.shown("noRecordPrompt"));
    // The scroll bar shows only while the rows do not fit.
    auto* list = h.find<CredentialList>("credentialList");
    QScrollBar* bar = list->verticalScrollBar();
    QApplication::processEvents();
    EXPECT_FALSE(bar->isVisible());

    std::string error;
    ASSERT_TRUE(SoftKeyFixtures::load("credential rp=a.example user=0A userName=alice\n"
                                      "credential rp=a.example user=0B userName=bob\n"
                                      "credential rp=b.example user=0C userName=carol\n"
                                      "credential rp=c.example user=0D userName=dave\n",
                                      key.authenticator(), error))
        << error;
    h.click("backButton");
    ASSERT_TRUE(h.shown("deviceListPage") && h.model.waitIdle());
    h.clickRow(0);
    h.click("credMgmtButton");
    ASSERT_TRUE(pumpUntil([&] { return h.field("authPinField")->hasFocus(); }));
    h.submitPin({{"authPinField", "2468"}});
    ASSERT_TRUE(pumpUntil([&] { return h.shown("credentialListPage") && !h.vm().loading(); }));
    EXPECT_EQ(h.text("countInfo"), "Resident credential counts: 4 , remains: 21");
    EXPECT_FALSE(h.shown("noRecordPrompt"));
    ASSERT_EQ(list->rowCount(), 4);
    ASSERT_TRUE(pumpUntil([&] { return bar->isVisible(); }));
    // Its handle stands out from its track in both schemes: near the top of the bar, the handle scrolled up against
    // the track the handle leaves when scrolled down.
    const auto lightnessNearTop = [&](int value) {
        bar->setValue(value);
        const QImage image = bar->grab().toImage();
        return image.pixelColor(image.width() / 2, image.height() / 8).lightnessF();
    };
    for (bool dark : {false, true}) {
        setDarkScheme(dark);
        QApplication::processEvents();
        EXPECT_GT(std::abs(lightnessNearTop(bar->minimum()) - lightnessNearTop(bar->maximum())), 0.25)
            << (dark ? "dark" : "light");
    }
    bar->setValue(bar->minimum());
    setDarkScheme(false);
    auto* remove = h.find("deleteButton");
    EXPECT_FALSE(remove->isEnabled());

    // A click on the box ticks, one on the label clears; the last row is ticked once scrolled into sight.
    const auto tick = [&](int row, bool onLabel) {
        const QRect at = list->checkBoxRect(row);
        ASSERT_FALSE(at.isEmpty());
        h.click(list->viewport(), onLabel ? QPoint(at.right() - 2, at.center().y()) : at.center());
    };
    tick(0, false);
    EXPECT_TRUE(remove->isEnabled());
    tick(0, true);
    EXPECT_FALSE(remove->isEnabled());
    tick(3, false);
    QTest::keyClick(list, Qt::Key_Up);
    QTest::keyClick(list, Qt::Key_Space);
    EXPECT_TRUE(h.vm().rpList()[2].isChecked && h.vm().rpList()[3].isChecked);
    EXPECT_TRUE(list->hasFocus() && list->focusedRow() == 2); // the tick leaves the focus where it was

    key.authenticator().setTouch(SoftAuthenticator::Touch::Manual);
    for (bool cancel : {true, false}) {
        h.click(remove);
        ASSERT_TRUE(pumpUntil([&] { return h.shown("touchPrompt"); }));
        EXPECT_EQ(h.text(h.in<QLabel>("touchPrompt", "promptText")), "Touch your security key");
        if (cancel)
            h.click(h.in("touchPrompt", "cancelButton"));
        else
            key.authenticator().giveTouch();
        ASSERT_TRUE(pumpUntil([&] { return !h.shown("touchPrompt") && !h.vm().busy(); }));
        EXPECT_TRUE(list->hasFocus() && !h.shown("messageBox"));
        EXPECT_EQ(list->rowCount(), cancel ? 4 : 2);
        // A cancelled touch deletes nothing and leaves the ticks, and Delete, as they were.
        if (cancel) {
            EXPECT_TRUE(h.vm().rpList()[2].isChecked && h.vm().rpList()[3].isChecked && remove->isEnabled());
        }
    }
    EXPECT_TRUE(pumpUntil([&] { return !bar->isVisible(); }));
    EXPECT_EQ(h.vm().rpList()[1].userName, "bob");
    EXPECT_EQ(h.text("countInfo"), "Resident credential counts: 2 , remains: 23");
    EXPECT_FALSE(remove->isEnabled());
    h.model.rig.unplug(key);
    ASSERT_TRUE(pumpUntil([&] { return h.shown("deviceListPage") && h.vm().deviceList().size() == 1; }));
    EXPECT_FALSE(h.shown("touchPrompt"));
}

namespace {
const char* const fourCredentials = "pin 1234\n"
                                    "credential rp=a.example user=0A userName=alice\n"
                                    "credential rp=a.example user=0B userName=bob\n"
                                    "credential rp=b.example user=0C userName=carol\n"
                                    "credential rp=c.example user=0D userName=dave\n";
} // namespace

// A credential row is made from the credential's values and a binding to its element's tick in the model's list: it
// shows the tick the model holds, and a tick through it is written there, after which the Delete button follows.
TEST(RpItemView, TicksGoThroughTheBindingToTheModelsList)
{
    ViewModelHarness model;
    model.plugAndSelectWithPin(fourCredentials);
    ASSERT_TRUE(model.openCredentials("1234"));
    ASSERT_EQ(model.vm->rpList().size(), 4u);
    const RpItem item = model.vm->rpList()[1];
    const RpItemView row(item.id, item.name, item.idHash, item.userId, item.userName, item.credentialId, item.credType,
                         RpItemView::IsCheckedBinding(*model.vm, 1), model.vm->uiStr(), 1024);
    EXPECT_FALSE(row.isChecked());
    row.setChecked(true);
    EXPECT_TRUE(model.vm->rpList()[1].isChecked && model.vm->credMgmtDeleteButtonEnable());
    EXPECT_EQ(std::count_if(model.vm->rpList().begin(), model.vm->rpList().end(),
                            [](const RpItem& credential) { return credential.isChecked; }),
              1);
    model.vm->setRpItemChecked(1, false);
    EXPECT_FALSE(row.isChecked() || model.vm->credMgmtDeleteButtonEnable());
}

// Rows stay bound to their own elements when rows before them go: after a deletion, a click on a later row's box
// ticks that row's credential.
TEST(CredentialList, RowsTickTheirOwnCredentialsAfterRowsBeforeThemWent)
{
    ViewModelHarness model;
    model.plugAndSelectWithPin(fourCredentials);
    ASSERT_TRUE(model.openCredentials("1234"));
    // Short enough that the rows left still need the scroll bar: the list is not laid out again for a new width.
    CredentialList list(*model.vm);
    list.resize(1024, 200);
    list.show();
    ASSERT_EQ(list.rowCount(), 4);
    const std::string last = model.vm->rpList()[3].credentialId;
    model.vm->setRpItemChecked(1, true);
    model.vm->credMgmtDeleteClicked();
    ASSERT_TRUE(pumpUntil([&] { return list.rowCount() == 3 && !model.vm->busy(); }));
    QTest::mouseClick(list.viewport(), Qt::LeftButton, {}, list.checkBoxRect(2).center());
    ASSERT_EQ(model.vm->rpList()[2].credentialId, last);
    EXPECT_TRUE(model.vm->rpList()[2].isChecked && model.vm->credMgmtDeleteButtonEnable());
}

// The Advanced Mode box shows the setting each time the page opens; OK stores what it shows, off as well as on, and
// the device list offers Credential Management accordingly.
TEST(SettingsView, AdvancedModeOnAndOff)
{
    WindowHarness h;
    h.model.plugAndList();
    for (bool on : {true, false}) {
        SCOPED_TRACE(on);
        h.click("settingsButton");
        ASSERT_TRUE(h.shown("settingsPage"));
        auto* box = h.find<CheckBoxStyle>("advancedModeCheckBox");
        EXPECT_EQ(box->value(), !on);
        // A click on the square or on the label flips it.
        h.click(box, on ? QPoint(box->height() / 2, box->height() / 2) : QPoint(box->width() - 5, box->height() / 2));
        EXPECT_EQ(h.vm().advancedMode(), on);
        h.click(h.in("settingsPage", "okButton"));
        EXPECT_EQ(h.model.config->values["AdvancedMode"], on ? "true" : "false");
        ASSERT_TRUE(h.shown("deviceListPage") && h.model.waitIdle());
        h.clickRow(0);
        EXPECT_EQ(h.shown("credMgmtButton"), on);
    }
}
