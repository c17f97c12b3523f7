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

void Overlay::letThrough(std::vector<QWidget*> widgets)
{
    through_.assign(widgets.begin(), widgets.end());
    cutHoles();
}

bool Overlay::keeps(const QWidget* widget) const
{
    if (!widget)
        return false;
    for (const QPointer<QWidget>& through : through_)
        if (through && (through == widget || through->isAncestorOf(widget)))
            return true;
    return isAncestorOf(widget);
}

std::vector<QWidget*> Overlay::focusRing() const
{
    std::vector<QWidget*> ring;
    for (QWidget* child : panel_->findChildren<QWidget*>())
        if ((child->focusPolicy() & Qt::TabFocus) && child->isVisibleTo(panel_) && child->isEnabled())
            ring.push_back(child);
    for (const QPointer<QWidget>& through : through_)
        if (through && through->isEnabled())
            ring.push_back(through);
    return ring;
}

void Overlay::cutHoles()
{
    // Mouse events go to whatever lies under a hole in the mask, and the layer paints nothing there.
    QRegion region(rect());
    for (const QPointer<QWidget>& through : through_)
        if (through)
            region -= QRect(through->mapTo(window(), QPoint(0, 0)) - mapTo(window(), QPoint(0, 0)), through->size());
    if (through_.empty())
        clearMask();
    else
        setMask(region);
}

void Overlay::resizeEvent(QResizeEvent*)
{
    QRect box(QPoint(0, 0), panelSize_);
    box.moveCenter(rect().center());
    panel_->setGeometry(box);
    cutHoles();
}

void Overlay::showEvent(QShowEvent* event)
{
    // The widgets let through are laid out by now.
    cutHoles();
    QWidget::showEvent(event);
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
