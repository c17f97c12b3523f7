#include "views/CredentialRow.h"

#include "fido/Utils.h"
#include "viewmodel/DeviceViewModel.h"
#include "views/CheckBox.h"
#include "views/Palette.h"
#include "views/TextFit.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QVBoxLayout>

namespace {
constexpr int lineIndent = 48;
constexpr int rightMargin = 16;


} // namespace

CredentialRow::CredentialRow(DeviceViewModel& dv, std::size_t index, const RpItem& item, int width, QWidget* parent)
    : QWidget(parent), dv_(dv), credentialId_(item.credentialId), item_(item), width_(width)
{
    setObjectName("credentialRow");
    setFixedWidth(width);
    setMinimumHeight(100);
    auto* lines = new QVBoxLayout(this);
    lines->setContentsMargins(0, 6, 0, 7);
    lines->setSpacing(2);

    auto* first = new QHBoxLayout;
    first->setContentsMargins(8, 0, rightMargin, 0);
    first->setSpacing(4);
    check_ = new CheckBox(Palette::font(16), this);
    check_->setObjectName("credentialCheckBox");
    check_->setValue(item.isChecked);
    user_ = plainLabel(this, "userName", 14);
    first->addWidget(check_);
    first->addWidget(user_);
    first->addStretch();
    lines->addLayout(first);

    rpId_ = plainLabel(this, "rpIdLine", 14);
    idHash_ = plainLabel(this, "rpIdHashLine", 14);
    credId_ = plainLabel(this, "credentialIdLine", 14);
    for (QLabel* line : {rpId_, idHash_, credId_}) {
        line->setContentsMargins(lineIndent, 0, 0, 0);
        lines->addWidget(line);
    }
    lines->addStretch();

    connect(check_, &CheckBox::flipRequested, this,
            [this, index](bool wanted) { dv_.setRpItemChecked(index, wanted); });
    connect(&dv, &DeviceViewModel::uiStrChanged, this, &CredentialRow::refreshTexts);
    refreshTexts();
}

void CredentialRow::setChecked(bool checked) { check_->setValue(checked); }

void CredentialRow::refreshTexts()
{
    const UIStringVal& texts = dv_.uiStr();
    const int textWidth = width_ - lineIndent - rightMargin;
    // The name and user share the first line: the name takes what it needs, up to half of it.
    const QString name = fitText(qs(item_.name), check_->font(), textWidth / 2, 1);
    check_->setText(name);
    check_->setFixedSize(check_->sizeHint());
    const bool hasUser = !removeSpaces(item_.userName).empty();
    user_->setVisible(hasUser);
    if (hasUser)
        user_->setText(fitText("- " + qs(item_.userName), user_->font(), width_ - check_->width() - 40, 1));
    // Identifiers have no spaces to break at: they wrap anywhere, on at most two lines; the credential id is
    // cut to one.
    rpId_->setText(fitText(qs(texts.itemId) + " " + qs(item_.id), rpId_->font(), textWidth, 2, Wrap::Anywhere));
    idHash_->setText(
        fitText(qs(texts.itemIdHash) + " " + qs(item_.idHash), idHash_->font(), textWidth, 2, Wrap::Anywhere));
    credId_->setText(
        fitText(qs(texts.itemCredId) + " " + qs(item_.credentialId), credId_->font(), textWidth, 1, Wrap::Anywhere));
}

void CredentialRow::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.fillRect(rect(), Palette::backgroundColor());
    painter.fillRect(QRect(0, height() - 1, width(), 1), Palette::gray());
}
