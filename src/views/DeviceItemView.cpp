#include "views/DeviceItemView.h"

#include "viewmodel/DeviceViewModel.h"
#include "viewmodel/TextTemplates.h"
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

DeviceItemView::DeviceItemView(std::string firmware, std::string aaguid, std::string protocols,
                               std::string deviceName, bool pinPresent, std::optional<std::uint64_t> retries,
                               bool hasCredMgmt, std::string imageName, DeviceViewModel& dv, QWidget* parent)
    : QWidget(parent), firmware_(std::move(firmware)), aaguid_(std::move(aaguid)), protocols_(std::move(protocols)),
      deviceName_(std::move(deviceName)), pinPresent_(pinPresent), retries_(retries), hasCredMgmt_(hasCredMgmt),
      imageName_(qs(imageName)), dv_(dv)
{
    setObjectName("deviceCard");
    setFixedHeight(cardHeight);
    setMinimumWidth(statusX + statusWidth);

    auto* column = new QWidget(this);
    column->setGeometry(0, 0, columnWidth, rowHeight);
    auto* lines = new QVBoxLayout(column);
    lines->setContentsMargins(0, 4, 0, 4);
    lines->setSpacing(2);
    nameLine_ = plainLabel(column, "deviceName", 16);
    firmwareLine_ = plainLabel(column, "firmwareLine", 14);
    aaguidLine_ = plainLabel(column, "aaguidLine", 14);
    protocolLine_ = plainLabel(column, "protocolLine", 14);
    lines->addStretch();
    lines->addWidget(nameLine_);
    lines->setAlignment(nameLine_, Qt::AlignLeft);
    for (QLabel* line : {firmwareLine_, aaguidLine_, protocolLine_}) {
        line->setContentsMargins(lineX, 0, 0, 0);
        lines->addWidget(line);
    }
    nameLine_->setContentsMargins(nameX, 0, 0, 0);
    lines->addStretch();

    statusLine_ = plainLabel(this, "statusLine", 16);
    statusLine_->setGeometry(statusX, 0, statusWidth, rowHeight);
    statusLine_->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);

    refreshTexts();
    connect(&dv, &DeviceViewModel::uiStrChanged, this, &DeviceItemView::refreshTexts);
    connect(&dv, &DeviceViewModel::languageChanged, this, &DeviceItemView::updateStatus);
}

void DeviceItemView::refreshTexts()
{
    const UIStringVal& texts = dv_.uiStr();
    auto oneLine = [](QLabel* label, const QString& text, int width) {
        label->setText(fitText(text, label->font(), width, 1, Wrap::Anywhere));
    };
    oneLine(nameLine_, qs(deviceName_), columnWidth - nameX);
    oneLine(firmwareLine_, qs(texts.itemFWVersion) + " " + qs(firmware_), columnWidth - lineX);
    oneLine(aaguidLine_, qs(texts.itemAAGUID) + ": " + qs(aaguid_), columnWidth - lineX);
    oneLine(protocolLine_, qs(texts.itemProtocol) + ": " + qs(protocols_), columnWidth - lineX);
}

void DeviceItemView::updateStatus()
{
    status_ = qs(deviceStatusText(retries_, pinPresent_, hasCredMgmt_, rawValue(dv_.language()), dv_.stringTables()));
    // Up to four lines fit the row's height.
    statusLine_->setText(fitText(status_, statusLine_->font(), statusWidth, 4));
}

void DeviceItemView::showEvent(QShowEvent* event)
{
    updateStatus();
    QWidget::showEvent(event);
}

void DeviceItemView::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    Palette::drawImage(painter, imageName_, imageBox);
    painter.fillRect(QRect(0, rowHeight, width(), 1), Palette::gray());
}
