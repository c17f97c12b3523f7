#pragma once

#include "views/PromptPanel.h"

class DeviceViewModel;

// Shown while a reset waits for its key to come back (re-plugged, or a card tapped twice); Cancel abandons
// the wait and the reset.
class ReinsertView : public PromptPanel {
    Q_OBJECT

public:
    ReinsertView(DeviceViewModel& dv, QWidget* parent);

private:
    void refresh();

    DeviceViewModel& dv_;
};
