#include "views/MainWindow.h"

#include "viewmodel/DeviceViewModel.h"
#include "views/ContentView.h"

#include <QCloseEvent>
#include <QTimer>

WindowHooks WindowHooks::desktop()
{
    WindowHooks hooks;
    hooks.minimize = [](QWidget* window) { window->showMinimized(); };
    hooks.exit = [](QWidget* window) { window->close(); };
    hooks.startMove = &DragWndView::startSystemMove;
    return hooks;
}

MainWindow::MainWindow(DeviceViewModel& dv, WindowHooks hooks, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::FramelessWindowHint), dv_(dv)
{
    setObjectName("mainWindow");
    setWindowTitle(QStringLiteral("Marrowtillance"));
    setFixedSize(1024, 530);
    content_ = new ContentView(dv, hooks, this);
}

void MainWindow::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    if (started_)
        return;
    started_ = true;
    // The keyboard starts on the device list, where arrow keys choose a key.
    if (auto* list = findChild<QWidget*>(QStringLiteral("deviceList")))
        list->setFocus(Qt::ActiveWindowFocusReason);
    // Keys already plugged in are reported once the window is on screen.
    QTimer::singleShot(0, this, [this] { dv_.startUsbThread(); });
}

void MainWindow::closeEvent(QCloseEvent* event)
{
    // A pending touch wait is cancelled and every worker joined, so the process ends promptly.
    dv_.shutdown();
    event->accept();
}

void MainWindow::changeEvent(QEvent* event)
{
    // The desktop switched between light and dark: everything is painted again in the new colours.
    if (event->type() == QEvent::ApplicationPaletteChange || event->type() == QEvent::PaletteChange)
        content_->update();
    QWidget::changeEvent(event);
}
