#pragma once

#include "viewmodel/StringTables.h"
#include "viewmodel/UIStringKey.h"

#include <array>
#include <string>
#include <string_view>

// Every UI text in the current language, one field per UIStringKey constant and in the same order. A new
// value holds the English texts.
struct UIStringVal {
#define MT_UI_STRING_FIELD(field, text) std::string field{text};
    MT_UI_STRINGS(MT_UI_STRING_FIELD)
#undef MT_UI_STRING_FIELD

    using Field = std::string UIStringVal::*;
    // The fields in the order of UIStringKey::all.
    static const std::array<Field, UIStringKey::count>& fields();

    // Each field becomes the translation of its English text in the table of lang (English where missing).
    void update(std::string_view lang, const StringTables& tables = defaultStringTables());

    bool operator==(const UIStringVal& other) const = default;
};
