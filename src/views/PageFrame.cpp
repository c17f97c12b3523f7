#include "views/PageFrame.h"

#include "views/Palette.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>

#include <algorithm>

namespace {
constexpr int headerTop = PageFrame::barHeight + 1;
constexpr int listTop = headerTop + PageFrame::headerHeight + 1;
// The header is a row of two padded texts, centred on the page like everything on it: the fixed parts are wider
// than the page, so the row reaches past both edges by the same amount.
constexpr int leftPadding = 32;
constexpr int leftHeaderWidth = 592;
constexpr int headerGap = 8;
constexpr int rightPadding = 8;
constexpr int rightHeaderWidth = 416;
constexpr int headerRowX = (1024 - (leftPadding + leftHeaderWidth + headerGap + rightPadding + rightHeaderWidth)) / 2;
constexpr int leftHeaderX = headerRowX + leftPadding;
constexpr int rightHeaderX = leftHeaderX + leftHeaderWidth + headerGap + rightPadding;
} // namespace

PageFrame::PageFrame(QWidget* parent) : QWidget(parent)
{
    setFixedSize(1024, 420);
    auto* bar = new QWidget(this);
    bar->setGeometry(0, 0, 1024, barHeight);
    buttonRow_ = new QHBoxLayout(bar);
    buttonRow_->setContentsMargins(20, 0, 12, 0);
    buttonRow_->setSpacing(16);
    buttonRow_->addStretch();

    leftHeader_ = new QLabel(this);
    leftHeader_->setObjectName("leftHeader");
    rightHeader_ = new QLabel(this);
    rightHeader_->setObjectName("rightHeader");
    leftHeader_->setGeometry(leftHeaderX, headerTop, leftHeaderWidth, headerHeight);
    // Texts are fitted to their label's width: the right one ends at the page's edge, past which nothing shows.
    rightHeader_->setGeometry(rightHeaderX, headerTop, std::min(rightHeaderWidth, 1024 - rightHeaderX), headerHeight);
    for (QLabel* header : {leftHeader_, rightHeader_}) {
        header->setFont(Palette::font(16));
        header->setTextFormat(Qt::PlainText);
    }

    listArea_ = new QWidget(this);
    listArea_->setGeometry(0, listTop, 1024, listHeight);
    emptyPrompt_ = new QLabel(this);
    emptyPrompt_->setObjectName("emptyPrompt");
    emptyPrompt_->setGeometry(listArea_->geometry());
    emptyPrompt_->setAlignment(Qt::AlignCenter);
    emptyPrompt_->setWordWrap(true);
    emptyPrompt_->setFont(Palette::titleFont());
    emptyPrompt_->setAttribute(Qt::WA_TransparentForMouseEvents);
    emptyPrompt_->hide();
}

void PageFrame::setList(QWidget* list)
{
    list->setParent(this);
    list->setGeometry(listArea_->geometry());
    list->show();
    emptyPrompt_->raise();
}

void PageFrame::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.fillRect(QRect(0, 0, width(), barHeight), Palette::panelColor());
    painter.fillRect(QRect(0, barHeight, width(), 1), Palette::gray());
    painter.fillRect(QRect(0, listTop - 1, width(), 1), Palette::gray());
}
