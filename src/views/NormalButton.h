#pragma once

#include <QAbstractButton>

#include <functional>

// The standard text button: a grey bar of fixed width and 28 px height with white 20 px text and a soft
// shadow beneath. The caption arrives translated. Space or Return on a focused button clicks it.
class NormalButton : public QAbstractButton {
    Q_OBJECT

public:
    NormalButton(const QString& text, int width, std::function<void()> action, QWidget* parent = nullptr);

    static constexpr int barHeight = 28;

protected:
    void paintEvent(QPaintEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;

private:
    bool keyboardFocus_ = false;
};
