#include "views/RpListView.h"

#include "viewmodel/DeviceViewModel.h"
#include "views/CredentialList.h"
#include "views/NormalButton.h"
#include "views/TextFit.h"

#include <QHBoxLayout>
#include <QLabel>

RpListView::RpListView(DeviceViewModel& dv, QWidget* parent) : PageFrame(parent), dv_(dv)
{
    setObjectName("credentialListPage");
    delete_ = new NormalButton({}, 100, [&dv] { dv.credMgmtDeleteClicked(); }, this);
    delete_->setObjectName("deleteButton");
    back_ = new NormalButton({}, 100, [&dv] { dv.credMgmtBackClicked(); }, this);
    back_->setObjectName("backButton");
    buttonRow()->insertWidget(0, delete_);
    buttonRow()->insertWidget(1, back_);
    rightHeader()->setObjectName("countInfo");

    list_ = new CredentialList(dv, this);
    setList(list_);
    setFocusProxy(list_);
    emptyPrompt()->setObjectName("noRecordPrompt");

    connect(&dv, &DeviceViewModel::uiStrChanged, this, &RpListView::refreshTexts);
    connect(&dv, &DeviceViewModel::credMgmtCountInfoChanged, this, &RpListView::refreshTexts);
    for (auto signal : {&DeviceViewModel::credMgmtDeleteButtonEnableChanged, &DeviceViewModel::busyChanged})
        connect(&dv, signal, this, &RpListView::refreshButtons);
    for (auto signal : {&DeviceViewModel::rpListReset, &DeviceViewModel::loadingChanged})
        connect(&dv, signal, this, &RpListView::refreshPrompt);
    for (auto signal : {&DeviceViewModel::rpItemsInserted, &DeviceViewModel::rpItemsRemoved})
        connect(&dv, signal, this, &RpListView::refreshPrompt);
    // The count line is built in the language in force.
    connect(&dv, &DeviceViewModel::languageChanged, &dv, &DeviceViewModel::updateCredMgmtCountInfo);
    refreshTexts();
    refreshButtons();
    refreshPrompt();
}

void RpListView::refreshTexts()
{
    const UIStringVal& texts = dv_.uiStr();
    delete_->setText(qs(texts.credMgmtDelete));
    back_->setText(qs(texts.credMgmtBack));
    leftHeader()->setText(fitText(qs(texts.lvRpUser), leftHeader()->font(), leftHeader()->width(), 1));
    rightHeader()->setText(fitText(qs(dv_.credMgmtCountInfo()), rightHeader()->font(), rightHeader()->width(), 1));
    emptyPrompt()->setText(qs(texts.promptNoRpRecord));
}

void RpListView::refreshButtons()
{
    delete_->setEnabled(dv_.credMgmtDeleteButtonEnable() && !dv_.busy());
    back_->setEnabled(!dv_.busy());
}

void RpListView::refreshPrompt()
{
    emptyPrompt()->setVisible(dv_.rpList().empty() && !dv_.loading());
}
