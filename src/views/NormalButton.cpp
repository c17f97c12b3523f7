#include "views/NormalButton.h"

#include "views/Palette.h"
#include "views/TextFit.h"

#include <QKeyEvent>
#include <QFocusEvent>
#include <QPainter>

namespace {
// Room under the bar for its shadow.
constexpr int shadowRoom = 4;
} // namespace

NormalButton::NormalButton(const QString& text, int width, std::function<void()> action, QWidget* parent)
    : QAbstractButton(parent)
{
    setText(text);
    setFixedSize(width, barHeight + shadowRoom);
    setFont(Palette::font(20));
    setFocusPolicy(Qt::StrongFocus);
    setCursor(Qt::PointingHandCursor);
    connect(this, &QAbstractButton::clicked, this, [action = std::move(action)] {
        if (action)
            action();
    });
}

void NormalButton::focusInEvent(QFocusEvent* event)
{
    // The focus ring is for keyboard users: a click or a window change does not show it. Focus given back
    // after a dialog keeps the ring it had.
    if (event->reason() != Qt::PopupFocusReason)
        keyboardFocus_ = event->reason() == Qt::TabFocusReason || event->reason() == Qt::BacktabFocusReason ||
                         event->reason() == Qt::OtherFocusReason;
    QAbstractButton::focusInEvent(event);
}

void NormalButton::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF bar(0, 0, width(), barHeight);
    // A soft shadow: a few translucent layers below the bar.
    for (int i = 1; i <= 3; ++i)
        painter.fillRect(bar.adjusted(1, i, -1, i), QColor(0, 0, 0, 30 - 6 * i));
    QColor fill = Palette::gray();
    if (isDown())
        fill = fill.darker(120);
    painter.fillRect(bar, fill);
    QColor textColour(Qt::white);
    if (!isEnabled())
        textColour.setAlpha(110);
    painter.setPen(textColour);
    // A long translation is set smaller before it is cut.
    painter.setFont(fittingFont(font(), text(), width() - 8, 13));
    const QString caption = painter.fontMetrics().elidedText(text(), Qt::ElideRight, width() - 8);
    painter.drawText(bar, Qt::AlignCenter, caption);
    if (hasFocus() && keyboardFocus_) {
        QPen ring(Palette::midnightBlue().lighter(180), 2);
        painter.setPen(ring);
        painter.setBrush(Qt::NoBrush);
        painter.drawRect(bar.adjusted(1, 1, -1, -1));
    }
}

void NormalButton::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        if (!event->isAutoRepeat())
            click();
        return;
    }
    QAbstractButton::keyPressEvent(event);
}
