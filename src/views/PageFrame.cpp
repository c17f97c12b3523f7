#include "views/PageFrame.h"

#include "views/Palette.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>

namespace {
constexpr int headerTop = PageFrame::barHeight + 1;
constexpr int listTop = headerTop + PageFrame::headerHeight + 1;
// The header's two columns line up with the rows' text and status columns.
constexpr int leftHeaderX = 8;
constexpr int rightHeaderX = 616;
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
    rightHeader_ = new QLabel(this);
    leftHeader_->setGeometry(leftHeaderX, headerTop, rightHeaderX - leftHeaderX - 8, headerHeight);
    rightHeader_->setGeometry(rightHeaderX, headerTop, 1024 - rightHeaderX - 8, headerHeight);
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
