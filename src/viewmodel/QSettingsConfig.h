#pragma once

#include "viewmodel/Config.h"

#include <QSettings>

#include <memory>
#include <mutex>
#include <string>
#include <string_view>

// The settings in the user's own QSettings store (organisation "JOV", application "Marrowtillance"), or in
// one INI file named by the caller.
class QSettingsConfig final : public Config {
public:
    QSettingsConfig();
    explicit QSettingsConfig(const std::string& iniFile);

    void set(std::string_view key, std::string_view value) override;
    std::string get(std::string_view key) const override;

private:
    mutable std::mutex mutex_;
    std::unique_ptr<QSettings> settings_;
};
