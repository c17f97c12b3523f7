#include "viewmodel/TextTemplates.h"

#include "fido/Utils.h"
#include "viewmodel/UIStringKey.h"

std::vector<std::string> templatePieces(std::string_view templateText)
{
    std::vector<std::string> pieces;
    std::size_t start = 0;
    while (start <= templateText.size()) {
        std::size_t end = templateText.find('_', start);
        if (end == std::string_view::npos)
            end = templateText.size();
        if (end > start)
            pieces.emplace_back(templateText.substr(start, end - start));
        start = end + 1;
    }
    return pieces;
}

std::string pinLengthHintText(std::string_view templateText, std::uint64_t min, std::uint64_t max)
{
    const std::vector<std::string> pieces = templatePieces(templateText);
    if (pieces.size() != 2)
        return {};
    return joinedWithSpace({std::to_string(min), pieces[0], std::to_string(max), pieces[1]});
}

std::string pinLengthMessageText(std::string_view templateText, std::uint64_t min, std::uint64_t max)
{
    const std::vector<std::string> pieces = templatePieces(templateText);
    if (pieces.size() != 3)
        return {};
    return joinedWithSpace({pieces[0], std::to_string(min), pieces[1], std::to_string(max), pieces[2]});
}

std::string credentialCountText(std::uint64_t existing, std::uint64_t remaining, std::string_view lang,
                                const StringTables& tables)
{
    const std::vector<std::string> pieces = templatePieces(tables.localizedString(lang, UIStringKey::lvCount));
    if (pieces.size() != 2)
        return {};
    return joinedWithSpace({pieces[0], std::to_string(existing), pieces[1], std::to_string(remaining)});
}

std::string deviceStatusText(std::optional<std::uint64_t> retries, bool pinPresent, bool hasCredMgmt, std::string_view lang,
                             const StringTables& tables)
{
    std::string text =
        tables.localizedString(lang, pinPresent ? UIStringKey::itemStatusPinSet : UIStringKey::itemStatusPinNotSet);
    if (pinPresent && retries) {
        const std::vector<std::string> pieces =
            templatePieces(tables.localizedString(lang, UIStringKey::itemStatusRetriesLeft));
        const std::string count = std::to_string(*retries);
        if (pieces.size() == 2)
            text += joinedWithSpace({",", pieces[0], count, pieces[1]});
        else if (pieces.empty())
            text += joinedWithSpace({",", count});
        else
            text += joinedWithSpace({",", count, pieces[0]});
    }
    if (hasCredMgmt)
        text += joinedWithSpace({",", tables.localizedString(lang, UIStringKey::itemStatusSupportCredMgmt)});
    return text;
}
