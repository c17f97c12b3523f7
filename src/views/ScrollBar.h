#pragma once

#include <QScrollBar>

// The lists' scroll bar: a rounded handle that stands out from its track in both schemes, and small arrows at the
// ends, in the palette's colours. Where the handle lies and what a press does are the style's, as for any scroll
// bar, so painting and hit-testing agree. The list shows it only while its rows do not fit.
class ScrollBar : public QScrollBar {
    Q_OBJECT

public:
    explicit ScrollBar(Qt::Orientation orientation, QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;
};
