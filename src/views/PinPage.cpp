#include "views/PinPage.h"

#include "viewmodel/DeviceViewModel.h"

PinPage::PinPage(DeviceViewModel& dv, QWidget* parent) : QWidget(parent), dv_(dv)
{
    setFixedSize(1024, 420);
}
