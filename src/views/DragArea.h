#pragma once

#include <QPoint>
#include <QWidget>

#include <functional>

// An invisible area that moves the window: a press on it starts the window system's interactive move, or,
// where the window system refuses, the window follows the pointer until the button is released. The press
// goes to nothing beneath the area.
class DragArea : public QWidget {
    Q_OBJECT

public:
    // Starts an interactive move of the window; false when the window system cannot.
    using MoveStarter = std::function<bool(QWidget* window)>;

    explicit DragArea(MoveStarter startMove, QWidget* parent = nullptr);

    // The window system's own move.
    static bool startSystemMove(QWidget* window);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    MoveStarter startMove_;
    bool manualMove_ = false;
    QPoint pressOffset_;
};
