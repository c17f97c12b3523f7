#include "views/DeviceListView.h"

#include "viewmodel/DeviceViewModel.h"
#include "views/DeviceItemView.h"
#include "views/NormalButton.h"
#include "views/Palette.h"
#include "views/ScrollBar.h"
#include "views/TextFit.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QScrollBar>
#include <QSignalBlocker>

DeviceListView::DeviceListView(DeviceViewModel& dv, QWidget* parent) : PageFrame(parent), dv_(dv)
{
    setObjectName("deviceListPage");
    setPin_ = new NormalButton({}, 165, [&dv] { dv.showPinViewForSetOrChange(); }, this);
    changePin_ = new NormalButton({}, 165, [&dv] { dv.showPinViewForSetOrChange(); }, this);
    reset_ = new NormalButton({}, 110, [&dv] { dv.confirmReset(); }, this);
    credMgmt_ = new NormalButton({}, 250, [&dv] { dv.showPinViewForCredMgmt(); }, this);
    setPin_->setObjectName("setPinButton");
    changePin_->setObjectName("changePinButton");
    reset_->setObjectName("resetButton");
    credMgmt_->setObjectName("credMgmtButton");
    int at = 0;
    for (NormalButton* button : {setPin_, changePin_, reset_, credMgmt_})
        buttonRow()->insertWidget(at++, button);

    list_ = new QListWidget(this);
    list_->setObjectName("deviceList");
    list_->setFrameShape(QFrame::NoFrame);
    list_->setSelectionMode(QAbstractItemView::SingleSelection);
    list_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    list_->setVerticalScrollBar(new ScrollBar(Qt::Vertical, list_));
    list_->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    list_->setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    list_->verticalScrollBar()->setSingleStep(20);
    // The window's background shows through; a selected row is tinted, so its text stays readable in both
    // schemes.
    QPalette listPalette = list_->palette();
    listPalette.setColor(QPalette::Base, Qt::transparent);
    QColor tint = listPalette.color(QPalette::Highlight);
    tint.setAlpha(70);
    listPalette.setColor(QPalette::Highlight, tint);
    listPalette.setColor(QPalette::HighlightedText, listPalette.color(QPalette::Text));
    list_->setPalette(listPalette);
    setList(list_);
    setFocusProxy(list_);
    emptyPrompt()->setObjectName("insertKeyPrompt");

    refreshTexts();
    refreshButtons();
    rebuildRows();
    connect(&dv, &DeviceViewModel::uiStrChanged, this, &DeviceListView::refreshTexts);
    for (auto signal : {&DeviceViewModel::setPinVisibleChanged, &DeviceViewModel::changePinVisibleChanged,
                        &DeviceViewModel::resetVisibleChanged, &DeviceViewModel::credMgmtVisibleChanged,
                        &DeviceViewModel::busyChanged})
        connect(&dv, signal, this, &DeviceListView::refreshButtons);
    connect(&dv, &DeviceViewModel::deviceListChanged, this, &DeviceListView::rebuildRows);
    connect(&dv, &DeviceViewModel::selectedDeviceItemChanged, this, &DeviceListView::showSelection);
    connect(list_, &QListWidget::itemSelectionChanged, this, &DeviceListView::rowChosen);
}

void DeviceListView::refreshTexts()
{
    const UIStringVal& texts = dv_.uiStr();
    setPin_->setText(qs(texts.btnSetPin));
    changePin_->setText(qs(texts.btnChangePin));
    reset_->setText(qs(texts.btnReset));
    credMgmt_->setText(qs(texts.btnCredMgmt));
    leftHeader()->setText(qs(texts.lvDevice));
    rightHeader()->setText(qs(texts.lvStatus));
    emptyPrompt()->setText(qs(texts.promptInsertKey));
}

void DeviceListView::refreshButtons()
{
    setPin_->setVisible(dv_.setPinVisible());
    changePin_->setVisible(dv_.changePinVisible());
    reset_->setVisible(dv_.resetVisible());
    credMgmt_->setVisible(dv_.credMgmtVisible());
    for (NormalButton* button : {setPin_, changePin_, reset_, credMgmt_})
        button->setEnabled(!dv_.busy());
}

void DeviceListView::rebuildRows()
{
    const QSignalBlocker blocker(list_);
    list_->clear();
    for (const DeviceItem& item : dv_.deviceList()) {
        auto* row = new QListWidgetItem(list_);
        row->setSizeHint(QSize(list_->viewport()->width(), DeviceItemView::cardHeight));
        list_->setItemWidget(row, new DeviceItemView(item.firmware, item.aaguid, item.protocols, item.deviceName,
                                                     item.pinPresent, item.retries, item.hasCredMgmt,
                                                     dv_.imageName(item.deviceName), dv_));
    }
    emptyPrompt()->setVisible(dv_.deviceList().empty());
    showSelection();
}

void DeviceListView::showSelection()
{
    const QSignalBlocker blocker(list_);
    const auto& selected = dv_.selectedDeviceItem();
    const auto& items = dv_.deviceList();
    int row = -1;
    if (selected) {
        const auto it = std::find(items.begin(), items.end(), *selected);
        if (it != items.end())
            row = static_cast<int>(it - items.begin());
    }
    list_->clearSelection();
    if (row >= 0) {
        list_->setCurrentRow(row, QItemSelectionModel::ClearAndSelect);
    } else {
        list_->setCurrentRow(-1, QItemSelectionModel::Clear);
    }
}

void DeviceListView::rowChosen()
{
    const QList<QListWidgetItem*> chosen = list_->selectedItems();
    const auto& items = dv_.deviceList();
    std::optional<DeviceItem> item;
    if (!chosen.isEmpty()) {
        const int row = list_->row(chosen.front());
        if (row >= 0 && static_cast<std::size_t>(row) < items.size())
            item = items[static_cast<std::size_t>(row)];
    }
    dv_.selectDeviceItem(item);
    // A choice the model refused (it is busy) is taken back.
    showSelection();
}
