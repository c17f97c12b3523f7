#include "viewmodel/QtStringTables.h"

#include <QFileInfo>
#include <QString>

#include <algorithm>

namespace {
// Language codes name files, so anything but a short lower-case word is refused rather than turned into a path.
bool isLanguageCode(std::string_view lang)
{
    return !lang.empty() && lang.size() <= 8 && std::all_of(lang.begin(), lang.end(), [](char c) {
        return c >= 'a' && c <= 'z';
    });
}
} // namespace

QtStringTables::QtStringTables(std::string folder) : folder_(std::move(folder)) {}

const QTranslator* QtStringTables::table(std::string_view lang) const
{
    if (const auto found = tables_.find(lang); found != tables_.end())
        return found->second.get();

    std::unique_ptr<QTranslator> translator;
    const QString file = QString::fromStdString(folder_) + QLatin1Char('/') +
                         QString::fromLatin1(lang.data(), static_cast<qsizetype>(lang.size())) +
                         QStringLiteral(".qm");
    if (QFileInfo(file).isFile()) {
        translator = std::make_unique<QTranslator>();
        if (!translator->load(file))
            translator.reset();
    }
    const QTranslator* result = translator.get();
    tables_.emplace(std::string(lang), std::move(translator));
    return result;
}

std::optional<std::string> QtStringTables::translation(std::string_view lang, std::string_view key) const
{
    if (!isLanguageCode(lang))
        return std::nullopt;
    const QByteArray source(key.data(), static_cast<qsizetype>(key.size()));
    const std::lock_guard lock(mutex_);
    const QTranslator* translator = table(lang);
    if (!translator)
        return std::nullopt;
    const QString text = translator->translate(context, source.constData());
    if (text.isEmpty())
        return std::nullopt;
    return text.toStdString();
}

std::string QtStringTables::localizedString(std::string_view lang, std::string_view key) const
{
    return translation(lang, key).value_or(std::string(key));
}

const StringTables& defaultStringTables()
{
    static const QtStringTables tables;
    return tables;
}

std::string localizedString(std::string_view lang, std::string_view key)
{
    return defaultStringTables().localizedString(lang, key);
}
