#include "views/ContentView.h"

#include "viewmodel/DeviceViewModel.h"
#include "views/BottomBar.h"
#include "views/CredentialListPage.h"
#include "views/DeviceListPage.h"
#include "views/MessageBox.h"
#include "views/Palette.h"
#include "views/PinPage.h"
#include "views/ReinsertPrompt.h"
#include "views/SettingsPage.h"
#include "views/TopBar.h"
#include "views/TouchPrompt.h"

#include <QApplication>
#include <QPainter>
#include <QVBoxLayout>

ContentView::ContentView(DeviceViewModel& dv, const WindowHooks& hooks, QWidget* parent) : QWidget(parent), dv_(dv)
{
    setObjectName("contentView");
    setFixedSize(1024, 530);
    frame_ = new QWidget(this);
    frame_->setGeometry(rect());
    auto* column = new QVBoxLayout(frame_);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    column->addWidget(new TopBar(dv, hooks, frame_));
    auto* pageArea = new QWidget(frame_);
    pageArea->setObjectName("pageArea");
    pageArea->setFixedSize(1024, 420);
    auto* pages = new QVBoxLayout(pageArea);
    pages->setContentsMargins(0, 0, 0, 0);
    pages->setSpacing(0);
    deviceListPage_ = new DeviceListPage(dv, pageArea);
    pinPage_ = new PinPage(dv, pageArea);
    settingsPage_ = new SettingsPage(dv, pageArea);
    credentialListPage_ = new CredentialListPage(dv, pageArea);
    for (QWidget* page : {deviceListPage_, pinPage_, settingsPage_, credentialListPage_})
        pages->addWidget(page);
    pages->addStretch();
    column->addWidget(pageArea);
    column->addWidget(new BottomBar(frame_));

    // Later ones lie on top: the re-insert prompt over the touch prompt, the message box over both.
    touchPrompt_ = new TouchPrompt(dv, this);
    reinsertPrompt_ = new ReinsertPrompt(dv, this);
    messageBox_ = new MessageBox(dv, this);
    for (Overlay* overlay : {touchPrompt_, reinsertPrompt_, messageBox_})
        overlay->setGeometry(rect());

    followFlags();
    for (auto signal : {&DeviceViewModel::deviceListViewVisibleChanged, &DeviceViewModel::pinViewVisibleChanged,
                        &DeviceViewModel::settingsViewVisibleChanged, &DeviceViewModel::credMgmtViewVisibleChanged,
                        &DeviceViewModel::waitUserTouchChanged, &DeviceViewModel::reinsertNeededChanged,
                        &DeviceViewModel::showMessageBoxChanged})
        connect(&dv, signal, this, &ContentView::followFlags);
    connect(qApp, &QApplication::focusChanged, this, [this](QWidget*, QWidget* now) { keepFocusInOverlay(now); });
}

void ContentView::followFlags()
{
    const std::pair<QWidget*, bool> pages[] = {{deviceListPage_, dv_.deviceListViewVisible()},
                                               {pinPage_, dv_.pinViewVisible()},
                                               {settingsPage_, dv_.settingsViewVisible()},
                                               {credentialListPage_, dv_.credMgmtViewVisible()}};
    for (auto [page, visible] : pages) {
        const bool appears = visible && !page->isVisibleTo(this);
        page->setVisible(visible);
        // The keyboard follows to the page that came up.
        if (appears)
            page->setFocus(Qt::OtherFocusReason);
    }

    Overlay* before = activeOverlay();
    touchPrompt_->setVisible(dv_.waitUserTouch());
    reinsertPrompt_->setVisible(dv_.reinsertNeeded());
    messageBox_->setVisible(dv_.showMessageBox());
    Overlay* now = activeOverlay();
    if (now && now != before)
        now->firstFocus()->setFocus(Qt::OtherFocusReason);
}

Overlay* ContentView::activeOverlay() const
{
    for (Overlay* overlay : {messageBox_, reinsertPrompt_, touchPrompt_})
        if (overlay->isVisibleTo(this))
            return overlay;
    return nullptr;
}

void ContentView::keepFocusInOverlay(QWidget* now)
{
    Overlay* overlay = activeOverlay();
    if (!overlay || !now || !isAncestorOf(now) || overlay->isAncestorOf(now))
        return;
    overlay->firstFocus()->setFocus(Qt::OtherFocusReason);
}

void ContentView::paintEvent(QPaintEvent*)
{
    QPainter(this).fillRect(rect(), Palette::backgroundColor());
}
