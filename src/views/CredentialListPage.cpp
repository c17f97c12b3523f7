#include "views/CredentialListPage.h"

#include "viewmodel/DeviceViewModel.h"

CredentialListPage::CredentialListPage(DeviceViewModel& dv, QWidget* parent) : QWidget(parent), dv_(dv)
{
    setFixedSize(1024, 420);
}
