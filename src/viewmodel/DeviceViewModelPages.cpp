#include "viewmodel/DeviceViewModel.h"

std::optional<DeviceViewModel::View> DeviceViewModel::viewFromRawValue(int raw)
{
    if (raw < static_cast<int>(View::deviceList) || raw > static_cast<int>(View::credMgmt))
        return std::nullopt;
    return static_cast<View>(raw);
}

void DeviceViewModel::setCurrentView(View view)
{
    currentView_ = view;
    showView(view);
}

void DeviceViewModel::showView(View view)
{
    if (view != View::deviceList)
        setDeviceListViewVisible(false);
    if (view != View::pin)
        setPinViewVisible(false);
    if (view != View::settings)
        setSettingsViewVisible(false);
    if (view != View::credMgmt)
        setCredMgmtViewVisible(false);
    switch (view) {
    case View::deviceList: setDeviceListViewVisible(true); break;
    case View::pin: setPinViewVisible(true); break;
    case View::settings: setSettingsViewVisible(true); break;
    case View::credMgmt: setCredMgmtViewVisible(true); break;
    }
}

void DeviceViewModel::switchViewUnlessBusy(View view)
{
    if (!busy_)
        setCurrentView(view);
}

void DeviceViewModel::presentMessageBox(std::string title, std::string message, std::string ok,
                                        std::optional<std::string> cancel, std::function<void()> callback)
{
    runOnMain([this, title = std::move(title), message = std::move(message), ok = std::move(ok),
               cancel = std::move(cancel), callback = std::move(callback)]() mutable {
        messageBoxInfo_ = MessageBoxInfo{std::move(title),   std::move(message), std::move(ok), std::move(cancel), true,
                                         std::move(callback)};
        emit messageBoxInfoChanged();
        setShowMessageBox(true);
    });
}

void DeviceViewModel::showNotice(std::string title, std::string message)
{
    presentMessageBox(std::move(title), std::move(message), uiStr_.pinOk, std::nullopt, {});
}

void DeviceViewModel::closeMessageBox(bool okPressed)
{
    if (!showMessageBox_)
        return;
    messageBoxInfo_.result = okPressed;
    setShowMessageBox(false);
    if (auto callback = messageBoxInfo_.callback)
        callback();
}
