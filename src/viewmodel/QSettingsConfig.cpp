#include "viewmodel/QSettingsConfig.h"

#include "platform/Log.h"

#include <QString>
#include <QVariant>

namespace {
QString toQString(std::string_view text)
{
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}
} // namespace

const std::shared_ptr<Config>& Config::defaults()
{
    static const std::shared_ptr<Config> store = std::make_shared<QSettingsConfig>();
    return store;
}

QSettingsConfig::QSettingsConfig()
    : settings_(std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("JOV"),
                                            QStringLiteral("Marrowtillance")))
{
}

QSettingsConfig::QSettingsConfig(const std::string& iniFile)
    : settings_(std::make_unique<QSettings>(QString::fromStdString(iniFile), QSettings::IniFormat))
{
}

void QSettingsConfig::set(std::string_view key, std::string_view value)
{
    const std::lock_guard lock(mutex_);
    settings_->setValue(toQString(key), toQString(value));
    // Written through at once, so a choice survives the process ending without a clean exit.
    settings_->sync();
    if (settings_->status() != QSettings::NoError)
        logLine("saveSettings: cannot write " + settings_->fileName().toStdString() +
                (settings_->status() == QSettings::AccessError ? " (no access)" : " (malformed file)"));
}

std::string QSettingsConfig::get(std::string_view key) const
{
    const std::lock_guard lock(mutex_);
    const QVariant value = settings_->value(toQString(key));
    // A number or flag left under the key reads as its text; lists and other structures are no setting.
    switch (value.typeId()) {
    case QMetaType::QString:
    case QMetaType::Bool:
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
    case QMetaType::Double: return value.toString().toStdString();
    default: return {};
    }
}
