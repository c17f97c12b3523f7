#pragma once

#include <QPointer>
#include <QWidget>

#include <vector>

// A layer over the whole window that takes every mouse press, wheel turn and key beneath it, with a
// rounded panel in the middle that holds the dialog's content. It is shown and hidden by its owner.
class Overlay : public QWidget {
    Q_OBJECT

public:
    Overlay(QSize panelSize, bool dimBehind, QWidget* parent);

    // The panel's content area; subclasses lay their widgets out on it.
    QWidget* panel() const { return panel_; }
    // Where keyboard focus goes when the overlay shows or focus tries to leave it.
    virtual QWidget* firstFocus() const = 0;

    // Widgets of the window beneath that stay usable while the overlay is up: the layer has a hole over each.
    void letThrough(std::vector<QWidget*> widgets);
    // Whether widget lies in the overlay or is one it lets through.
    bool keeps(const QWidget* widget) const;
    // The widgets keyboard focus cycles through while the overlay is up, in Tab order.
    std::vector<QWidget*> focusRing() const;

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void cutHoles();

    const QSize panelSize_;
    const bool dimBehind_;
    QWidget* panel_;
    std::vector<QPointer<QWidget>> through_;
};
