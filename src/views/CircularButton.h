#pragma once

#include <QAbstractButton>

#include <functional>
#include <optional>

// The top bar's round button: a white-ringed midnight-blue disc holding an icon or a short text, with a
// small white caption under it, 68 px wide.
class CircularButton : public QAbstractButton {
    Q_OBJECT

public:
    CircularButton(std::optional<QString> imageName, std::optional<QString> name, const QString& text,
                   std::function<void()> action, QWidget* parent = nullptr);

    // The short text in the disc (the language button's).
    void setName(const QString& name);
    const std::optional<QString>& name() const { return name_; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    // Only the blue disc is the button: a press on its white ring or on the caption under it does nothing.
    bool hitButton(const QPoint& pos) const override;

private:
    bool keyboardFocus_ = false;
    std::optional<QString> imageName_;
    std::optional<QString> name_;
};
