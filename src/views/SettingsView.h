#pragma once

#include <QWidget>

class CheckBoxStyle;
class DeviceViewModel;
class NormalButton;

// The page of the one setting, Advanced Mode: a check box that changes the setting at once, and OK, which
// stores it and goes back to the device list.
class SettingsView : public QWidget {
    Q_OBJECT

public:
    explicit SettingsView(DeviceViewModel& dv, QWidget* parent = nullptr);

private:
    void refresh();

    DeviceViewModel& dv_;
    CheckBoxStyle* advancedMode_;
    NormalButton* ok_;
};
