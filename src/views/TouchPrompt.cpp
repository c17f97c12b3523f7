#include "views/TouchPrompt.h"

#include "viewmodel/DeviceViewModel.h"

TouchPrompt::TouchPrompt(DeviceViewModel& dv, QWidget* parent)
    : PromptPanel([&dv] { dv.cancelUserTouch(); }, parent), dv_(dv)
{
    setObjectName("touchPrompt");
    refresh();
    for (auto signal : {&DeviceViewModel::touchPromptTextChanged, &DeviceViewModel::uiStrChanged})
        connect(&dv, signal, this, &TouchPrompt::refresh);
}

void TouchPrompt::refresh()
{
    setTexts(QString::fromStdString(dv_.touchPromptText()), QString::fromStdString(dv_.uiStr().pinCancel));
}
