#pragma once

#include "views/PageFrame.h"

class DeviceViewModel;
class NormalButton;
class QListWidget;

// The home page: one card per attached key, a selection, and the buttons that start every flow for the
// selected key (Set PIN, Change PIN, Reset, Credential Management), each shown only when the key allows it.
class DeviceListView : public PageFrame {
    Q_OBJECT

public:
    explicit DeviceListView(DeviceViewModel& dv, QWidget* parent = nullptr);

private:
    void refreshTexts();
    void refreshButtons();
    void rebuildRows();
    void showSelection();
    void rowChosen();

    DeviceViewModel& dv_;
    NormalButton* setPin_;
    NormalButton* changePin_;
    NormalButton* reset_;
    NormalButton* credMgmt_;
    QListWidget* list_;
};
