#include "views/CredentialList.h"

#include "viewmodel/DeviceViewModel.h"
#include "views/ScrollBar.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>

#include <algorithm>

CredentialList::CredentialList(DeviceViewModel& dv, QWidget* parent) : QAbstractScrollArea(parent), dv_(dv)
{
    setObjectName("credentialList");
    setFrameShape(QFrame::NoFrame);
    setFocusPolicy(Qt::StrongFocus);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    // Only rows that do not fit need a bar; the rows are laid out again for the width it leaves them.
    setVerticalScrollBar(new ScrollBar(Qt::Vertical, this));
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    verticalScrollBar()->setSingleStep(20);
    // The window's background shows under the rows.
    viewport()->setAutoFillBackground(false);

    connect(&dv, &DeviceViewModel::rpListReset, this, &CredentialList::relayout);
    connect(&dv, &DeviceViewModel::uiStrChanged, this, &CredentialList::relayout);
    connect(&dv, &DeviceViewModel::rpItemsInserted, this, &CredentialList::rowsInserted);
    connect(&dv, &DeviceViewModel::rpItemsRemoved, this, &CredentialList::rowsRemoved);
    connect(&dv, &DeviceViewModel::rpItemChanged, this,
            [this](std::size_t index) { updateRow(static_cast<int>(index)); });
    relayout();
}

QRect CredentialList::checkBoxRect(int row)
{
    if (row < 0 || row >= rowCount())
        return {};
    ensureVisible(row);
    return rows_[static_cast<std::size_t>(row)].checkBoxRect().translated(0, tops_[static_cast<std::size_t>(row)] -
                                                                                 scrollY());
}

void CredentialList::relayout()
{
    const std::vector<RpItem>& items = dv_.rpList();
    layoutWidth_ = viewport()->width();
    rows_.clear();
    rows_.reserve(items.size());
    for (std::size_t i = 0; i < items.size(); ++i)
        rows_.push_back(makeRow(items[i], i));
    focused_ = std::min(focused_, rowCount() - 1);
    pressed_ = -1;
    placeRows(0);
    viewport()->update();
}

void CredentialList::rowsInserted(std::size_t first, std::size_t count)
{
    const std::vector<RpItem>& items = dv_.rpList();
    if (first > rows_.size() || rows_.size() + count != items.size()) {
        relayout(); // out of step with the model: start again from it
        return;
    }
    std::vector<RpItemView> added;
    added.reserve(count);
    for (std::size_t i = first; i < first + count; ++i)
        added.push_back(makeRow(items[i], i));
    rows_.insert(rows_.begin() + static_cast<std::ptrdiff_t>(first), added.begin(), added.end());
    if (focused_ >= static_cast<int>(first))
        focused_ += static_cast<int>(count);
    placeRows(first);
    // Rows that arrive out of sight (the usual case while a long list loads) cost no painting.
    if (tops_[first] < scrollY() + viewport()->height())
        viewport()->update();
}

RpItemView CredentialList::makeRow(const RpItem& item, std::size_t index) const
{
    return RpItemView(item.id, item.name, item.idHash, item.userId, item.userName, item.credentialId, item.credType,
                      RpItemView::IsCheckedBinding(dv_, index), dv_.uiStr(), layoutWidth_);
}

void CredentialList::rowsRemoved(std::size_t first, std::size_t count)
{
    if (first + count > rows_.size() || rows_.size() - count != dv_.rpList().size()) {
        relayout();
        return;
    }
    rows_.erase(rows_.begin() + static_cast<std::ptrdiff_t>(first),
                rows_.begin() + static_cast<std::ptrdiff_t>(first + count));
    // The focus stays where it was: on the same row, or on the one that took the place of a row that went.
    const int firstRow = static_cast<int>(first);
    if (focused_ >= firstRow + static_cast<int>(count))
        focused_ -= static_cast<int>(count);
    else if (focused_ >= firstRow)
        focused_ = std::min(firstRow, rowCount() - 1);
    pressed_ = -1;
    placeRows(first);
    viewport()->update();
}

void CredentialList::placeRows(std::size_t from)
{
    tops_.resize(rows_.size() + 1);
    for (std::size_t i = from; i < rows_.size(); ++i) {
        // Rows from here on may have moved, and their elements with them.
        rows_[i].rebind(i);
        tops_[i + 1] = tops_[i] + rows_[i].height();
    }
    QScrollBar* bar = verticalScrollBar();
    bar->setPageStep(viewport()->height());
    bar->setRange(0, std::max(0, tops_.back() - viewport()->height()));
}

void CredentialList::updateRow(int row)
{
    if (row < 0 || row >= rowCount())
        return;
    const auto index = static_cast<std::size_t>(row);
    viewport()->update(QRect(0, tops_[index] - scrollY(), viewport()->width(), rows_[index].height()));
}

int CredentialList::scrollY() const
{
    return verticalScrollBar()->value();
}

int CredentialList::rowAt(int contentY) const
{
    if (contentY < 0 || contentY >= tops_.back())
        return -1;
    return static_cast<int>(std::upper_bound(tops_.begin(), tops_.end(), contentY) - tops_.begin()) - 1;
}

int CredentialList::checkBoxAt(QPoint viewportPos) const
{
    const int row = rowAt(viewportPos.y() + scrollY());
    if (row < 0)
        return -1;
    const auto index = static_cast<std::size_t>(row);
    const QPoint inRow(viewportPos.x(), viewportPos.y() + scrollY() - tops_[index]);
    return rows_[index].checkBoxRect().contains(inRow) ? row : -1;
}

void CredentialList::paintEvent(QPaintEvent* event)
{
    QPainter painter(viewport());
    const int top = scrollY() + event->rect().top();
    const int bottom = scrollY() + event->rect().bottom();
    const bool listFocused = hasFocus();
    for (int row = rowAt(top); row >= 0 && row < rowCount(); ++row) {
        const auto index = static_cast<std::size_t>(row);
        if (tops_[index] > bottom)
            break;
        rows_[index].paint(painter, tops_[index] - scrollY(), listFocused && row == focused_);
    }
}

void CredentialList::resizeEvent(QResizeEvent* event)
{
    QAbstractScrollArea::resizeEvent(event);
    if (viewport()->width() != layoutWidth_)
        relayout();
    else
        placeRows(rows_.size());
}

void CredentialList::mousePressEvent(QMouseEvent* event)
{
    pressed_ = event->button() == Qt::LeftButton ? checkBoxAt(event->position().toPoint()) : -1;
    if (pressed_ < 0) {
        QAbstractScrollArea::mousePressEvent(event);
        return;
    }
    setFocus(Qt::MouseFocusReason);
    setFocusedRow(pressed_);
}

void CredentialList::mouseReleaseEvent(QMouseEvent* event)
{
    // A click: pressed and released on the same box.
    const int pressed = std::exchange(pressed_, -1);
    if (event->button() == Qt::LeftButton && pressed >= 0 && checkBoxAt(event->position().toPoint()) == pressed)
        flip(pressed);
    else
        QAbstractScrollArea::mouseReleaseEvent(event);
}

void CredentialList::keyPressEvent(QKeyEvent* event)
{
    switch (event->key()) {
    case Qt::Key_Space:
        if (!event->isAutoRepeat() && focused_ >= 0)
            flip(focused_);
        break;
    case Qt::Key_Down: setFocusedRow(std::min(focused_ + 1, rowCount() - 1)); break;
    case Qt::Key_Up: setFocusedRow(std::max(focused_ - 1, std::min(0, rowCount() - 1))); break;
    default: QAbstractScrollArea::keyPressEvent(event); break;
    }
}

bool CredentialList::focusNextPrevChild(bool next)
{
    const int row = focused_ + (next ? 1 : -1);
    if (row >= 0 && row < rowCount() && (next || focused_ > 0)) {
        setFocusedRow(row);
        return true;
    }
    return QAbstractScrollArea::focusNextPrevChild(next);
}

void CredentialList::focusInEvent(QFocusEvent* event)
{
    QAbstractScrollArea::focusInEvent(event);
    updateRow(focused_);
}

void CredentialList::focusOutEvent(QFocusEvent* event)
{
    QAbstractScrollArea::focusOutEvent(event);
    updateRow(focused_);
}

void CredentialList::setFocusedRow(int row)
{
    if (row == focused_)
        return;
    const int before = std::exchange(focused_, row);
    ensureVisible(row);
    updateRow(before);
    updateRow(row);
}

void CredentialList::ensureVisible(int row)
{
    if (row < 0 || row >= rowCount())
        return;
    const auto index = static_cast<std::size_t>(row);
    QScrollBar* bar = verticalScrollBar();
    if (tops_[index] < bar->value())
        bar->setValue(tops_[index]);
    else if (tops_[index + 1] > bar->value() + viewport()->height())
        bar->setValue(tops_[index + 1] - viewport()->height());
}

void CredentialList::flip(int row)
{
    if (row < 0 || row >= rowCount())
        return;
    const RpItemView& view = rows_[static_cast<std::size_t>(row)];
    view.setChecked(!view.isChecked());
}
