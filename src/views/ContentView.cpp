#include "views/ContentView.h"

#include "viewmodel/DeviceViewModel.h"
#include "views/BottomBarView.h"
#include "views/DeviceListView.h"
#include "views/MessageBox.h"
#include "views/Palette.h"
#include "views/PinView.h"
#include "views/ReinsertView.h"
#include "views/RpListView.h"
#include "views/SettingsView.h"
#include "views/TextFit.h"
#include "views/TopBarView.h"
#include "views/UserTouchView.h"

#include <QApplication>
#include <QPainter>
#include <QVBoxLayout>

#include <algorithm>
#include <utility>

ContentView::ContentView(DeviceViewModel& dv, const WindowHooks& hooks, QWidget* parent) : QWidget(parent), dv_(dv)
{
    setObjectName("contentView");
    setFixedSize(1024, 530);
    frame_ = new QWidget(this);
    frame_->setGeometry(rect());
    auto* column = new QVBoxLayout(frame_);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    auto* topBar = new TopBarView(dv, hooks, frame_);
    column->addWidget(topBar);
    auto* pageArea = new QWidget(frame_);
    pageArea->setObjectName("pageArea");
    pageArea->setFixedSize(1024, 420);
    auto* pages = new QVBoxLayout(pageArea);
    pages->setContentsMargins(0, 0, 0, 0);
    pages->setSpacing(0);
    deviceListView_ = new DeviceListView(dv, pageArea);
    pinView_ = new PinView(dv, pageArea);
    settingsView_ = new SettingsView(dv, pageArea);
    rpListView_ = new RpListView(dv, pageArea);
    for (QWidget* page : {deviceListView_, pinView_, settingsView_, rpListView_})
        pages->addWidget(page);
    pages->addStretch();
    column->addWidget(pageArea);
    column->addWidget(new BottomBarView(frame_));

    // Later ones lie on top: the re-insert prompt over the touch prompt, the message box (made when it comes up)
    // over both.
    userTouchView_ = new UserTouchView(dv, this);
    reinsertView_ = new ReinsertView(dv, this);
    for (Overlay* overlay : {userTouchView_, reinsertView_})
        overlay->setGeometry(rect());
    // The prompts wait on the key, which may never answer: the window can still be tucked away or closed. The
    // message box is modal and lets nothing through.
    for (Overlay* prompt : {userTouchView_, reinsertView_})
        prompt->letThrough(topBar->windowButtons());

    followFlags();
    for (auto signal : {&DeviceViewModel::deviceListViewVisibleChanged, &DeviceViewModel::pinViewVisibleChanged,
                        &DeviceViewModel::settingsViewVisibleChanged, &DeviceViewModel::credMgmtViewVisibleChanged,
                        &DeviceViewModel::waitUserTouchChanged, &DeviceViewModel::reinsertNeededChanged,
                        &DeviceViewModel::showMessageBoxChanged})
        connect(&dv, signal, this, &ContentView::followFlags);
    connect(&dv, &DeviceViewModel::messageBoxInfoChanged, this, &ContentView::replaceMessageBox);
    connect(qApp, &QApplication::focusChanged, this, [this](QWidget*, QWidget* now) { keepFocusInOverlay(now); });
}

void ContentView::followFlags()
{
    if (dv_.showMessageBox() && !messageBox_)
        buildMessageBox();
    Overlay* before = activeOverlay_;
    Overlay* now = dv_.showMessageBox()   ? static_cast<Overlay*>(messageBox_)
                   : dv_.reinsertNeeded() ? static_cast<Overlay*>(reinsertView_)
                   : dv_.waitUserTouch()  ? userTouchView_
                                          : nullptr;
    if (now && !before)
        focusBefore_ = window()->focusWidget();
    activeOverlay_ = now;

    const std::pair<QWidget*, bool> pages[] = {{deviceListView_, dv_.deviceListViewVisible()},
                                               {pinView_, dv_.pinViewVisible()},
                                               {settingsView_, dv_.settingsViewVisible()},
                                               {rpListView_, dv_.credMgmtViewVisible()}};
    for (auto [page, visible] : pages) {
        const bool appears = visible && !page->isVisibleTo(this);
        page->setVisible(visible);
        // The keyboard follows to the page that came up, once no dialog holds it.
        if (appears && now)
            focusBefore_ = page;
        else if (appears)
            page->setFocus(Qt::OtherFocusReason);
    }

    // The keyboard goes back before the dialog leaves, or Qt hands it to the first button of the window.
    if (!now && before)
        restoreFocus();
    userTouchView_->setVisible(dv_.waitUserTouch());
    reinsertView_->setVisible(dv_.reinsertNeeded());
    if (messageBox_ && dv_.showMessageBox())
        messageBox_->show();
    else if (messageBox_)
        discardMessageBox(std::exchange(messageBox_, nullptr));
    if (now && now != before)
        now->firstFocus()->setFocus(Qt::OtherFocusReason);
}

void ContentView::buildMessageBox()
{
    const DeviceViewModel::MessageBoxInfo& info = dv_.messageBoxInfo();
    messageBox_ = new MessageBox(qs(info.title), qs(info.message), qs(info.ok),
                                 info.cancel ? std::optional<QString>(qs(*info.cancel)) : std::nullopt, dv_, this);
    messageBox_->setGeometry(rect());
    messageBox_->raise();
}

void ContentView::replaceMessageBox()
{
    if (!messageBox_)
        return;
    // The newer box comes up, and takes the keyboard, before the older one goes.
    MessageBox* older = std::exchange(messageBox_, nullptr);
    followFlags();
    discardMessageBox(older);
}

void ContentView::discardMessageBox(MessageBox* box)
{
    // The box's own button may be what closed it, so it goes once that click is over; meanwhile it is hidden and
    // no longer answers to the box's name.
    box->hide();
    box->setObjectName(QString());
    box->deleteLater();
}

void ContentView::restoreFocus()
{
    QWidget* target = focusBefore_;
    if (!target || !target->isVisibleTo(this) || !target->isEnabled()) {
        target = nullptr;
        for (QWidget* page : {deviceListView_, pinView_, settingsView_, rpListView_})
            if (!target && page->isVisibleTo(this))
                target = page;
    }
    // As when a popup closes: a button shows its focus ring again only if it had one.
    if (target)
        target->setFocus(Qt::PopupFocusReason);
    focusBefore_ = nullptr;
}

bool ContentView::focusNextPrevChild(bool next)
{
    if (!activeOverlay_)
        return QWidget::focusNextPrevChild(next);
    const std::vector<QWidget*> ring = activeOverlay_->focusRing();
    if (ring.empty())
        return true;
    const auto at = std::find(ring.begin(), ring.end(), window()->focusWidget());
    const std::ptrdiff_t size = static_cast<std::ptrdiff_t>(ring.size());
    std::ptrdiff_t index = at == ring.end() ? (next ? -1 : 0) : at - ring.begin();
    index = (index + (next ? 1 : size - 1)) % size;
    ring[static_cast<std::size_t>(index)]->setFocus(next ? Qt::TabFocusReason : Qt::BacktabFocusReason);
    return true;
}

void ContentView::keepFocusInOverlay(QWidget* now)
{
    if (!activeOverlay_ || !now || !isAncestorOf(now) || activeOverlay_->keeps(now))
        return;
    activeOverlay_->firstFocus()->setFocus(Qt::OtherFocusReason);
}

void ContentView::paintEvent(QPaintEvent*)
{
    QPainter(this).fillRect(rect(), Palette::backgroundColor());
}
