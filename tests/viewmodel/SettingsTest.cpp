#include "support/LogCapture.h"
#include "viewmodel/Language.h"
#include "viewmodel/QSettingsConfig.h"

#include <QSettings>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <fstream>
#include <set>

TEST(Language, CodesReadBackAndTheCycleVisitsEveryLanguage)
{
    std::set<Language> visited;
    Language language = Language::EN;
    for (std::size_t i = 0; i < std::size(allLanguages); ++i) {
        EXPECT_EQ(languageFromRawValue(rawValue(language)), language);
        visited.insert(language);
        language = next(language);
    }
    EXPECT_EQ(language, Language::EN);
    EXPECT_EQ(visited.size(), std::size(allLanguages));
}

TEST(Language, OnlyTheFourExactCodesAreKnown)
{
    for (const char* text : {"", "ja", "zh", "EN", "En", "en ", " en", "english", "e"})
        EXPECT_FALSE(languageFromRawValue(text)) << text;
}

class QSettingsConfigTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(folder.isValid()); }
    std::string file() const { return folder.filePath("settings.ini").toStdString(); }

    QTemporaryDir folder;
};

TEST_F(QSettingsConfigTest, ValuesSurviveANewStore)
{
    {
        QSettingsConfig config(file());
        EXPECT_EQ(config.get(Config::languageKey), "");
        EXPECT_EQ(config.get(Config::advancedModeKey), "");
        config.set(Config::languageKey, "jp");
        config.set(Config::advancedModeKey, "true");
        EXPECT_EQ(config.get(Config::languageKey), "jp");
    }
    QSettingsConfig reopened(file());
    EXPECT_EQ(reopened.get("Language"), "jp");
    EXPECT_EQ(reopened.get("AdvancedMode"), "true");
    reopened.set("Language", "cn");
    EXPECT_EQ(QSettingsConfig(file()).get("Language"), "cn");
}

TEST_F(QSettingsConfigTest, TextsAreStoredUnchanged)
{
    QSettingsConfig config(file());
    for (const char* text : {"", "EN", " en ", "a, b", "true\nfalse", "設定", "=;#[x]"}) {
        config.set("Language", text);
        EXPECT_EQ(QSettingsConfig(file()).get("Language"), text) << text;
    }
}

TEST_F(QSettingsConfigTest, AValueThatIsNotTextReadsAsEmpty)
{
    {
        QSettings raw(folder.filePath("settings.ini"), QSettings::IniFormat);
        raw.setValue("Language", QStringList{"en", "es"});
        raw.setValue("AdvancedMode", 1);
    }
    QSettingsConfig config(file());
    EXPECT_EQ(config.get("Language"), "");
    // A number left under the key reads as its text.
    EXPECT_EQ(config.get("AdvancedMode"), "1");
}

TEST_F(QSettingsConfigTest, AStoreThatCannotBeWrittenIsLogged)
{
    // Its folder would have to be made inside a file.
    std::ofstream(folder.filePath("file").toStdString()) << "x";
    const std::string unwritable = folder.filePath("file/settings.ini").toStdString();
    LogCapture log;
    QSettingsConfig(unwritable).set("Language", "es");
    EXPECT_EQ(log.lines(), std::vector<std::string>{"saveSettings: cannot write " + unwritable + " (no access)"});
}
