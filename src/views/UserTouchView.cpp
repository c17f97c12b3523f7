#include "views/UserTouchView.h"

#include "viewmodel/DeviceViewModel.h"

UserTouchView::UserTouchView(DeviceViewModel& dv, QWidget* parent)
    : PromptPanel([&dv] { dv.cancelUserTouch(); }, parent), dv_(dv)
{
    setObjectName("touchPrompt");
    refresh();
    for (auto signal : {&DeviceViewModel::touchPromptTextChanged, &DeviceViewModel::uiStrChanged})
        connect(&dv, signal, this, &UserTouchView::refresh);
}

void UserTouchView::refresh()
{
    setTexts(QString::fromStdString(dv_.touchPromptText()), QString::fromStdString(dv_.uiStr().pinCancel));
}
