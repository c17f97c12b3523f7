#include "views/RpItemView.h"

#include "fido/Utils.h"
#include "viewmodel/DeviceViewModel.h"
#include "viewmodel/UIStringVal.h"
#include "views/CheckBoxStyle.h"
#include "views/Palette.h"
#include "views/TextFit.h"

#include <QFontMetrics>
#include <QPainter>

namespace {
constexpr int topMargin = 6;
constexpr int bottomMargin = 7;
constexpr int lineSpacing = 2;
constexpr int boxLeft = 8;
constexpr int boxToUser = 4;
constexpr int lineIndent = 48;
constexpr int rightMargin = 16;
constexpr int minimumHeight = 100;
constexpr int nameSize = 16;
constexpr int lineSize = 14;
constexpr auto textFlags = Qt::AlignLeft | Qt::AlignVCenter;

// As a label measures its text (vertical centring in a tall box would round the height up).
int textHeight(const QFontMetrics& metrics, const QString& text)
{
    return metrics.boundingRect(QRect(0, 0, 0x10000, 0x10000), Qt::AlignLeft | Qt::AlignTop, text).height();
}
} // namespace

bool RpItemView::IsCheckedBinding::get() const
{
    const std::vector<RpItem>& items = dv_->rpList();
    return index_ < items.size() && items[index_].isChecked;
}

void RpItemView::IsCheckedBinding::set(bool checked) const
{
    dv_->setRpItemChecked(index_, checked);
}

RpItemView::RpItemView(const std::string& id, const std::string& name, const std::string& idHash, const Bytes&,
                       const std::string& userName, const std::string& credentialId, const std::string&,
                       IsCheckedBinding isChecked, const UIStringVal& texts, int width)
    : isChecked_(isChecked), width_(width)
{
    const QFont nameFont = Palette::font(nameSize);
    const QFont lineFont = Palette::font(lineSize);
    const QFontMetrics lineMetrics(lineFont);
    const int textWidth = width - lineIndent - rightMargin;

    // The name and user share the first line: the name takes what it needs, up to half of it.
    name_ = fitText(qs(name), nameFont, textWidth / 2, 1);
    const QSize box = CheckBoxStyle::sizeFor(QFontMetrics(nameFont), name_);
    int firstLine = box.height();
    if (!removeSpaces(userName).empty()) {
        user_.text = fitText("- " + qs(userName), lineFont, width - box.width() - 40, 1);
        firstLine = std::max(firstLine, textHeight(lineMetrics, user_.text));
    }
    box_ = QRect(boxLeft, topMargin + (firstLine - box.height()) / 2, box.width(), box.height());
    const int userLeft = boxLeft + box.width() + boxToUser;
    user_.rect = QRect(userLeft, topMargin, width - userLeft, firstLine);

    // Identifiers have no spaces to break at: they wrap anywhere, on at most two lines; the credential id is cut
    // to one.
    lines_[0].text = fitText(qs(texts.itemId) + " " + qs(id), lineFont, textWidth, 2, Wrap::Anywhere);
    lines_[1].text = fitText(qs(texts.itemIdHash) + " " + qs(idHash), lineFont, textWidth, 2, Wrap::Anywhere);
    lines_[2].text = fitText(qs(texts.itemCredId) + " " + qs(credentialId), lineFont, textWidth, 1, Wrap::Anywhere);
    int y = topMargin + firstLine;
    for (Line& line : lines_) {
        const int height = textHeight(lineMetrics, line.text);
        line.rect = QRect(lineIndent, y + lineSpacing, width - lineIndent, height);
        y = line.rect.bottom() + 1;
    }
    height_ = std::max(minimumHeight, y + bottomMargin);
}

void RpItemView::paint(QPainter& painter, int top, bool focused) const
{
    painter.fillRect(QRect(0, top, width_, height_), Palette::backgroundColor());
    painter.fillRect(QRect(0, top + height_ - 1, width_, 1), Palette::gray());
    painter.setFont(Palette::font(nameSize));
    CheckBoxStyle::makeBody(painter, box_.translated(0, top), name_, isChecked(), focused);
    painter.setFont(Palette::font(lineSize));
    painter.setPen(Palette::textColor());
    if (!user_.text.isEmpty())
        painter.drawText(user_.rect.translated(0, top), textFlags, user_.text);
    for (const Line& line : lines_)
        painter.drawText(line.rect.translated(0, top), textFlags, line.text);
}
