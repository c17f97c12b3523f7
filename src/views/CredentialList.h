#pragma once

#include "views/RpItemView.h"

#include <QAbstractScrollArea>

#include <cstddef>
#include <vector>

class DeviceViewModel;
struct RpItem;

// The rows of the credential page, one per entry of the view model's rpList, drawn rather than built from
// widgets: a key may hold a thousand credentials, and a row costs only its layout, made once when it arrives,
// while painting touches the rows in sight. It follows the model's row signals, adding and dropping rows where
// they changed. A click on a row's check box or its label, or Space on the focused row, asks the model for the
// other tick; Up and Down, and Tab within the list, move the focus from row to row.
class CredentialList : public QAbstractScrollArea {
    Q_OBJECT

public:
    explicit CredentialList(DeviceViewModel& dv, QWidget* parent = nullptr);

    int rowCount() const { return static_cast<int>(rows_.size()); }
    // The row with the keyboard focus, or -1 while the list itself has it.
    int focusedRow() const { return focused_; }
    // Scrolls the row into sight and gives where its check box lies in the viewport.
    QRect checkBoxRect(int row);

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    bool focusNextPrevChild(bool next) override;

private:
    // Lays every row out again: for a new width, or the labels of another language.
    void relayout();
    // The row of the list element at index, laid out for the list's width.
    RpItemView makeRow(const RpItem& item, std::size_t index) const;
    void rowsInserted(std::size_t first, std::size_t count);
    void rowsRemoved(std::size_t first, std::size_t count);
    void updateRow(int row);
    // Row positions from row `from` on, and the scroll range they make.
    void placeRows(std::size_t from);
    int rowAt(int contentY) const;
    int checkBoxAt(QPoint viewportPos) const;
    void setFocusedRow(int row);
    void ensureVisible(int row);
    void flip(int row);
    int scrollY() const;

    DeviceViewModel& dv_;
    std::vector<RpItemView> rows_;
    std::vector<int> tops_{0}; // each row's top in the content; the last entry is the height of all rows
    int layoutWidth_ = 0;
    int focused_ = -1;
    int pressed_ = -1;
};
