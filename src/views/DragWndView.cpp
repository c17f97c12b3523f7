#include "views/DragWndView.h"

#include "views/Palette.h"

#include <QEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QWindow>

DragWndView::DragWndView(MoveStarter startMove, QWidget* parent, bool test)
    : QWidget(parent), startMove_(std::move(startMove)), test_(test)
{
    if (!startMove_)
        startMove_ = &DragWndView::startSystemMove;
}

bool DragWndView::startSystemMove(QWidget* window)
{
    QWindow* handle = window ? window->windowHandle() : nullptr;
    return handle && handle->startSystemMove();
}

void DragWndView::paintEvent(QPaintEvent*)
{
    // Nearly black and nearly transparent: invisible, yet not an empty area a window system might pass through.
    QPainter(this).fillRect(rect(), test_ ? Palette::green() : Palette::fromRgba(0x01010101));
}

void DragWndView::mousePressEvent(QMouseEvent* event)
{
    event->accept();
    if (event->button() != Qt::LeftButton)
        return;
    QWidget* top = window();
    manualMove_ = !startMove_(top);
    if (manualMove_)
        pressOffset_ = event->globalPosition().toPoint() - top->frameGeometry().topLeft();
}

void DragWndView::mouseMoveEvent(QMouseEvent* event)
{
    event->accept();
    if (manualMove_ && (event->buttons() & Qt::LeftButton))
        window()->move(event->globalPosition().toPoint() - pressOffset_);
}

void DragWndView::mouseReleaseEvent(QMouseEvent* event)
{
    event->accept();
    manualMove_ = false;
}

bool DragWndView::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == parentWidget() && event->type() == QEvent::Resize)
        setGeometry(parentWidget()->rect());
    return QWidget::eventFilter(watched, event);
}

DragWndView* windowDragOverlay(QWidget* view, DragWndView::MoveStarter startMove, bool test)
{
    auto* area = new DragWndView(std::move(startMove), view, test);
    area->setObjectName(view->objectName() + QStringLiteral("DragWndView"));
    area->setGeometry(view->rect());
    area->lower();
    view->installEventFilter(area);
    return area;
}
