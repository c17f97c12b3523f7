#pragma once

#include "views/PromptPanel.h"

class DeviceViewModel;

// Shown while the key waits for the user's touch: the view model's instruction and a Cancel that asks the
// key to give up the pending request.
class UserTouchView : public PromptPanel {
    Q_OBJECT

public:
    UserTouchView(DeviceViewModel& dv, QWidget* parent);

private:
    void refresh();

    DeviceViewModel& dv_;
};
