#include "views/CheckBoxStyle.h"

#include "views/Palette.h"

#include <QPainter>
#include <QPainterPath>

namespace {
constexpr int box = 24;
constexpr int gap = 8;
} // namespace

CheckBoxStyle::CheckBoxStyle(const QFont& labelFont, QWidget* parent) : QAbstractButton(parent)
{
    setFont(labelFont);
    setFocusPolicy(Qt::StrongFocus);
    setCursor(Qt::PointingHandCursor);
    connect(this, &QAbstractButton::clicked, this, [this] { emit flipRequested(!on_); });
}

void CheckBoxStyle::setValue(bool on)
{
    if (on_ == on)
        return;
    on_ = on;
    update();
}

QSize CheckBoxStyle::sizeHint() const
{
    return sizeFor(fontMetrics(), text());
}

QSize CheckBoxStyle::sizeFor(const QFontMetrics& metrics, const QString& label)
{
    const int textWidth = label.isEmpty() ? 0 : gap + metrics.horizontalAdvance(label);
    return {box + textWidth + 2, std::max(box, metrics.height()) + 2};
}

void CheckBoxStyle::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setFont(font());
    makeBody(painter, rect(), text(), on_, hasFocus());
}

void CheckBoxStyle::makeBody(QPainter& painter, const QRect& rect, const QString& label, bool isOn, bool focused)
{
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF square(rect.x() + 1, rect.y() + (rect.height() - box) / 2.0, box, box);
    QPainterPath outline;
    outline.addRoundedRect(square.adjusted(1.5, 1.5, -1.5, -1.5), 4, 4);
    if (isOn) {
        painter.fillPath(outline, Palette::blue());
        QPen tick(Qt::white, 2.6, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
        painter.setPen(tick);
        const QPointF o = square.topLeft();
        painter.drawPolyline(QPolygonF{o + QPointF(6.5, 12.5), o + QPointF(10.5, 16.5), o + QPointF(17.5, 8)});
    } else {
        painter.setPen(QPen(Palette::gray(), 2));
        painter.drawPath(outline);
    }
    if (focused) {
        QColor ring = Palette::blue();
        ring.setAlpha(140);
        painter.setPen(QPen(ring, 2));
        painter.setBrush(Qt::NoBrush);
        painter.drawRoundedRect(square.adjusted(-0.5, -0.5, 0.5, 0.5), 6, 6);
    }
    painter.setPen(Palette::textColor());
    const QRectF text(rect.x() + box + gap + 1, rect.y(), rect.width() - box - gap - 1, rect.height());
    painter.drawText(text, Qt::AlignLeft | Qt::AlignVCenter,
                     painter.fontMetrics().elidedText(label, Qt::ElideRight, static_cast<int>(text.width())));
    painter.restore();
}
