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
std::size_t countOf(std::string_view text, char c)
{
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), c));
}

constexpr std::string_view numberTemplates[] = {UIStringKey::pinLengthHint, UIStringKey::pinChangeLength,
                                                UIStringKey::itemStatusRetriesLeft, UIStringKey::lvCount};

bool isNumberTemplate(std::string_view key)
{
    return std::find(std::begin(numberTemplates), std::end(numberTemplates), key) != std::end(numberTemplates);
}
} // namespace

// The texts are the tables' keys and must fit the pages: distinct fields, short printable ASCII, and the number
// mark '_' only in the templates that take a number.
TEST(UIStringKey, ShortAsciiTextsWithMarksOnlyInNumberTemplates)
{
    std::set<std::string_view> fields;
    for (const auto& entry : UIStringKey::all) {
        EXPECT_TRUE(fields.insert(entry.field).second) << entry.field;
        EXPECT_LE(entry.text.size(), 52u) << entry.field;
        for (char c : entry.text)
            EXPECT_TRUE(c >= 0x20 && c < 0x7F) << entry.field;
        EXPECT_EQ(countOf(entry.text, '_') > 0, isNumberTemplate(entry.text)) << entry.field;
    }
    EXPECT_EQ(fields.size(), UIStringKey::count);
}

// A field table out of step with the keys would show one text in another's place.
TEST(UIStringVal, FieldsAreInKeyOrder)
{
    const UIStringVal texts;
    const auto& fields = UIStringVal::fields();
    for (std::size_t i = 0; i < UIStringKey::count; ++i)
        EXPECT_EQ(texts.*fields[i], UIStringKey::all[i].text) << UIStringKey::all[i].field;
}

// Every built-in table holds every text, and every number template keeps its marks where they were.
TEST(BuiltInTables, CompleteAndTemplateSafe)
{
    const QtStringTables tables;
    for (Language language : allLanguages) {
        const std::string_view lang = rawValue(language);
        std::set<std::string> distinct;
        for (const auto& entry : UIStringKey::all) {
            const std::optional<std::string> text = tables.translation(lang, entry.text);
            ASSERT_TRUE(text) << lang << ": no entry for \"" << entry.text << "\"";
            EXPECT_FALSE(text->empty()) << lang << ": " << entry.field;
            distinct.insert(*text);
            if (language == Language::EN) {
                EXPECT_EQ(*text, entry.text);
            }
            if (!isNumberTemplate(entry.text)) {
                EXPECT_EQ(countOf(*text, '_'), 0u) << lang << ": " << entry.field;
                continue;
            }
            EXPECT_EQ(countOf(*text, '_'), countOf(entry.text, '_')) << lang << ": " << entry.field;
            EXPECT_EQ(templatePieces(*text).size(), templatePieces(entry.text).size()) << lang << ": " << entry.field;
            EXPECT_EQ(text->front() == '_', entry.text.front() == '_') << lang << ": " << entry.field;
            EXPECT_EQ(text->back() == '_', entry.text.back() == '_') << lang << ": " << entry.field;
        }
        // "Ok" is one key for two fields, so one distinct English text fewer than fields.
        if (language != Language::EN) {
            EXPECT_GT(distinct.size(), 40u) << lang << " looks untranslated";
        }
    }
}

TEST(BuiltInTables, EveryFieldIsTranslatedAndEnglishRestoresTheDefaults)
{
    const UIStringVal english;
    const auto& fields = UIStringVal::fields();
    UIStringVal texts;
    for (const char* lang : {"es", "jp", "cn"}) {
        texts.update(lang);
        std::size_t changed = 0;
        for (const auto field : fields)
            changed += texts.*field != english.*field ? 1 : 0;
        EXPECT_GT(changed, 40u) << lang;
        EXPECT_NE(texts.settingsOk, english.settingsOk) << lang; // translated although no page shows it
    }
    texts.update("en");
    EXPECT_EQ(texts, english);
}

TEST(BuiltInTables, UnknownLanguagesAndKeysFallBackToEnglish)
{
    UIStringVal texts;
    texts.update("ja"); // the ISO code is not one of ours
    EXPECT_EQ(texts, UIStringVal());
    texts.update("");
    EXPECT_EQ(texts, UIStringVal());
    EXPECT_EQ(localizedString("es", "No such text"), "No such text");
    EXPECT_EQ(localizedString("ES", "Settings"), "Settings");
    EXPECT_EQ(localizedString("../i18n/es", "Settings"), "Settings");
}

TEST(Tables, AMissingEntryStaysEnglishAndTheRestIsTranslated)
{
    const QtStringTables tables(MT_PARTIAL_TABLES_DIR);
    UIStringVal texts;
    texts.update("es", tables);
    EXPECT_EQ(texts.itemStatusPinSet, "PIN puesto");
    EXPECT_EQ(texts.topBarTitle, "JOV Marrowtillance");
    EXPECT_EQ(texts.topBarSettings, "Settings");
    EXPECT_EQ(tables.translation("es", "Settings"), std::nullopt);

    texts = UIStringVal();
    texts.update("cn", tables); // no table at all
    EXPECT_EQ(texts, UIStringVal());
}

TEST(Tables, AnUnreadableTableCountsAsMissing)
{
    QTemporaryDir folder;
    ASSERT_TRUE(folder.isValid());
    std::ofstream(folder.filePath("es.qm").toStdString()) << "not a translation table";
    const QtStringTables tables(folder.path().toStdString());
    EXPECT_EQ(tables.localizedString("es", "Settings"), "Settings");
    EXPECT_EQ(tables.translation("es", "Settings"), std::nullopt);
}

TEST(TextTemplates, PiecesDropEmptyParts)
{
    EXPECT_EQ(templatePieces("to_characters"), (std::vector<std::string>{"to", "characters"}));
    EXPECT_EQ(templatePieces("_retries left"), (std::vector<std::string>{"retries left"}));
    EXPECT_EQ(templatePieces("a__b_"), (std::vector<std::string>{"a", "b"}));
    EXPECT_TRUE(templatePieces("").empty());
    EXPECT_TRUE(templatePieces("___").empty());
    EXPECT_EQ(templatePieces("Resident credential counts:_, remains:"),
              (std::vector<std::string>{"Resident credential counts:", ", remains:"}));
}

TEST(TextTemplates, PinLengthTexts)
{
    EXPECT_EQ(pinLengthHintText(UIStringKey::pinLengthHint, 4, 63), "4 to 63 characters");
    EXPECT_EQ(pinLengthMessageText(UIStringKey::pinChangeLength, 4, 63), "PIN length must be 4 to 63 characters");
    EXPECT_EQ(pinLengthHintText("to_characters", 6, 63), "6 to 63 characters");
    // A template with the wrong number of pieces gives nothing rather than a misleading sentence.
    EXPECT_EQ(pinLengthHintText("to characters", 4, 63), "");
    EXPECT_EQ(pinLengthHintText("_x", 4, 63), "");
    EXPECT_EQ(pinLengthHintText("a_b_c", 4, 63), "");
    EXPECT_EQ(pinLengthMessageText("to_characters", 4, 63), "");
    EXPECT_EQ(pinLengthMessageText("", 4, 63), "");
}

TEST(TextTemplates, CredentialCountLine)
{
    EXPECT_EQ(credentialCountText(5, 20, "en"), "Resident credential counts: 5 , remains: 20");
    EXPECT_NE(credentialCountText(5, 20, "cn"), credentialCountText(5, 20, "en"));
    EXPECT_EQ(credentialCountText(5, 20, "xx"), "Resident credential counts: 5 , remains: 20");
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
        {8, true, false, "PIN is set, 8 retries left"},
        {0, true, false, "PIN is set, 0 retries left"},
        {std::nullopt, true, true, "PIN is set, support credential management"}, // the key gave no count
        {0, false, false, "PIN is not set"},
        {8, false, false, "PIN is not set"}, // no PIN, no retries shown
        {0, false, true, "PIN is not set, support credential management"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(deviceStatusText(c.retries, c.pinSet, c.credMgmt, "en"), c.text);
    // In the other languages the line is translated and still carries the number.
    for (const char* lang : {"es", "jp", "cn"}) {
        const std::string text = deviceStatusText(8, true, true, lang);
        EXPECT_NE(text.find(" 8 "), std::string::npos) << lang;
        EXPECT_NE(text, deviceStatusText(8, true, true, "en")) << lang;
    }
}

TEST(DeviceStatusText, OtherRetriesTemplateShapes)
{
    const QtStringTables partial(MT_PARTIAL_TABLES_DIR);
    // Words on both sides of the mark: a comma, the words before it, the number, the words after it.
    EXPECT_EQ(deviceStatusText(8, true, true, "es", partial),
              "PIN puesto, quedan 8 intentos, support credential management");
    // Nothing but marks: the number alone.
    EXPECT_EQ(deviceStatusText(8, true, false, "jp", partial), "PIN is set, 8");
}
