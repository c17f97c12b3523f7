#pragma once

#include <QWidget>

class DeviceViewModel;

class PinPage : public QWidget {
    Q_OBJECT

public:
    explicit PinPage(DeviceViewModel& dv, QWidget* parent = nullptr);

private:
    DeviceViewModel& dv_;
};
