#include "views/Overlay.h"

#include "views/Palette.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>

Overlay::Overlay(QSize panelSize, bool dimBehind, QWidget* parent)
    : QWidget(parent), panelSize_(panelSize), dimBehind_(dimBehind)
{
    panel_ = new QWidget(this);
    panel_->setObjectName("panel");
    setFocusPolicy(Qt::NoFocus);
    hide();
}

void Overlay::resizeEvent(QResizeEvent*)
{
    QRect box(QPoint(0, 0), panelSize_);
    box.moveCenter(rect().center());
    panel_->setGeometry(box);
}

void Overlay::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    if (dimBehind_)
        painter.fillRect(rect(), QColor(0, 0, 0, 40));
    const QRectF box = panel_->geometry();
    // A faint shadow lifts the panel off the page beneath.
    for (int i = 1; i <= 4; ++i) {
        QPainterPath shadow;
        shadow.addRoundedRect(box.adjusted(-i, -i + 2, i, i + 2), 10 + i, 10 + i);
        painter.fillPath(shadow, QColor(0, 0, 0, 14));
    }
    QPainterPath path;
    path.addRoundedRect(box, 10, 10);
    painter.fillPath(path, Palette::panelColor());
}

void Overlay::mousePressEvent(QMouseEvent* event) { event->accept(); }
void Overlay::mouseReleaseEvent(QMouseEvent* event) { event->accept(); }
void Overlay::mouseDoubleClickEvent(QMouseEvent* event) { event->accept(); }
void Overlay::wheelEvent(QWheelEvent* event) { event->accept(); }
void Overlay::keyPressEvent(QKeyEvent* event) { event->accept(); }
