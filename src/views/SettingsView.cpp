#include "views/SettingsView.h"

#include "viewmodel/DeviceViewModel.h"
#include "views/CheckBoxStyle.h"
#include "views/NormalButton.h"
#include "views/Palette.h"

#include <QVBoxLayout>

SettingsView::SettingsView(DeviceViewModel& dv, QWidget* parent) : QWidget(parent), dv_(dv)
{
    setObjectName("settingsPage");
    setFixedSize(1024, 420);
    advancedMode_ = new CheckBoxStyle(Palette::font(20), this);
    advancedMode_->setObjectName("advancedModeCheckBox");
    ok_ = new NormalButton({}, 150, [&dv] { dv.saveAdvancedMode(); }, this);
    ok_->setObjectName("okButton");
    setFocusProxy(advancedMode_);
    auto* column = new QVBoxLayout(this);
    column->addStretch();
    column->addWidget(advancedMode_, 0, Qt::AlignHCenter);
    column->addSpacing(50);
    column->addWidget(ok_, 0, Qt::AlignHCenter);
    column->addStretch();

    connect(advancedMode_, &CheckBoxStyle::flipRequested, &dv, &DeviceViewModel::setAdvancedMode);
    for (auto signal : {&DeviceViewModel::advancedModeChanged, &DeviceViewModel::uiStrChanged})
        connect(&dv, signal, this, &SettingsView::refresh);
    refresh();
}

void SettingsView::refresh()
{
    advancedMode_->setText(QString::fromStdString(dv_.uiStr().settingsAdvancedMode));
    advancedMode_->setValue(dv_.advancedMode());
    advancedMode_->setFixedSize(std::min(advancedMode_->sizeHint().width(), 500), advancedMode_->sizeHint().height());
    ok_->setText(QString::fromStdString(dv_.uiStr().pinOk));
}
