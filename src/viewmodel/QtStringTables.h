#pragma once

#include "viewmodel/StringTables.h"

#include <QTranslator>

#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

// Tables compiled from Qt translation sources: the file "<lang>.qm" in one folder (by default the built-in
// resource folder ":/i18n"), its messages in the context "UIString". A table is loaded on first use and kept.
class QtStringTables final : public StringTables {
public:
    static constexpr const char* context = "UIString";
    static constexpr std::string_view builtInFolder = ":/i18n";

    explicit QtStringTables(std::string folder = std::string(builtInFolder));

    std::string localizedString(std::string_view lang, std::string_view key) const override;

    // The entry for key in the table of lang; nothing when there is no such table or entry.
    std::optional<std::string> translation(std::string_view lang, std::string_view key) const;

private:
    const QTranslator* table(std::string_view lang) const;

    std::string folder_;
    mutable std::mutex mutex_;
    // A null translator records a language without a table, so the folder is not searched again.
    mutable std::map<std::string, std::unique_ptr<QTranslator>, std::less<>> tables_;
};
