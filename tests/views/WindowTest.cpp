// The window and the device list, driven through their widgets against the real view model and software
// keys (USB on socket pairs, a card on the vpcd reader).
#include "WindowHarness.h"

#include "support/CardRig.h"
#include "views/CircularButton.h"
#include "views/ContentView.h"
#include "views/Overlay.h"

#include <QListWidget>

#include <functional>

#include <gtest/gtest.h>

namespace {

QListWidget* deviceList(const WindowHarness& h) { return h.find<QListWidget>("deviceList"); }

QString cardText(const WindowHarness& h, int row, const char* line)
{
    QListWidget* list = deviceList(h);
    QWidget* card = list->itemWidget(list->item(row));
    auto* label = card ? card->findChild<QLabel*>(QString::fromLatin1(line)) : nullptr;
    // Lines wrapped to fit the card read as one text.
    return label ? label->text().replace(QLatin1Char('\n'), QLatin1Char(' ')) : QString();
}

std::vector<std::string> shownButtons(const WindowHarness& h)
{
    std::vector<std::string> shown;
    for (const char* name : {"setPinButton", "changePinButton", "resetButton", "credMgmtButton"})
        if (h.shown(name))
            shown.emplace_back(name);
    return shown;
}

// Brings up the touch prompt of a reset whose key waits for a touch that never comes.
void touchPromptThatWaitsForever(WindowHarness& h)
{
    auto& key = h.model.plugAndList();
    h.clickRow(0);
    h.vm().confirmReset();
    ASSERT_TRUE(pumpUntil([&] { return h.shown("messageBox"); }));
    h.click(h.find("messageBox")->findChild<QWidget*>("okButton"));
    ASSERT_TRUE(pumpUntil([&] { return h.shown("reinsertPrompt"); }));
    key.authenticator().setTouch(SoftAuthenticator::Touch::HeldUntilCancel);
    h.model.rig.unplug(key);
    ASSERT_TRUE(pumpUntil([&] { return h.vm().deviceList().empty(); }));
    h.model.rig.replug(key);
    ASSERT_TRUE(pumpUntil([&] { return h.shown("touchPrompt") && !h.shown("reinsertPrompt"); }));
}

} // namespace

TEST(Window, UsbKeyAndCardAreListedAsCards)
{
    CardRig card;
    WindowHarness h(true, {{"Language", "es"}});
    h.model.plugAndList();
    ASSERT_TRUE(card.insert());
    ASSERT_TRUE(pumpUntil([&] { return deviceList(h)->count() == 2; }));
    EXPECT_FALSE(h.shown("insertKeyPrompt"));

    EXPECT_EQ(cardText(h, 0, "deviceName"), "Tallowfin");
    EXPECT_EQ(cardText(h, 1, "deviceName"), "Tallowfin NFC Card");
    const UIStringVal& texts = h.vm().uiStr();
    EXPECT_EQ(cardText(h, 1, "firmwareLine").toStdString(), texts.itemFWVersion + " 328707");
    EXPECT_EQ(cardText(h, 1, "aaguidLine").toStdString(), texts.itemAAGUID + ": 4D542D534F46544B45592D3030303031");
    EXPECT_EQ(cardText(h, 1, "protocolLine").toStdString(),
              texts.itemProtocol + ": FIDO_2_0, FIDO_2_1_PRE, FIDO_2_1");
    EXPECT_NE(cardText(h, 0, "statusLine"), "PIN is not set, support credential management");
    EXPECT_FALSE(cardText(h, 1, "statusLine").isEmpty());
}

TEST(Window, ButtonBarFollowsTheSelectedKey)
{
    struct Case {
        const char* what;
        bool pin;
        bool advanced;
        bool credMgmt;
        std::vector<std::string> buttons;
    };
    const Case cases[] = {
        {"no PIN", false, false, true, {"setPinButton", "resetButton"}},
        {"PIN set", true, false, true, {"changePinButton", "resetButton"}},
        {"advanced, cred mgmt", true, true, true, {"changePinButton", "resetButton", "credMgmtButton"}},
        {"advanced, no cred mgmt", false, true, false, {"setPinButton", "resetButton"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        WindowHarness h(false, {{"AdvancedMode", c.advanced ? "true" : "false"}});
        SoftKeyConfig config;
        config.credMgmt = c.credMgmt;
        auto& key = h.model.plugAndList(config);
        if (c.pin) {
            ASSERT_TRUE(key.authenticator().setPin("1234"));
            h.model.rig.unplug(key);
            ASSERT_TRUE(pumpUntil([&] { return h.vm().deviceList().empty(); }));
            h.model.rig.replug(key);
            ASSERT_TRUE(pumpUntil([&] { return h.vm().deviceList().size() == 1; }));
        }
        EXPECT_TRUE(shownButtons(h).empty());
        h.clickRow(0);
        ASSERT_TRUE(h.vm().selectedDeviceItem());
        EXPECT_EQ(shownButtons(h), c.buttons);
    }
}

TEST(Window, RemovingTheSelectedKeyLeavesNoSelection)
{
    WindowHarness h;
    EXPECT_TRUE(h.shown("insertKeyPrompt"));
    h.model.plugAndList();
    auto& second = h.model.plugAndList();
    h.clickRow(1);
    ASSERT_EQ(deviceList(h)->currentRow(), 1);
    h.model.rig.unplug(second);
    ASSERT_TRUE(pumpUntil([&] { return deviceList(h)->count() == 1; }));
    EXPECT_FALSE(h.vm().selectedDeviceItem());
    EXPECT_TRUE(deviceList(h)->selectedItems().isEmpty());
    EXPECT_TRUE(shownButtons(h).empty());
}

TEST(Window, SelectionIsClearedWhenTheListIsShownAgain)
{
    WindowHarness h;
    h.model.plugAndList();
    h.clickRow(0);
    h.click("settingsButton");
    ASSERT_TRUE(h.vm().settingsViewVisible());
    EXPECT_FALSE(h.shown("deviceListPage"));
    h.vm().saveAdvancedMode();
    ASSERT_TRUE(h.model.waitIdle());
    EXPECT_TRUE(h.shown("deviceListPage"));
    EXPECT_FALSE(h.vm().selectedDeviceItem());
    EXPECT_TRUE(deviceList(h)->selectedItems().isEmpty());
    EXPECT_TRUE(shownButtons(h).empty());
}

TEST(Window, LanguageButtonCyclesEveryText)
{
    WindowHarness h;
    h.model.plugAndList();
    h.clickRow(0);
    auto* language = h.find<CircularButton>("languageButton");
    for (const char* name : {"ES", "JP", "CN", "EN"}) {
        h.click(language);
        SCOPED_TRACE(name);
        const UIStringVal& texts = h.vm().uiStr();
        EXPECT_EQ(language->name(), QString::fromLatin1(name));
        EXPECT_EQ(h.text("topBarTitle").toStdString(), texts.topBarTitle);
        EXPECT_EQ(h.find<QAbstractButton>("settingsButton")->text().toStdString(), texts.topBarSettings);
        EXPECT_EQ(language->text().toStdString(), texts.topBarLanguage);
        EXPECT_EQ(h.find<QAbstractButton>("exitButton")->text().toStdString(), texts.topBarExit);
        EXPECT_EQ(h.find<QAbstractButton>("setPinButton")->text().toStdString(), texts.btnSetPin);
        EXPECT_EQ(h.find<QAbstractButton>("resetButton")->text().toStdString(), texts.btnReset);
        EXPECT_EQ(h.text("insertKeyPrompt").toStdString(), texts.promptInsertKey);
        EXPECT_EQ(cardText(h, 0, "firmwareLine").toStdString(), texts.itemFWVersion + " 328707");
    }
    EXPECT_EQ(h.text("topBarTitle"), "JOV Marrowtillance");
    EXPECT_EQ(cardText(h, 0, "statusLine"), "PIN is not set, support credential management");
}

TEST(Window, BusyModelRefusesPageSwitchesAndSelection)
{
    WindowHarness h;
    auto& key = h.model.plugAndList();
    h.model.plugAndList();
    h.clickRow(0);
    // A PIN change the key takes its time over keeps the model busy.
    key.authenticator().setProcessingDelay(std::chrono::milliseconds(600));
    h.vm().showPinViewForSetOrChange();
    h.vm().pinFieldEdited(DeviceViewModel::PinField::newPin, "123456");
    h.vm().pinFieldEdited(DeviceViewModel::PinField::confirmPin, "123456");
    h.vm().pinOkClicked();
    ASSERT_TRUE(h.vm().busy());
    EXPECT_FALSE(h.find("settingsButton")->isEnabled());
    h.click("settingsButton");
    h.vm().showSettings();
    h.vm().showPinViewForCredMgmt();
    h.vm().confirmReset();
    EXPECT_TRUE(h.vm().pinViewVisible());
    EXPECT_FALSE(h.vm().settingsViewVisible());
    ASSERT_TRUE(h.model.waitForMessage(h.vm().uiStr().pinNewPinSet));
    // Back on the list, the selection is refused while the selected key is re-read.
    h.vm().closeMessageBox(true);
    ASSERT_TRUE(h.vm().deviceListViewVisible());
    ASSERT_TRUE(h.vm().busy());
    h.clickRow(1);
    EXPECT_FALSE(h.vm().selectedDeviceItem());
    EXPECT_TRUE(deviceList(h)->selectedItems().isEmpty());
    ASSERT_TRUE(h.model.waitIdle());
    EXPECT_TRUE(h.find("settingsButton")->isEnabled());
}

TEST(Window, MinimiseExitAndDragGoToTheWindowSystem)
{
    WindowHarness h;
    // The bar's empty area, the logo and the title drag the window; its buttons do not.
    for (QPoint at : {QPoint(50, 30), QPoint(200, 30), QPoint(540, 70), QPoint(1018, 10)})
        h.pressAt(at);
    EXPECT_EQ(h.moves, 4);
    h.model.workspace->applications = "/opt";
    h.click("otpButton");
    ASSERT_EQ(h.model.workspace->openedApplications.size(), 1u);
    h.click("minimizeButton");
    EXPECT_EQ(h.minimized, 1);
    h.click("exitButton");
    EXPECT_EQ(h.exited, 1);
    EXPECT_EQ(h.moves, 4);
}

TEST(Window, UnderAPromptOnlyMinimizeAndExitWork)
{
    WindowHarness h;
    touchPromptThatWaitsForever(h);
    h.model.workspace->applications = "/opt";
    for (const char* blocked : {"otpButton", "settingsButton", "languageButton", "helpButton"})
        h.click(blocked);
    h.pressAt(QPoint(200, 30));
    EXPECT_TRUE(h.model.workspace->openedApplications.empty());
    EXPECT_TRUE(h.vm().deviceListViewVisible());
    EXPECT_EQ(h.vm().language(), Language::EN);
    EXPECT_EQ(h.moves, 0);
    // Tab reaches them as well, and nothing else beneath.
    QWidget* cancel = h.find("touchPrompt")->findChild<QWidget*>("cancelButton");
    for (const char* next : {"minimizeButton", "exitButton", "cancelButton"}) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        EXPECT_EQ(QApplication::focusWidget()->objectName(), next);
    }
    EXPECT_TRUE(cancel->hasFocus());

    h.click("minimizeButton");
    EXPECT_EQ(h.minimized, 1);
    // Exit cancels the wait and stops the view model's work before the window goes; a wait that outlived it
    // would hang here.
    h.click("exitButton");
    EXPECT_EQ(h.exited, 1);
    EXPECT_FALSE(h.window->isVisible());
}

TEST(Window, NothingUnderAnOverlayTakesInput)
{
    WindowHarness h;
    h.model.plugAndList();
    auto* content = h.window->content();
    ViewModelTestSeam::showTouchPrompt(h.vm(), true);
    ASSERT_TRUE(h.shown("touchPrompt"));
    EXPECT_EQ(content->activeOverlay(), h.find("touchPrompt"));

    h.clickRow(0);
    EXPECT_FALSE(h.vm().selectedDeviceItem());
    // Keyboard focus stays on the prompt, whatever tries to move it.
    QWidget* cancel = h.find("touchPrompt")->findChild<QWidget*>("cancelButton");
    EXPECT_TRUE(cancel->hasFocus());
    deviceList(h)->setFocus();
    EXPECT_TRUE(cancel->hasFocus());

    // The re-insert prompt lies over the touch prompt, the message box over both; the box lets nothing through.
    ViewModelTestSeam::showReinsertPrompt(h.vm(), true);
    EXPECT_EQ(content->activeOverlay(), h.find("reinsertPrompt"));
    h.vm().presentMessageBox("Title", "Message", "Ok", std::nullopt, {});
    ASSERT_TRUE(pumpUntil([&] { return h.shown("messageBox"); }));
    EXPECT_EQ(content->activeOverlay(), h.find("messageBox"));
    h.click("exitButton");
    EXPECT_EQ(h.exited, 0);
    ViewModelTestSeam::showReinsertPrompt(h.vm(), false);
    ViewModelTestSeam::showTouchPrompt(h.vm(), false);
    h.click(h.find("messageBox")->findChild<QWidget*>("okButton"));
    EXPECT_EQ(content->activeOverlay(), nullptr);
    h.clickRow(0);
    EXPECT_TRUE(h.vm().selectedDeviceItem());
}

TEST(Window, KeyboardFocusReturnsWhereItWasWhenADialogCloses)
{
    WindowHarness h;
    h.model.plugAndList();
    h.clickRow(0);
    struct Case {
        const char* dialog;
        std::function<void(bool)> raise;
    };
    const Case cases[] = {
        {"touchPrompt", [&](bool up) { ViewModelTestSeam::showTouchPrompt(h.vm(), up); }},
        {"reinsertPrompt", [&](bool up) { ViewModelTestSeam::showReinsertPrompt(h.vm(), up); }},
        {"messageBox",
         [&](bool up) {
             if (up)
                 h.vm().presentMessageBox("Title", "Message", "Ok", std::nullopt, {});
             else
                 h.vm().closeMessageBox(true);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.dialog);
        for (const char* before : {"deviceList", "resetButton"}) {
            h.find(before)->setFocus(Qt::TabFocusReason);
            c.raise(true);
            ASSERT_TRUE(pumpUntil([&] { return h.shown(c.dialog); }));
            EXPECT_FALSE(h.find(before)->hasFocus());
            c.raise(false);
            EXPECT_EQ(QApplication::focusWidget(), h.find(before)) << before;
        }
    }
}

TEST(Window, FollowsTheDesktopSwitchingBetweenLightAndDark)
{
    WindowHarness h;
    const QPoint page(500, 300);
    const QPoint bar(500, 105);
    EXPECT_EQ(h.window->grab().toImage().pixelColor(page), QColor(Qt::white));
    const QColor lightBar = h.window->grab().toImage().pixelColor(bar);
    setDarkScheme(true);
    QApplication::processEvents();
    const QImage dark = h.window->grab().toImage();
    setDarkScheme(false);
    EXPECT_LT(dark.pixelColor(page).lightnessF(), 0.2);
    EXPECT_LT(dark.pixelColor(bar).lightnessF(), lightBar.lightnessF());
}
