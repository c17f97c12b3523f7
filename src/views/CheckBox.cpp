#include "views/CheckBox.h"

#include "views/Palette.h"

#include <QPainter>
#include <QPainterPath>

namespace {
constexpr int box = 24;
constexpr int gap = 8;
} // namespace

CheckBox::CheckBox(const QFont& labelFont, QWidget* parent) : QAbstractButton(parent)
{
    setFont(labelFont);
    setFocusPolicy(Qt::StrongFocus);
    setCursor(Qt::PointingHandCursor);
    connect(this, &QAbstractButton::clicked, this, [this] { emit flipRequested(!on_); });
}

void CheckBox::setValue(bool on)
{
    if (on_ == on)
        return;
    on_ = on;
    update();
}

QSize CheckBox::sizeHint() const
{
    const int textWidth = text().isEmpty() ? 0 : gap + fontMetrics().horizontalAdvance(text());
    return {box + textWidth + 2, std::max(box, fontMetrics().height()) + 2};
}

void CheckBox::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF square(1, (height() - box) / 2.0, box, box);
    QPainterPath outline;
    outline.addRoundedRect(square.adjusted(1.5, 1.5, -1.5, -1.5), 4, 4);
    if (on_) {
        painter.fillPath(outline, QColor(0x0A, 0x84, 0xFF));
        QPen tick(Qt::white, 2.6, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
        painter.setPen(tick);
        const QPointF o = square.topLeft();
        painter.drawPolyline(QPolygonF{o + QPointF(6.5, 12.5), o + QPointF(10.5, 16.5), o + QPointF(17.5, 8)});
    } else {
        painter.setPen(QPen(Palette::gray(), 2));
        painter.drawPath(outline);
    }
    if (hasFocus()) {
        painter.setPen(QPen(QColor(0x0A, 0x84, 0xFF, 140), 2));
        painter.setBrush(Qt::NoBrush);
        painter.drawRoundedRect(square.adjusted(-0.5, -0.5, 0.5, 0.5), 6, 6);
    }
    painter.setPen(Palette::textColor());
    painter.setFont(font());
    const QRectF label(box + gap + 1, 0, width() - box - gap - 1, height());
    painter.drawText(label, Qt::AlignLeft | Qt::AlignVCenter,
                     fontMetrics().elidedText(text(), Qt::ElideRight, static_cast<int>(label.width())));
}
