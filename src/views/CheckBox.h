#pragma once

#include <QAbstractButton>

// The one look of every on/off switch: a 24 px square, ticked and blue when on, empty and grey when off,
// before its label. A click on the square or the label, or Space while it has focus, asks for the other
// value; the owner writes it to the model, and the box shows whatever value it is given.
class CheckBox : public QAbstractButton {
    Q_OBJECT

public:
    CheckBox(const QFont& labelFont, QWidget* parent = nullptr);

    void setValue(bool on);
    bool value() const { return on_; }
    QSize sizeHint() const override;

signals:
    void flipRequested(bool wanted);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    bool on_ = false;
};
