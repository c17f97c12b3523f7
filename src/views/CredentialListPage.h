#pragma once

#include <QWidget>

class DeviceViewModel;

class CredentialListPage : public QWidget {
    Q_OBJECT

public:
    explicit CredentialListPage(DeviceViewModel& dv, QWidget* parent = nullptr);

private:
    DeviceViewModel& dv_;
};
