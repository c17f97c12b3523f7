#pragma once

#include <QWidget>

class CheckBox;
class DeviceViewModel;
class NormalButton;

// The page of the one setting, Advanced Mode: a check box that changes the setting at once, and OK, which
// stores it and goes back to the device list.
class SettingsPage : public QWidget {
    Q_OBJECT

public:
    explicit SettingsPage(DeviceViewModel& dv, QWidget* parent = nullptr);

private:
    void refresh();

    DeviceViewModel& dv_;
    CheckBox* advancedMode_;
    NormalButton* ok_;
};
