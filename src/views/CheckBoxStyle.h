#pragma once

#include <QAbstractButton>

class QFontMetrics;
class QPainter;

// The one look of every on/off switch: a 24 px square, ticked and blue when on, empty and grey when off,
// before its label. A click on the square or the label, or Space while it has focus, asks for the other
// value; the owner writes it to the model, and the box shows whatever value it is given.
class CheckBoxStyle : public QAbstractButton {
    Q_OBJECT

public:
    CheckBoxStyle(const QFont& labelFont, QWidget* parent = nullptr);

    void setValue(bool on);
    bool value() const { return on_; }
    QSize sizeHint() const override;

    // The look itself, also for lists that draw their rows instead of holding a widget per row: the size a box
    // with this label takes in the painter's font, and the body drawn into a rectangle of that size, the square
    // (ticked and blue when isOn, empty and grey otherwise) with the label after it in the painter's font.
    static QSize sizeFor(const QFontMetrics& metrics, const QString& label);
    static void makeBody(QPainter& painter, const QRect& rect, const QString& label, bool isOn, bool focused);

signals:
    void flipRequested(bool wanted);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    bool on_ = false;
};
