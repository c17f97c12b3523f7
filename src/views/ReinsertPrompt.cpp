#include "views/ReinsertPrompt.h"

#include "viewmodel/DeviceViewModel.h"

ReinsertPrompt::ReinsertPrompt(DeviceViewModel& dv, QWidget* parent)
    : PromptPanel([&dv] { dv.cancelReinsert(); }, parent), dv_(dv)
{
    setObjectName("reinsertPrompt");
    refresh();
    for (auto signal : {&DeviceViewModel::reinsertTextChanged, &DeviceViewModel::uiStrChanged})
        connect(&dv, signal, this, &ReinsertPrompt::refresh);
}

void ReinsertPrompt::refresh()
{
    setTexts(QString::fromStdString(dv_.reinsertText()), QString::fromStdString(dv_.uiStr().pinCancel));
}
