#include "views/DeviceItemView.h"

#include "viewmodel/DeviceViewModel.h"
#include "viewmodel/JOVFidoDevice.h"
#include "views/Palette.h"
#include "views/TextFit.h"

#include <QLabel>
#include <QPainter>
#include <QVBoxLayout>

namespace {

constexpr int rowHeight = 99;
constexpr int columnWidth = 450;
constexpr int nameX = 8;
constexpr int lineX = 24;
constexpr QRect imageBox(columnWidth + 8, (rowHeight - 80) / 2, 150, 80);
constexpr int statusX = columnWidth + 8 + 150 + 8;
constexpr int statusWidth = 390;

} // namespace

DeviceItemView::DeviceItemView(DeviceViewModel& dv, const DeviceItem& item, QWidget* parent)
    : QWidget(parent), dv_(dv), item_(item), imageName_(qs(imageName(item.deviceName)))
{
    setObjectName("deviceCard");
    setFixedHeight(cardHeight);
    setMinimumWidth(statusX + statusWidth);

    auto* column = new QWidget(this);
    column->setGeometry(0, 0, columnWidth, rowHeight);
    auto* lines = new QVBoxLayout(column);
    lines->setContentsMargins(0, 4, 0, 4);
    lines->setSpacing(2);
    name_ = plainLabel(column, "deviceName", 16);
    firmware_ = plainLabel(column, "firmwareLine", 14);
    aaguid_ = plainLabel(column, "aaguidLine", 14);
    protocols_ = plainLabel(column, "protocolLine", 14);
    lines->addStretch();
    lines->addWidget(name_);
    lines->setAlignment(name_, Qt::AlignLeft);
    for (QLabel* line : {firmware_, aaguid_, protocols_}) {
        line->setContentsMargins(lineX, 0, 0, 0);
        lines->addWidget(line);
    }
    name_->setContentsMargins(nameX, 0, 0, 0);
    lines->addStretch();

    status_ = plainLabel(this, "statusLine", 16);
    status_->setGeometry(statusX, 0, statusWidth, rowHeight);
    status_->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);

    refreshTexts();
    connect(&dv, &DeviceViewModel::uiStrChanged, this, &DeviceItemView::refreshTexts);
    connect(&dv, &DeviceViewModel::languageChanged, this, &DeviceItemView::refreshTexts);
}

void DeviceItemView::refreshTexts()
{
    const UIStringVal& texts = dv_.uiStr();
    auto oneLine = [](QLabel* label, const QString& text, int width) {
        label->setText(fitText(text, label->font(), width, 1, Wrap::Anywhere));
    };
    oneLine(name_, qs(item_.deviceName), columnWidth - nameX);
    oneLine(firmware_, qs(texts.itemFWVersion) + " " + qs(item_.firmware), columnWidth - lineX);
    oneLine(aaguid_, qs(texts.itemAAGUID) + ": " + qs(item_.aaguid), columnWidth - lineX);
    oneLine(protocols_, qs(texts.itemProtocol) + ": " + qs(item_.protocols), columnWidth - lineX);
    // Up to four lines fit the row's height.
    status_->setText(fitText(qs(dv_.deviceStatus(item_)), status_->font(), statusWidth, 4));
}

void DeviceItemView::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    Palette::drawImage(painter, imageName_, imageBox);
    painter.fillRect(QRect(0, rowHeight, width(), 1), Palette::gray());
}
