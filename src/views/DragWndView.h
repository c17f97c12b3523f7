#pragma once

#include <QPoint>
#include <QWidget>

#include <functional>

// An invisible area that moves the window: a press on it starts the window system's interactive move, or,
// where the window system refuses, the window follows the pointer until the button is released. The press
// goes to nothing beneath the area.
class DragWndView : public QWidget {
    Q_OBJECT

public:
    // Starts an interactive move of the window; false when the window system cannot.
    using MoveStarter = std::function<bool(QWidget* window)>;

    // With test, the area is painted solid green, to show where it lies; the program leaves it invisible.
    explicit DragWndView(MoveStarter startMove, QWidget* parent = nullptr, bool test = false);

    bool test() const { return test_; }

    // The window system's own move.
    static bool startSystemMove(QWidget* window);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    friend DragWndView* windowDragOverlay(QWidget* view, MoveStarter startMove, bool test);

    MoveStarter startMove_;
    const bool test_;
    bool manualMove_ = false;
    QPoint pressOffset_;
};

// Lays a drag area over view, as large as view whatever size it takes: a press anywhere on view's own painting
// moves the window. The area lies under view's child widgets, so they keep their presses; a child that lets
// presses through (a caption) drags as well.
DragWndView* windowDragOverlay(QWidget* view, DragWndView::MoveStarter startMove, bool test = false);
