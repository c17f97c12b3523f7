#pragma once

#include <QWidget>

class DeviceViewModel;

class SettingsPage : public QWidget {
    Q_OBJECT

public:
    explicit SettingsPage(DeviceViewModel& dv, QWidget* parent = nullptr);

private:
    DeviceViewModel& dv_;
};
