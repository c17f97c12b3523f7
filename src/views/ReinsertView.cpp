#include "views/ReinsertView.h"

#include "viewmodel/DeviceViewModel.h"

ReinsertView::ReinsertView(DeviceViewModel& dv, QWidget* parent)
    : PromptPanel([&dv] { dv.cancelReinsert(); }, parent), dv_(dv)
{
    setObjectName("reinsertPrompt");
    refresh();
    for (auto signal : {&DeviceViewModel::reinsertTextChanged, &DeviceViewModel::uiStrChanged})
        connect(&dv, signal, this, &ReinsertView::refresh);
}

void ReinsertView::refresh()
{
    setTexts(QString::fromStdString(dv_.reinsertText()), QString::fromStdString(dv_.uiStr().pinCancel));
}
