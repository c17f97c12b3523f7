#include "views/TopBarView.h"

#include "viewmodel/DeviceViewModel.h"
#include "views/CircularButton.h"
#include "views/Palette.h"
#include "views/TextFit.h"

#include <QLabel>
#include <QPainter>

namespace {

constexpr int rowCentre = 32; // the row sits 8 px above the bar's middle
constexpr QRect logoBox(20, rowCentre - 30, 100, 60);
constexpr int titleX = 128;
constexpr int titleWidth = 430;
constexpr int buttonsX = 566;
constexpr int buttonStep = 68 + 8;
} // namespace

TopBarView::TopBarView(DeviceViewModel& dv, const WindowHooks& hooks, QWidget* parent) : QWidget(parent), dv_(dv)
{
    setObjectName("topBar");
    setFixedSize(1024, barHeight);
    // The bar's background, the logo painted on it and the title move the window; the buttons do not.
    windowDragOverlay(this, hooks.startMove);

    title_ = new QLabel(this);
    title_->setObjectName("topBarTitle");
    title_->setAttribute(Qt::WA_TransparentForMouseEvents);
    title_->setGeometry(titleX, 0, titleWidth, 2 * rowCentre);
    title_->setFont(Palette::font(25));
    QPalette white = title_->palette();
    white.setColor(QPalette::WindowText, Qt::white);
    title_->setPalette(white);

    otp_ = new CircularButton(QStringLiteral("otp"), std::nullopt, {}, [&dv] { dv.openOtpApp(); }, this);
    settings_ = new CircularButton(QStringLiteral("settings"), std::nullopt, {}, [&dv] { dv.showSettings(); }, this);
    language_ = new CircularButton(std::nullopt, QString(), {}, [&dv] { dv.switchLanguage(); }, this);
    help_ = new CircularButton(QStringLiteral("help"), std::nullopt, {}, [&dv] { dv.openUserManual(); }, this);
    minimize_ = new CircularButton(QStringLiteral("minimize"), std::nullopt, {},
                                   [this, hooks] { hooks.minimize(window()); }, this);
    exit_ = new CircularButton(QStringLiteral("close"), std::nullopt, {}, [this, hooks] { hooks.exit(window()); },
                               this);
    const char* names[] = {"otpButton", "settingsButton", "languageButton", "helpButton", "minimizeButton",
                           "exitButton"};
    CircularButton* buttons[] = {otp_, settings_, language_, help_, minimize_, exit_};
    for (int i = 0; i < 6; ++i) {
        buttons[i]->setObjectName(names[i]);
        buttons[i]->move(buttonsX + i * buttonStep, rowCentre - 15);
    }

    refreshTexts();
    connect(&dv, &DeviceViewModel::uiStrChanged, this, &TopBarView::refreshTexts);
    connect(&dv, &DeviceViewModel::languageChanged, this, &TopBarView::refreshTexts);
    // The settings page must not open while the key is at work.
    connect(&dv, &DeviceViewModel::busyChanged, this, [this] { settings_->setEnabled(!dv_.busy()); });
}

std::vector<QWidget*> TopBarView::windowButtons() const
{
    return std::vector<QWidget*>{minimize_, exit_};
}

void TopBarView::refreshTexts()
{
    const UIStringVal& texts = dv_.uiStr();
    otp_->setText(qs(texts.topBarOTP));
    settings_->setText(qs(texts.topBarSettings));
    language_->setText(qs(texts.topBarLanguage));
    language_->setName(QString::fromLatin1(caseName(dv_.language()).data(),
                                           static_cast<qsizetype>(caseName(dv_.language()).size())));
    help_->setText(qs(texts.topBarHelp));
    minimize_->setText(qs(texts.topBarMinimize));
    exit_->setText(qs(texts.topBarExit));
    title_->setText(title_->fontMetrics().elidedText(qs(texts.topBarTitle), Qt::ElideRight, titleWidth));
}

void TopBarView::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.fillRect(rect(), Palette::midnightBlue());
    Palette::drawImage(painter, QStringLiteral("logo"), logoBox);
}
