#include "support/LogCapture.h"
#include "viewmodel/Language.h"
#include "viewmodel/QSettingsConfig.h"

#include <QSettings>
#include <QTemporaryDir>

#include <gtest/gtest.h>

TEST(Language, OnlyTheFourExactCodesAreKnown)
{
    for (const char* text : {"", "ja", "zh", "EN", "En", "en ", " en", "english", "e"})
        EXPECT_FALSE(languageFromRawValue(text)) << text;
}

// A value survives into a new store unchanged, whatever it holds; a value that is not text reads as empty, a number
// as its text; a store that cannot be written is logged.
TEST(QSettingsConfig, ValuesSurviveUnchangedAndAFailedWriteIsLogged)
{
    QTemporaryDir folder;
    const std::string file = folder.filePath("settings.ini").toStdString();
    EXPECT_EQ(QSettingsConfig(file).get(Config::advancedModeKey), "");
    for (const char* text : {"jp", "", "EN", " en ", "a, b", "true\nfalse", "設定", "=;#[x]"}) {
        QSettingsConfig(file).set(Config::languageKey, text);
        EXPECT_EQ(QSettingsConfig(file).get("Language"), text) << text;
    }
    {
        QSettings raw(QString::fromStdString(file), QSettings::IniFormat);
        raw.setValue("Language", QStringList{"en", "es"});
        raw.setValue("AdvancedMode", 1);
    }
    EXPECT_EQ(QSettingsConfig(file).get("Language"), "");
    EXPECT_EQ(QSettingsConfig(file).get("AdvancedMode"), "1");

    const std::string unwritable = file + "/settings.ini"; // its folder would have to be made inside a file
    LogCapture log;
    QSettingsConfig(unwritable).set("Language", "es");
    EXPECT_EQ(log.lines(), std::vector<std::string>{"saveSettings: cannot write " + unwritable + " (no access)"});
}
