#include "views/MessageBox.h"

#include "viewmodel/DeviceViewModel.h"
#include "views/NormalButton.h"
#include "views/Palette.h"
#include "views/TextFit.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QVBoxLayout>

namespace {
constexpr int panelWidth = 300;
constexpr int textWidth = panelWidth - 24;


// The rule under the title.
class Rule : public QWidget {
public:
    explicit Rule(QWidget* parent) : QWidget(parent) { setFixedSize(panelWidth, 1); }

protected:
    void paintEvent(QPaintEvent*) override { QPainter(this).fillRect(rect(), Palette::gray()); }
};
} // namespace

MessageBox::MessageBox(const QString& title, const QString& message, const QString& ok,
                       const std::optional<QString>& cancel, DeviceViewModel& dv, QWidget* parent)
    : Overlay(QSize(panelWidth, 200), true, parent), dv_(dv)
{
    setObjectName("messageBox");
    auto* column = new QVBoxLayout(panel());
    column->setContentsMargins(0, 5, 0, 10);
    column->setSpacing(0);
    title_ = new QLabel(panel());
    title_->setObjectName("messageTitle");
    title_->setFont(Palette::titleFont());
    title_->setAlignment(Qt::AlignCenter);
    title_->setTextFormat(Qt::PlainText);
    message_ = new QLabel(panel());
    message_->setObjectName("messageText");
    message_->setFont(Palette::headlineFont());
    message_->setAlignment(Qt::AlignCenter);
    message_->setTextFormat(Qt::PlainText);
    ok_ = new NormalButton(ok, 100, [this] { okAction(); }, panel());
    ok_->setObjectName("okButton");
    cancel_ = new NormalButton(cancel.value_or(QString()), 100, [this] { cancelAction(); }, panel());
    cancel_->setVisible(cancel.has_value());
    cancel_->setObjectName("cancelButton");
    auto* buttons = new QHBoxLayout;
    buttons->setSpacing(8);
    buttons->addStretch();
    buttons->addWidget(ok_);
    buttons->addWidget(cancel_);
    buttons->addStretch();

    column->addWidget(title_);
    column->addSpacing(5);
    column->addWidget(new Rule(panel()));
    column->addSpacing(20);
    column->addWidget(message_);
    column->addSpacing(20);
    column->addLayout(buttons);
    column->addStretch();

    title_->setText(fitText(title, title_->font(), textWidth, 1));
    // What room is left under the title holds three lines of the message.
    message_->setText(fitText(message, message_->font(), textWidth, 3));
}

QWidget* MessageBox::firstFocus() const { return ok_; }

void MessageBox::okAction() { dv_.closeMessageBox(true); }

void MessageBox::cancelAction() { dv_.closeMessageBox(false); }
