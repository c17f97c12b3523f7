#include "views/SettingsPage.h"

#include "viewmodel/DeviceViewModel.h"

SettingsPage::SettingsPage(DeviceViewModel& dv, QWidget* parent) : QWidget(parent), dv_(dv)
{
    setFixedSize(1024, 420);
}
