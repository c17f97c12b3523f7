#include "viewmodel/Language.h"
#include "viewmodel/QtStringTables.h"
#include "viewmodel/TextTemplates.h"
#include "viewmodel/UIStringKey.h"
#include "viewmodel/UIStringVal.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <fstream>
#include <set>

// Every built-in table holds every text, translated, and a number template keeps its marks where they were (a
// mark lost or moved would print a number in the wrong place, or none).
TEST(BuiltInTables, CompleteAndTemplateSafe)
{
    const auto marks = [](std::string_view text) { return std::count(text.begin(), text.end(), '_'); };
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
}

// A missing or unreadable table, a missing entry and an unknown language all give English.
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
    EXPECT_TRUE(texts.itemStatusPinSet == "PIN puesto" && texts.topBarSettings == "Settings");
    texts = UIStringVal();
    texts.update("cn", partial); // no table at all
    EXPECT_EQ(texts, UIStringVal());
    QTemporaryDir folder;
    std::ofstream(folder.filePath("es.qm").toStdString()) << "not a translation table";
    EXPECT_EQ(QtStringTables(folder.path().toStdString()).translation("es", "Settings"), std::nullopt);
}

// A number goes where its template's mark is, with the words on both sides; a template with the wrong number of
// pieces gives nothing rather than a misleading sentence; a status without a retry count leaves the count out.
TEST(TextTemplates, NumbersGoWhereTheMarksAre)
{
    for (const char* wrong : {"to characters", "_x", "a_b_c"})
        EXPECT_EQ(pinLengthHintText(wrong, 4, 63), "") << wrong;
    EXPECT_EQ(pinLengthMessageText("to_characters", 4, 63), "");
    const QtStringTables partial(MT_PARTIAL_TABLES_DIR);
    EXPECT_EQ(credentialCountText(5, 20, "es", partial), ""); // "_x" has one piece

    // retries, PIN set, credential management, the status
    const std::tuple<std::optional<std::uint64_t>, bool, bool, const char*> cases[] = {
        {8, true, true, "PIN is set, 8 retries left, support credential management"},
        {0, true, false, "PIN is set, 0 retries left"},
        {std::nullopt, true, true, "PIN is set, support credential management"},
        {8, false, false, "PIN is not set"},
        {0, false, true, "PIN is not set, support credential management"},
    };
    for (const auto& [retries, pinSet, credMgmt, text] : cases)
        EXPECT_EQ(deviceStatusText(retries, pinSet, credMgmt, "en"), text);
    for (const char* lang : {"es", "jp", "cn"})
        EXPECT_NE(deviceStatusText(8, true, true, lang).find(" 8 "), std::string::npos) << lang;
    EXPECT_EQ(deviceStatusText(8, true, true, "es", partial), "PIN puesto, quedan 8 intentos, support credential management");
    EXPECT_EQ(deviceStatusText(8, true, false, "jp", partial), "PIN is set, 8"); // nothing but marks: the number
}
