#include "views/CircularButton.h"

#include "views/Palette.h"
#include "views/TextFit.h"

#include <QFocusEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>

namespace {
constexpr int columnWidth = 68;
constexpr int ring = 30;
constexpr int disc = 28;
constexpr int glyph = 20;
constexpr int captionGap = 6;
constexpr int captionHeight = 14;
} // namespace

CircularButton::CircularButton(std::optional<QString> imageName, std::optional<QString> name, const QString& text,
                               std::function<void()> action, QWidget* parent)
    : QAbstractButton(parent), imageName_(std::move(imageName)), name_(std::move(name))
{
    setText(text);
    setFixedSize(columnWidth, ring + captionGap + captionHeight);
    setFocusPolicy(Qt::TabFocus);
    // The pointing hand shows over the disc alone, where a press runs the action.
    setMouseTracking(true);
    connect(this, &QAbstractButton::clicked, this, [action = std::move(action)] {
        if (action)
            action();
    });
}

void CircularButton::setName(const QString& name)
{
    name_ = name;
    update();
}

void CircularButton::focusInEvent(QFocusEvent* event)
{
    if (event->reason() != Qt::PopupFocusReason)
        keyboardFocus_ = event->reason() == Qt::TabFocusReason || event->reason() == Qt::BacktabFocusReason;
    QAbstractButton::focusInEvent(event);
}

bool CircularButton::hitButton(const QPoint& pos) const
{
    const QPointF fromCentre = QPointF(pos) + QPointF(0.5, 0.5) - QPointF(width() / 2.0, ring / 2.0);
    return QPointF::dotProduct(fromCentre, fromCentre) <= disc * disc / 4.0;
}

void CircularButton::mouseMoveEvent(QMouseEvent* event)
{
    if (hitButton(event->position().toPoint()))
        setCursor(Qt::PointingHandCursor);
    else
        unsetCursor();
    QAbstractButton::mouseMoveEvent(event);
}

void CircularButton::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QPointF centre(width() / 2.0, ring / 2.0);
    painter.setPen(Qt::NoPen);
    painter.setBrush(Qt::white);
    painter.drawEllipse(centre, ring / 2.0, ring / 2.0);
    QColor blue = Palette::midnightBlue();
    if (isDown())
        blue = blue.lighter(140);
    painter.setBrush(blue);
    painter.drawEllipse(centre, disc / 2.0, disc / 2.0);
    if (!isEnabled())
        painter.setOpacity(0.45);

    if (imageName_) {
        QPainterPath clip;
        clip.addEllipse(centre, disc / 2.0, disc / 2.0);
        painter.save();
        painter.setClipPath(clip);
        Palette::drawImage(painter, *imageName_, QRectF(centre.x() - glyph / 2.0, centre.y() - glyph / 2.0, glyph, glyph));
        painter.restore();
    }
    if (name_) {
        painter.setPen(Qt::white);
        painter.setFont(Palette::font(16));
        painter.drawText(QRectF(centre.x() - disc / 2.0, 0, disc, ring), Qt::AlignCenter, *name_);
    }
    painter.setPen(Qt::white);
    painter.setFont(fittingFont(Palette::font(10), text(), width(), 8));
    const QRectF caption(0, ring + captionGap, width(), captionHeight);
    painter.drawText(caption, Qt::AlignHCenter | Qt::AlignTop,
                     painter.fontMetrics().elidedText(text(), Qt::ElideRight, width()));
    if (hasFocus() && keyboardFocus_) {
        painter.setOpacity(1.0);
        painter.setBrush(Qt::NoBrush);
        painter.setPen(QPen(QColor(0x9E, 0xC5, 0xFF), 2));
        painter.drawEllipse(centre, ring / 2.0 + 1, ring / 2.0 + 1);
    }
}
