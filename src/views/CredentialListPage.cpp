#include "views/CredentialListPage.h"

#include "viewmodel/DeviceViewModel.h"
#include "views/CredentialRow.h"
#include "views/NormalButton.h"
#include "views/TextFit.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QScrollArea>
#include <QScrollBar>
#include <QVBoxLayout>

CredentialListPage::CredentialListPage(DeviceViewModel& dv, QWidget* parent) : PageFrame(parent), dv_(dv)
{
    setObjectName("credentialListPage");
    delete_ = new NormalButton({}, 100, [&dv] { dv.credMgmtDeleteClicked(); }, this);
    delete_->setObjectName("deleteButton");
    back_ = new NormalButton({}, 100, [&dv] { dv.credMgmtBackClicked(); }, this);
    back_->setObjectName("backButton");
    buttonRow()->insertWidget(0, delete_);
    buttonRow()->insertWidget(1, back_);
    rightHeader()->setObjectName("countInfo");

    scroll_ = new QScrollArea(this);
    scroll_->setObjectName("credentialList");
    scroll_->setFrameShape(QFrame::NoFrame);
    scroll_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scroll_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    scroll_->setWidgetResizable(true);
    scroll_->viewport()->setAutoFillBackground(false);
    rowsHolder_ = new QWidget;
    rowsLayout_ = new QVBoxLayout(rowsHolder_);
    rowsLayout_->setContentsMargins(0, 0, 0, 0);
    rowsLayout_->setSpacing(0);
    rowsLayout_->addStretch();
    scroll_->setWidget(rowsHolder_);
    // The window's background shows under the rows (setWidget turns filling on).
    rowsHolder_->setAutoFillBackground(false);
    scroll_->verticalScrollBar()->setSingleStep(20);
    setList(scroll_);
    setFocusProxy(scroll_);
    emptyPrompt()->setObjectName("noRecordPrompt");

    connect(&dv, &DeviceViewModel::uiStrChanged, this, &CredentialListPage::refreshTexts);
    connect(&dv, &DeviceViewModel::credMgmtCountInfoChanged, this, &CredentialListPage::refreshTexts);
    for (auto signal : {&DeviceViewModel::credMgmtDeleteButtonEnableChanged, &DeviceViewModel::busyChanged})
        connect(&dv, signal, this, &CredentialListPage::refreshButtons);
    connect(&dv, &DeviceViewModel::rpListChanged, this, &CredentialListPage::refreshRows);
    connect(&dv, &DeviceViewModel::loadingChanged, this, &CredentialListPage::refreshPrompt);
    // The count line is built in the language in force.
    connect(&dv, &DeviceViewModel::languageChanged, &dv, &DeviceViewModel::updateCredMgmtCountInfo);
    refreshTexts();
    refreshButtons();
    refreshRows();
}

void CredentialListPage::refreshTexts()
{
    const UIStringVal& texts = dv_.uiStr();
    delete_->setText(qs(texts.credMgmtDelete));
    back_->setText(qs(texts.credMgmtBack));
    leftHeader()->setText(fitText(qs(texts.lvRpUser), leftHeader()->font(), leftHeader()->width(), 1));
    rightHeader()->setText(fitText(qs(dv_.credMgmtCountInfo()), rightHeader()->font(), rightHeader()->width(), 1));
    emptyPrompt()->setText(qs(texts.promptNoRpRecord));
}

void CredentialListPage::refreshButtons()
{
    delete_->setEnabled(dv_.credMgmtDeleteButtonEnable() && !dv_.busy());
    back_->setEnabled(!dv_.busy());
}

void CredentialListPage::refreshRows()
{
    const std::vector<RpItem>& items = dv_.rpList();
    const bool sameRows = items.size() == rows_.size() &&
                          std::equal(items.begin(), items.end(), rows_.begin(), [](const RpItem& item, auto* row) {
                              return item.credentialId == row->credentialId();
                          });
    if (sameRows) {
        // Only ticks changed: the rows stay, and with them the keyboard focus.
        for (std::size_t i = 0; i < items.size(); ++i)
            rows_[i]->setChecked(items[i].isChecked);
    } else {
        for (CredentialRow* row : rows_)
            delete row;
        rows_.clear();
        const int width = scroll_->viewport()->width();
        for (std::size_t i = 0; i < items.size(); ++i) {
            auto* row = new CredentialRow(dv_, i, items[i], width, rowsHolder_);
            rowsLayout_->insertWidget(static_cast<int>(i), row);
            rows_.push_back(row);
        }
    }
    refreshPrompt();
}

void CredentialListPage::refreshPrompt()
{
    emptyPrompt()->setVisible(dv_.rpList().empty() && !dv_.loading());
}
