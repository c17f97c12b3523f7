// The window, its top bar and the device list, driven through their widgets against the real view model and
// software keys (USB on socket pairs, a card on the vpcd reader); and the few looks that paint themselves.
#include "WindowHarness.h"

#include "support/CardRig.h"
#include "viewmodel/TextTemplates.h"
#include "views/CircularButton.h"
#include "views/ContentView.h"
#include "views/DeviceItemView.h"
#include "views/DragWndView.h"
#include "views/MessageBox.h"
#include "views/Overlay.h"
#include "views/Palette.h"

#include <QMouseEvent>
#include <QTemporaryDir>

#include <fstream>

#include <gtest/gtest.h>

namespace {

QListWidget* deviceList(const WindowHarness& h) { return h.find<QListWidget>("deviceList"); }

QString cardText(const WindowHarness& h, int row, const char* line)
{
    QListWidget* list = deviceList(h);
    QWidget* card = list->itemWidget(list->item(row));
    return WindowHarness::text(card ? card->findChild<QLabel*>(QString::fromLatin1(line)) : nullptr);
}

const auto barButtons = {"setPinButton", "changePinButton", "resetButton", "credMgmtButton"};

} // namespace

TEST(Window, EmptyListAsksForAKey)
{
    WindowHarness h;
    EXPECT_EQ(h.window->size(), QSize(1024, 530));
    EXPECT_TRUE(h.window->windowFlags() & Qt::FramelessWindowHint);
    EXPECT_EQ(h.window->minimumSize(), h.window->maximumSize());
    EXPECT_TRUE(h.shown("insertKeyPrompt"));
    EXPECT_EQ(h.text("insertKeyPrompt"), "Insert a security key into the USB port");
    EXPECT_TRUE(h.visible(barButtons).empty());
    EXPECT_EQ(h.text("versionLabel"), QStringLiteral("KWO-VR v") + QStringLiteral(MT_PROJECT_VERSION));
}

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
    // Neither key has a PIN; the status line is in the window's language.
    for (int row : {0, 1})
        EXPECT_EQ(cardText(h, row, "statusLine").toStdString(), "PIN no establecido, admite gestión de credenciales");
}

// The view model drops the selection of a key that leaves while the list is shown; the list follows, and asks for a
// key again once the last one has gone.
TEST(Window, RemovingTheSelectedKeyLeavesNoSelection)
{
    WindowHarness h;
    EXPECT_TRUE(h.shown("insertKeyPrompt"));
    auto& first = h.model.plugAndList();
    auto& second = h.model.plugAndList();
    h.clickRow(1);
    ASSERT_EQ(deviceList(h)->currentRow(), 1);
    h.model.rig.unplug(second);
    ASSERT_TRUE(pumpUntil([&] { return deviceList(h)->count() == 1; }));
    EXPECT_FALSE(h.vm().selectedDeviceItem());
    EXPECT_TRUE(deviceList(h)->selectedItems().isEmpty());
    EXPECT_TRUE(h.visible(barButtons).empty());
    EXPECT_FALSE(h.shown("insertKeyPrompt"));
    ASSERT_TRUE(h.model.unplugLast(first));
    EXPECT_TRUE(h.shown("insertKeyPrompt"));
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
        EXPECT_EQ(cardText(h, 0, "statusLine").toStdString(), h.vm().deviceStatus(h.vm().deviceList()[0]));
    }
    EXPECT_EQ(h.text("topBarTitle"), "JOV Marrowtillance");
    EXPECT_EQ(cardText(h, 0, "statusLine"), "PIN is not set, support credential management");
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
    QWidget* cancel = h.in("touchPrompt", "cancelButton");
    EXPECT_TRUE(cancel->hasFocus());
    deviceList(h)->setFocus();
    EXPECT_TRUE(cancel->hasFocus());

    // The re-insert prompt lies over the touch prompt, the message box over both: a click in the middle of the
    // window reaches the one on top.
    const auto onTop = [&](const char* overlay) {
        return h.find(overlay)->isAncestorOf(h.window->childAt(QPoint(512, 265)));
    };
    EXPECT_TRUE(onTop("touchPrompt"));
    ViewModelTestSeam::showReinsertPrompt(h.vm(), true);
    EXPECT_EQ(content->activeOverlay(), h.find("reinsertPrompt"));
    EXPECT_TRUE(onTop("reinsertPrompt"));
    h.vm().presentMessageBox("Title", "Message", "Ok", std::nullopt, {});
    ASSERT_TRUE(pumpUntil([&] { return h.shown("messageBox"); }));
    EXPECT_EQ(content->activeOverlay(), h.find("messageBox"));
    EXPECT_TRUE(onTop("messageBox"));
    ViewModelTestSeam::showReinsertPrompt(h.vm(), false);
    ViewModelTestSeam::showTouchPrompt(h.vm(), false);
    h.click(h.in("messageBox", "okButton"));
    EXPECT_EQ(content->activeOverlay(), nullptr);
    h.clickRow(0);
    EXPECT_TRUE(h.vm().selectedDeviceItem());
}

// Help opens the first USR-KWO*.pdf of the application's data folder.
TEST(Window, HelpOpensTheManual)
{
    QTemporaryDir share;
    for (const char* name : {"README.txt", "USR-KWO-Marrowtillance-Guide.pdf"})
        std::ofstream(share.filePath(name).toStdString()) << "%PDF-1.4\n";
    WindowHarness h;
    h.model.workspace->resources = share.path().toStdString();
    h.click("helpButton");
    EXPECT_EQ(h.model.workspace->openedDocuments,
              std::vector<std::filesystem::path>{share.filePath("USR-KWO-Marrowtillance-Guide.pdf").toStdString()});
    EXPECT_TRUE(h.model.workspace->openedApplications.empty());
}

// The list pages' header is a row of two padded texts (32 + 592, then 8 + 416, 8 apart) centred on the page, so it
// reaches 16 past either edge: the texts begin 16 and 624 from the page's left edge.
TEST(Window, ListPageHeadersAreCentredOnThePage)
{
    WindowHarness h;
    struct Case {
        const char *page, *left, *right;
    };
    for (const Case& c : {Case{"deviceListPage", "leftHeader", "rightHeader"},
                          Case{"credentialListPage", "leftHeader", "countInfo"}}) {
        SCOPED_TRACE(c.page);
        QWidget* page = h.find(c.page);
        const auto x = [&](const char* name) {
            const QLabel* text = page->findChild<QLabel*>(name);
            return text ? text->mapTo(page, QPoint()).x() : -1;
        };
        EXPECT_EQ(x(c.left), 16);
        EXPECT_EQ(x(c.right), 624);
    }
    EXPECT_EQ(h.text(h.in<QLabel>("deviceListPage", "leftHeader")), "Device");
    EXPECT_EQ(h.text(h.in<QLabel>("deviceListPage", "rightHeader")), "Status");
}

// A round button runs its action for a click on its blue disc only: not on the caption under it, nor on the white ring.
TEST(Window, CircularButtonRunsForItsDiscOnly)
{
    WindowHarness h;
    QWidget* minimize = h.find("minimizeButton");
    const QPoint caption(34, 43), ring(34, 0), disc(34, 15);
    for (QPoint at : {caption, ring})
        h.click(minimize, at);
    EXPECT_EQ(h.minimized, 0);
    h.click(minimize, disc);
    EXPECT_EQ(h.minimized, 1);
    // The pointing hand says so: over the disc, not over the caption.
    for (const auto& [at, shape] : {std::pair{disc, Qt::PointingHandCursor}, std::pair{caption, Qt::ArrowCursor}}) {
        QMouseEvent move(QEvent::MouseMove, at, minimize->mapToGlobal(at), Qt::NoButton, Qt::NoButton, Qt::NoModifier);
        QCoreApplication::sendEvent(minimize, &move);
        EXPECT_EQ(minimize->cursor().shape(), shape);
    }
}

// A button shows its focus ring when the keyboard brought the focus, not when a click did; focus handed back as when
// a popup closes keeps the ring the button had.
TEST(Window, FocusRingShowsForKeyboardFocusOnly)
{
    WindowHarness h;
    h.model.plugAndList();
    h.clickRow(0);
    struct Case {
        const char* button;
        Qt::FocusReason reason;
        bool ring;
    };
    const Case cases[] = {
        {"settingsButton", Qt::TabFocusReason, true},  {"settingsButton", Qt::BacktabFocusReason, true},
        {"settingsButton", Qt::MouseFocusReason, false}, {"exitButton", Qt::TabFocusReason, true},
        {"exitButton", Qt::MouseFocusReason, false},   {"resetButton", Qt::TabFocusReason, true},
        {"resetButton", Qt::OtherFocusReason, true},   {"resetButton", Qt::MouseFocusReason, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.button) + " " + std::to_string(static_cast<int>(c.reason)));
        QWidget* button = h.find(c.button);
        deviceList(h)->setFocus(Qt::TabFocusReason);
        const QImage unfocused = button->grab().toImage();
        button->setFocus(c.reason);
        ASSERT_TRUE(button->hasFocus());
        EXPECT_EQ(button->grab().toImage() != unfocused, c.ring);
        // Focus given back after a dialog keeps what the last focus showed.
        deviceList(h)->setFocus(Qt::TabFocusReason);
        button->setFocus(Qt::PopupFocusReason);
        EXPECT_EQ(button->grab().toImage() != unfocused, c.ring);
    }
}

// A card works its status line out from its own fields when it comes on screen, and again when the language
// changes; before that it shows none. Without a PIN no retries are told, whatever the key said.
TEST(DeviceItemView, StatusLineIsWorkedOutOnScreenAndFollowsTheLanguage)
{
    struct Case {
        bool pinPresent;
        std::optional<std::uint64_t> retries;
        bool hasCredMgmt;
        QString english;
    };
    const Case cases[] = {
        {false, 8, true, "PIN is not set, support credential management"},
        {true, 0, false, "PIN is set, 0 retries left"},
        {true, std::nullopt, true, "PIN is set, support credential management"},
    };
    ViewModelHarness model;
    std::vector<std::unique_ptr<DeviceItemView>> cards;
    for (const Case& c : cases) {
        cards.push_back(std::make_unique<DeviceItemView>("328707", "4D54", "FIDO_2_0", "Tallowfin", c.pinPresent,
                                                         c.retries, c.hasCredMgmt, "Tallowfin", *model.vm));
        EXPECT_TRUE(cards.back()->findChild<QLabel*>("statusLine")->text().isEmpty()) << c.english.toStdString();
        cards.back()->show();
    }
    auto status = [&](std::size_t i) { return WindowHarness::text(cards[i]->findChild<QLabel*>("statusLine")); };
    for (std::size_t i = 0; i < std::size(cases); ++i)
        EXPECT_EQ(status(i), cases[i].english);
    model.vm->switchLanguage();
    ASSERT_EQ(model.vm->language(), Language::ES);
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        EXPECT_EQ(status(i).toStdString(),
                  deviceStatusText(c.retries, c.pinPresent, c.hasCredMgmt, "es", model.vm->stringTables()));
        EXPECT_NE(status(i), c.english);
    }
}

// A message box shows the four texts it is made with, with no Cancel button when it has no Cancel text. The window
// makes it from the model's message, and again for a newer one that comes while it is shown.
TEST(MessageBox, ShowsTheTextsItIsMadeWith)
{
    WindowHarness h;
    const auto shows = [](const QWidget* box, const char* name) {
        const auto* button = box->findChild<QAbstractButton*>(name);
        return button && button->isVisibleTo(box) ? button->text() : QStringLiteral("(none)");
    };
    for (const std::optional<QString>& cancel : {std::optional<QString>(), std::optional<QString>("No")}) {
        const MessageBox box("Title", "Message", "Yes", cancel, h.vm(), nullptr);
        EXPECT_EQ(WindowHarness::text(box.findChild<QLabel*>("messageTitle")), "Title");
        EXPECT_EQ(WindowHarness::text(box.findChild<QLabel*>("messageText")), "Message");
        EXPECT_EQ(shows(&box, "okButton"), "Yes");
        EXPECT_EQ(shows(&box, "cancelButton"), cancel.value_or("(none)"));
    }

    h.vm().presentMessageBox("First", "One", "Ok", std::nullopt, {});
    ASSERT_TRUE(pumpUntil([&] { return h.shown("messageBox"); }));
    h.vm().presentMessageBox("Second", "Two", "Fine", "Cancel", {});
    ASSERT_TRUE(pumpUntil([&] { return h.text(h.in<QLabel>("messageBox", "messageTitle")) == "Second"; }));
    QWidget* box = h.find("messageBox");
    EXPECT_EQ(h.text(h.in<QLabel>("messageBox", "messageText")), "Two");
    EXPECT_EQ(shows(box, "okButton"), "Fine");
    EXPECT_EQ(shows(box, "cancelButton"), "Cancel");
    EXPECT_TRUE(h.in("messageBox", "okButton")->hasFocus());
    h.click(h.in("messageBox", "cancelButton"));
    EXPECT_FALSE(h.shown("messageBox") || h.vm().showMessageBox() || h.vm().messageBoxInfo().result);
}

// With its test flag the drag area is solid green; otherwise it is the near-invisible 0x01010101.
TEST(DragWndView, TestFlagPaintsItGreen)
{
    for (bool test : {true, false}) {
        SCOPED_TRACE(test);
        DragWndView area({}, nullptr, test);
        EXPECT_EQ(area.test(), test);
        area.resize(40, 20);
        QImage image(area.size(), QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        area.render(&image, {}, {}, QWidget::DrawChildren);
        const QColor expected = test ? Palette::green() : Palette::fromRgba(0x01010101);
        for (QPoint at : {QPoint(0, 0), QPoint(20, 10), QPoint(39, 19)}) {
            const QRgb pixel = image.pixel(at);
            EXPECT_EQ(qAlpha(pixel), expected.alpha());
            if (test)
                EXPECT_EQ(QColor(pixel), Palette::green());
            else
                EXPECT_LE(qGreen(pixel), 1);
        }
    }
}

// Colours from packed numbers take each channel c as c / 256: never quite 1, 0x80 one half; the rgb form ignores the
// top byte and is opaque.
TEST(PaletteColours, FromPackedNumbers)
{
    struct Case {
        QColor colour;
        double red, green, blue, alpha;
    };
    const double full = 255.0 / 256;
    const Case cases[] = {
        {Palette::fromRgba(0xFFFFFFFF), full, full, full, full},
        {Palette::fromRgba(0x00000000), 0, 0, 0, 0},
        {Palette::fromRgba(0x80402001), 0.5, 0.25, 0.125, 1.0 / 256},
        {Palette::fromRgb(0x00804020), 0.5, 0.25, 0.125, 1},
        {Palette::fromRgb(0xFF804020), 0.5, 0.25, 0.125, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.colour.name(QColor::HexArgb).toStdString());
        // QColor keeps 16 bits per channel.
        EXPECT_NEAR(c.colour.redF(), c.red, 1e-4);
        EXPECT_NEAR(c.colour.greenF(), c.green, 1e-4);
        EXPECT_NEAR(c.colour.blueF(), c.blue, 1e-4);
        EXPECT_NEAR(c.colour.alphaF(), c.alpha, 1e-4);
    }
}
