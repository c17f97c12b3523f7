#include "viewmodel/DeviceViewModel.h"

#include "viewmodel/WorkspaceActions.h"

void DeviceViewModel::initLanguage()
{
    loadLanguage();
    applyLanguage();
}

void DeviceViewModel::loadLanguage()
{
    setLanguage(languageFromRawValue(config_->get(Config::languageKey)).value_or(Language::EN));
}

void DeviceViewModel::applyLanguage()
{
    UIStringVal texts = uiStr_;
    texts.update(rawValue(language_), *stringTables_);
    setUiStr(texts);
    saveLanguage();
    if (pinViewVisible_)
        updatePinLengthHint();
    if (credMgmtViewVisible_)
        updateCredMgmtCountInfo();
}

void DeviceViewModel::saveLanguage()
{
    const std::string_view code = rawValue(language_);
    if (config_->get(Config::languageKey) != code)
        config_->set(Config::languageKey, code);
}

void DeviceViewModel::switchLanguage()
{
    setLanguage(next(language_));
    applyLanguage();
}

void DeviceViewModel::loadAdvancedMode()
{
    setAdvancedModeValue(config_->get(Config::advancedModeKey) == "true");
}

void DeviceViewModel::saveAdvancedMode()
{
    const std::string value = advancedMode_ ? "true" : "false";
    if (config_->get(Config::advancedModeKey) != value)
        config_->set(Config::advancedModeKey, value);
    setCurrentView(View::deviceList);
}

void DeviceViewModel::setSettingsViewVisible(bool visible)
{
    setSettingsViewVisibleFlag(visible);
}

void DeviceViewModel::showSettings()
{
    switchViewUnlessBusy(View::settings);
}

void DeviceViewModel::openOtpApp()
{
    openApp(*workspace_, otpAppName, otpAppFolder);
}

void DeviceViewModel::openUserManual()
{
    ::openUserManual(*workspace_);
}
