#pragma once

#include <memory>
#include <string>
#include <string_view>

// The per-user store of the application's text settings. The application keeps them in QSettings; tests
// hand in a store of their own.
class Config {
public:
    static constexpr std::string_view languageKey = "Language";
    static constexpr std::string_view advancedModeKey = "AdvancedMode";

    // The user's own store of the application, made once, on first use.
    static const std::shared_ptr<Config>& defaults();

    virtual ~Config() = default;

    virtual void set(std::string_view key, std::string_view value) = 0;
    // The text stored under key; "" when the key holds no text.
    virtual std::string get(std::string_view key) const = 0;
};
