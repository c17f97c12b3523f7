#include "views/ScrollBar.h"

#include "views/Palette.h"

#include <QPainter>
#include <QPainterPath>
#include <QStyle>
#include <QStyleOptionSlider>

#include <algorithm>
#include <utility>

ScrollBar::ScrollBar(Qt::Orientation orientation, QWidget* parent) : QScrollBar(orientation, parent) {}

void ScrollBar::paintEvent(QPaintEvent*)
{
    QStyleOptionSlider option;
    initStyleOption(&option);
    const auto part = [&](QStyle::SubControl control) {
        return QRectF(style()->subControlRect(QStyle::CC_ScrollBar, &option, control, this));
    };
    const bool vertical = orientation() == Qt::Vertical;
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.fillRect(rect(), Palette::scrollTrackColor());

    QColor handle = Palette::scrollHandleColor();
    if (!isEnabled())
        handle.setAlpha(90);
    else if (isSliderDown())
        handle = Palette::isDark() ? handle.lighter(125) : handle.darker(125);
    painter.setPen(Qt::NoPen);
    painter.setBrush(handle);

    // Inset across the bar so the track shows around the handle.
    const qreal inset = 3;
    const QRectF slider =
        part(QStyle::SC_ScrollBarSlider)
            .adjusted(vertical ? inset : 1, vertical ? 1 : inset, vertical ? -inset : -1, vertical ? -1 : -inset);
    if (!slider.isEmpty() && maximum() > minimum()) {
        const qreal radius = (vertical ? slider.width() : slider.height()) / 2;
        painter.drawRoundedRect(slider, radius, radius);
    }

    // An arrow pointing out of the bar at each end.
    for (const auto& [control, sign] :
         {std::pair{QStyle::SC_ScrollBarSubLine, -1.0}, std::pair{QStyle::SC_ScrollBarAddLine, 1.0}}) {
        const QRectF box = part(control);
        if (box.isEmpty())
            continue;
        const QPointF c = box.center();
        const qreal half = std::min(box.width(), box.height()) / 4;
        QPainterPath arrow;
        if (vertical) {
            arrow.moveTo(c.x() - half, c.y() - sign * half / 2);
            arrow.lineTo(c.x() + half, c.y() - sign * half / 2);
            arrow.lineTo(c.x(), c.y() + sign * half / 2);
        } else {
            arrow.moveTo(c.x() - sign * half / 2, c.y() - half);
            arrow.lineTo(c.x() - sign * half / 2, c.y() + half);
            arrow.lineTo(c.x() + sign * half / 2, c.y());
        }
        arrow.closeSubpath();
        painter.drawPath(arrow);
    }
}
