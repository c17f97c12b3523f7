#include "viewmodel/Language.h"

std::string_view rawValue(Language language)
{
    switch (language) {
    case Language::EN: return "en";
    case Language::ES: return "es";
    case Language::JP: return "jp";
    case Language::CN: return "cn";
    }
    return "en";
}

std::string_view caseName(Language language)
{
    switch (language) {
    case Language::EN: return "EN";
    case Language::ES: return "ES";
    case Language::JP: return "JP";
    case Language::CN: return "CN";
    }
    return "EN";
}

std::optional<Language> languageFromRawValue(std::string_view text)
{
    for (Language language : allLanguages) {
        if (rawValue(language) == text)
            return language;
    }
    return std::nullopt;
}

Language next(Language language)
{
    switch (language) {
    case Language::EN: return Language::ES;
    case Language::ES: return Language::JP;
    case Language::JP: return Language::CN;
    case Language::CN: return Language::EN;
    }
    return Language::EN;
}
