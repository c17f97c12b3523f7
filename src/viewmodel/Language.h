#pragma once

#include <array>
#include <optional>
#include <string_view>

// The UI language. The raw value is both the stored setting and the name of the translation table; "jp" and
// "cn" are the codes the settings have always held, not the ISO ones.
enum class Language {
    EN,
    ES,
    JP,
    CN,
};

inline constexpr std::array<Language, 4> allLanguages = {Language::EN, Language::ES, Language::JP, Language::CN};

std::string_view rawValue(Language language);

// The language whose raw value is exactly text; nothing for any other text (case-sensitive).
std::optional<Language> languageFromRawValue(std::string_view text);

// The name the language button shows: the case name, "EN", "ES", "JP" or "CN" (not the stored code).
std::string_view caseName(Language language);

// The next language of the language button's cycle: EN, ES, JP, CN, then EN again.
Language next(Language language);
