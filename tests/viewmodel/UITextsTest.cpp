#include "viewmodel/Language.h"
#include "viewmodel/QtStringTables.h"
#include "viewmodel/TextTemplates.h"
#include "viewmodel/UIStringKey.h"
#include "viewmodel/UIStringVal.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <fstream>
#include <set>

namespace {
std::size_t marks(std::string_view text)
{
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), '_'));
}
} // namespace

// Every built-in table holds every text, translated, and a number template keeps its marks where they were (a
// mark lost or moved would print a number in the wrong place, or none).
TEST(BuiltInTables, CompleteAndTemplateSafe)
{
    const QtStringTables tables;
    for (Language language : allLanguages) {
        const std::string_view lang = rawValue(language);
        std::set<std::string> distinct;
        for (const auto& entry : UIStringKey::all) {
            const std::optional<std::string> text = tables.translation(lang, entry.text);
            ASSERT_TRUE(text && !text->empty()) << lang << ": no entry for \"" << entry.text << "\"";
            distinct.insert(*text);
            EXPECT_EQ(marks(*text), marks(entry.text)) << lang << ": " << entry.field;
            EXPECT_EQ(templatePieces(*text).size(), templatePieces(entry.text).size()) << lang << ": " << entry.field;
            EXPECT_EQ(text->front() == '_', entry.text.front() == '_') << lang << ": " << entry.field;
        }
        EXPECT_GT(distinct.size(), 40u) << lang;
    }
    UIStringVal texts;
    texts.update("jp");
    EXPECT_NE(texts, UIStringVal());
    texts.update("en");
    EXPECT_EQ(texts, UIStringVal());
}

TEST(Tables, MissingTablesEntriesAndLanguagesFallBackToEnglish)
{
    UIStringVal texts;
    for (const char* lang : {"ja", "", "ES", "../i18n/es"}) {
        texts.update(lang);
        EXPECT_EQ(texts, UIStringVal()) << lang;
    }
    EXPECT_EQ(localizedString("es", "No such text"), "No such text");

    const QtStringTables partial(MT_PARTIAL_TABLES_DIR);
    texts.update("es", partial);
    EXPECT_EQ(texts.itemStatusPinSet, "PIN puesto");
    EXPECT_EQ(texts.topBarSettings, "Settings");
    texts = UIStringVal();
    texts.update("cn", partial); // no table at all
    EXPECT_EQ(texts, UIStringVal());

    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    std::ofstream(folder.filePath("es.qm").toStdString()) << "not a translation table";
    EXPECT_EQ(QtStringTables(folder.path().toStdString()).translation("es", "Settings"), std::nullopt);
}

TEST(TextTemplates, PiecesAndNumbers)
{
    EXPECT_EQ(templatePieces("a__b_"), (std::vector<std::string>{"a", "b"}));
    EXPECT_TRUE(templatePieces("___").empty());
    EXPECT_EQ(pinLengthHintText(UIStringKey::pinLengthHint, 6, 63), "6 to 63 characters");
    EXPECT_EQ(pinLengthMessageText(UIStringKey::pinChangeLength, 4, 63), "PIN length must be 4 to 63 characters");
    // A template with the wrong number of pieces gives nothing rather than a misleading sentence.
    for (const char* wrong : {"to characters", "_x", "a_b_c"})
        EXPECT_EQ(pinLengthHintText(wrong, 4, 63), "") << wrong;
    EXPECT_EQ(pinLengthMessageText("to_characters", 4, 63), "");
    EXPECT_EQ(credentialCountText(5, 20, "en"), "Resident credential counts: 5 , remains: 20");
    EXPECT_NE(credentialCountText(5, 20, "cn"), credentialCountText(5, 20, "en"));
    const QtStringTables partial(MT_PARTIAL_TABLES_DIR);
    EXPECT_EQ(credentialCountText(5, 20, "es", partial), ""); // "_x" has one piece
}

TEST(DeviceStatusText, EachPartAndEachLanguage)
{
    struct Case {
        std::optional<std::uint64_t> retries;
        bool pinSet;
        bool credMgmt;
        const char* text;
    };
    const Case cases[] = {
        {8, true, true, "PIN is set, 8 retries left, support credential management"},
        {0, true, false, "PIN is set, 0 retries left"},
        {std::nullopt, true, true, "PIN is set, support credential management"}, // the key gave no count
        {8, false, false, "PIN is not set"},                                    // no PIN, no retries shown
        {0, false, true, "PIN is not set, support credential management"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(deviceStatusText(c.retries, c.pinSet, c.credMgmt, "en"), c.text);
    for (const char* lang : {"es", "jp", "cn"})
        EXPECT_NE(deviceStatusText(8, true, true, lang).find(" 8 "), std::string::npos) << lang;
    const QtStringTables partial(MT_PARTIAL_TABLES_DIR);
    // Words on both sides of the mark: a comma, the words before it, the number, the words after it.
    EXPECT_EQ(deviceStatusText(8, true, true, "es", partial),
              "PIN puesto, quedan 8 intentos, support credential management");
    // Nothing but marks: the number alone.
    EXPECT_EQ(deviceStatusText(8, true, false, "jp", partial), "PIN is set, 8");
}
