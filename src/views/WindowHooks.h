#pragma once

#include "views/DragWndView.h"

#include <functional>

class QWidget;

// What the window asks of the window system; tests put their own in.
struct WindowHooks {
    std::function<void(QWidget* window)> minimize; // minimise the application's window
    std::function<void(QWidget* window)> exit;     // close the window, which ends the application
    DragWndView::MoveStarter startMove;               // start an interactive move

    static WindowHooks desktop();
};
