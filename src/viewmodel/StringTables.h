#pragma once

#include <string>
#include <string_view>

// The translations of the UI texts, one table per language code, keyed by the English text.
class StringTables {
public:
    virtual ~StringTables() = default;

    // The translation of key in the table of lang; key itself when there is no such table or entry.
    virtual std::string localizedString(std::string_view lang, std::string_view key) const = 0;
};

// The tables built into the application.
const StringTables& defaultStringTables();

// The one lookup of the application, on the built-in tables.
std::string localizedString(std::string_view lang, std::string_view key);
