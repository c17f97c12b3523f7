#include "views/PromptPanel.h"

#include "views/NormalButton.h"
#include "views/Palette.h"
#include "views/TextFit.h"

#include <QLabel>
#include <QVBoxLayout>

namespace {
constexpr int textWidth = 460;
}

PromptPanel::PromptPanel(std::function<void()> cancel, QWidget* parent) : Overlay(QSize(500, 250), false, parent)
{
    auto* column = new QVBoxLayout(panel());
    column->setContentsMargins(20, 0, 20, 0);
    column->setSpacing(20);
    text_ = new QLabel(panel());
    text_->setObjectName("promptText");
    text_->setFont(Palette::headlineFont());
    text_->setAlignment(Qt::AlignCenter);
    text_->setTextFormat(Qt::PlainText);
    cancel_ = new NormalButton({}, 100, std::move(cancel), panel());
    cancel_->setObjectName("cancelButton");
    column->addStretch();
    column->addWidget(text_);
    column->addWidget(cancel_, 0, Qt::AlignHCenter);
    column->addStretch();
}

QWidget* PromptPanel::firstFocus() const { return cancel_; }

void PromptPanel::setTexts(const QString& text, const QString& cancel)
{
    text_->setText(fitText(text, text_->font(), textWidth, 6));
    text_->setVisible(!text.isEmpty());
    cancel_->setText(cancel);
}

QString PromptPanel::text() const { return text_->text(); }
