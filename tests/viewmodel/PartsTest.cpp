// The view model's parts that need no key: its texts, settings, records of keys, and the desktop it opens things on.
#include "RecordingWorkspace.h"
#include "support/LogCapture.h"
#include "viewmodel/DesktopWorkspace.h"
#include "viewmodel/Device.h"
#include "viewmodel/DeviceViewModel.h"
#include "viewmodel/JOVFidoDevice.h"
#include "viewmodel/Language.h"
#include "viewmodel/QSettingsConfig.h"
#include "viewmodel/QtStringTables.h"
#include "viewmodel/RpItem.h"
#include "viewmodel/TextTemplates.h"
#include "viewmodel/UIStringKey.h"
#include "viewmodel/UIStringVal.h"
#include "viewmodel/WorkspaceActions.h"

#include <QSettings>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <unordered_set>

namespace fs = std::filesystem;

// Every built-in table holds every text, translated (the English one: the text itself), and a number template keeps
// its marks where they were (a mark lost or moved would print a number in the wrong place, or none).
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
            EXPECT_EQ(text->back() == '_', entry.text.back() == '_') << lang << ": " << entry.field;
            if (language == Language::EN) {
                EXPECT_EQ(*text, entry.text) << entry.field;
            }
        }
        EXPECT_GT(distinct.size(), 40u) << lang;
    }
}

// A language change replaces every field (settingsOk too, which no page shows), and English brings back the texts
// a new value starts with.
TEST(BuiltInTables, EveryFieldIsTranslatedAndEnglishRestoresTheDefaults)
{
    const UIStringVal english;
    UIStringVal texts;
    for (const char* lang : {"es", "jp", "cn"}) {
        texts.update(lang);
        std::size_t changed = 0;
        for (const auto field : UIStringVal::fields())
            changed += texts.*field != english.*field ? 1 : 0;
        EXPECT_GT(changed, 40u) << lang;
        EXPECT_NE(texts.settingsOk, english.settingsOk) << lang;
    }
    texts.update("en");
    EXPECT_EQ(texts, english);
}

// A missing or unreadable table, a missing entry and an unknown language give English; a template with the wrong
// number of pieces gives nothing rather than a misleading sentence; a number goes where its mark is, with the words
// on both sides, and a status without a retry count leaves the count out.
TEST(Tables, MissingTextsFallBackToEnglishAndNumbersGoWhereTheMarksAre)
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

    // Empty pieces are dropped wherever they are.
    EXPECT_EQ(templatePieces("a__b_"), (std::vector<std::string>{"a", "b"}));
    EXPECT_TRUE(templatePieces("").empty() && templatePieces("___").empty());
    for (const char* wrong : {"to characters", "_x", "a_b_c"})
        EXPECT_EQ(pinLengthHintText(wrong, 4, 63), "") << wrong;
    EXPECT_EQ(pinLengthMessageText("to_characters", 4, 63), "");
    EXPECT_EQ(credentialCountText(5, 20, "es", partial), ""); // "_x" has one piece
    // The count line and the status line are built in the language asked for, English for an unknown one.
    EXPECT_EQ(credentialCountText(5, 20, "xx"), "Resident credential counts: 5 , remains: 20");
    EXPECT_NE(credentialCountText(5, 20, "cn"), credentialCountText(5, 20, "en"));
    for (const char* lang : {"es", "jp", "cn"}) {
        const std::string text = deviceStatusText(8, true, true, lang);
        EXPECT_TRUE(text.find(" 8 ") != std::string::npos && text != deviceStatusText(8, true, true, "en")) << lang;
    }
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
    EXPECT_EQ(deviceStatusText(8, true, false, "es", partial), "PIN puesto, quedan 8 intentos");
    EXPECT_EQ(deviceStatusText(8, true, false, "jp", partial), "PIN is set, 8"); // nothing but marks: the number
}

// A value survives into a new store unchanged, whatever it holds, but only the four exact codes are languages; a
// value that is not text reads as empty, a number as its text; a store that cannot be written is logged.
TEST(Settings, ValuesSurviveUnchangedAndAFailedWriteIsLogged)
{
    QTemporaryDir folder;
    const std::string file = folder.filePath("settings.ini").toStdString();
    EXPECT_EQ(QSettingsConfig(file).get(Config::advancedModeKey), "");
    for (const char* text :
         {"jp", "", "ja", "zh", "EN", "En", "en ", " en", "e", "a, b", "true\nfalse", "設定", "=;#[x]"}) {
        QSettingsConfig(file).set(Config::languageKey, text);
        EXPECT_EQ(QSettingsConfig(file).get("Language"), text) << text;
        EXPECT_EQ(languageFromRawValue(text).has_value(), text == std::string("jp")) << text;
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

// Each language's code reads back as that language, and the button's cycle visits all four before it comes back.
TEST(Settings, CodesReadBackAndTheCycleVisitsEveryLanguage)
{
    std::set<Language> visited;
    Language language = Language::EN;
    for (std::size_t i = 0; i < allLanguages.size(); ++i) {
        EXPECT_EQ(languageFromRawValue(rawValue(language)), language);
        visited.insert(language);
        language = next(language);
    }
    EXPECT_EQ(language, Language::EN);
    EXPECT_EQ(visited.size(), allLanguages.size());
}

// Near misses of the raw names are other keys: they keep their own name and get the USB key's picture.
TEST(Records, NearMissesOfTheRawNamesAreOtherKeysAndDevicesCompareByIdentityOrReader)
{
    for (const char* raw : {"kwo fido", "KWO FIDO ", " KWO FIDO", "0e783381024a4f56204b574f3032",
                            "0E783381024A4F56204B574F30", ""}) {
        EXPECT_FALSE(jovFidoDeviceFromRawValue(raw)) << raw;
        EXPECT_EQ(displayName(raw), raw);
        EXPECT_EQ(imageName(raw), imageName(displayName("KWO FIDO")));
    }
    // A re-plugged key is another device even on the same node (a Device compares only the handle's identity); a
    // card is its reader; the two never match.
    const auto storage = std::make_shared<int>(0);
    const auto key = std::shared_ptr<HidDevice>(storage, reinterpret_cast<HidDevice*>(storage.get()));
    const auto twin = std::shared_ptr<HidDevice>(storage, reinterpret_cast<HidDevice*>(storage.get() + 1));
    EXPECT_TRUE(Device::isSame(Device::hidDevice(key), Device::hidDevice(key)));
    EXPECT_FALSE(Device::isSame(Device::hidDevice(key), Device::hidDevice(twin)));
    EXPECT_TRUE(Device::isSame(Device::pcscDevice("Virtual PCD 00 00"), Device::pcscDevice("Virtual PCD 00 00")));
    EXPECT_FALSE(Device::isSame(Device::pcscDevice("Virtual PCD 00 00"), Device::pcscDevice("virtual pcd 00 00")));
    // Hashes agree with equality.
    const std::unordered_set<Device> devices{Device::hidDevice(key), Device::hidDevice(key), Device::hidDevice(twin),
                                             Device::pcscDevice("Virtual PCD 00 00"),
                                             Device::pcscDevice("Virtual PCD 00 00")};
    EXPECT_EQ(devices.size(), 3u);
    EXPECT_TRUE(devices.contains(Device::hidDevice(key)) && devices.contains(Device::pcscDevice("Virtual PCD 00 00")));
    EXPECT_FALSE(devices.contains(Device::pcscDevice("Virtual PCD 00 01")));
    EXPECT_FALSE(Device::isSame(Device(), Device::pcscDevice("")));
}

// A credential's row shows its IDs as upper-case hex and its user by name (not the display name); two credentials of
// one relying party are two rows of the same party. A row is known by its credential ID alone, ticked or not.
// A card's picture follows the key's display name: the NFC card has its own, every other key gets the USB key's.
TEST(Records, TheViewModelNamesEachCardsPicture)
{
    EXPECT_EQ(DeviceViewModel::imageName("Tallowfin NFC Card"), "TallowfinNFC");
    for (const char* name : {"Tallowfin", "Tallowfin NFC card", "Tallowfin NFC Card ", "Another Key", ""})
        EXPECT_EQ(DeviceViewModel::imageName(name), "Tallowfin") << name;
}

TEST(Records, CredentialRowsAreKnownByTheirCredentialIdOnly)
{
    const RpInfo rp{"example.com", "Example", {0xA3, 0x79, 0x0F}};
    CredentialInfo alice, bob;
    alice.userEntity = {{1, 2, 3}, "alice", "", "Alice A."};
    alice.publicKeyCredentialDescriptor = {{0x01, 0x02, 0xAA, 0xBB}, "public-key"};
    bob.userEntity = {{4}, "bob", "", "Bob"};
    bob.publicKeyCredentialDescriptor = {{0x01, 0x02, 0xAA, 0xBC}, "public-key"};
    const RpItem row(rp, alice), other(rp, bob);
    EXPECT_EQ(std::tie(row.id, row.name, row.idHash, row.userName, row.credentialId, row.credType),
              std::tie("example.com", "Example", "A3790F", "alice", "0102AABB", "public-key"));
    EXPECT_TRUE(row.userId == Bytes({1, 2, 3}) && !row.isChecked);
    EXPECT_TRUE(other.idHash == row.idHash && other.credentialId == "0102AABC");

    RpItem ticked = row;
    ticked.isChecked = true;
    ticked.name = "example.com";
    EXPECT_EQ(row, ticked);
    EXPECT_EQ(std::hash<RpItem>{}(row), std::hash<RpItem>{}(ticked));
    EXPECT_NE(row, other);
    EXPECT_EQ((std::unordered_set<RpItem>{row, ticked, other}).size(), 2u);
}

TEST(Records, PagesFromRawValuesAreTheFourOnly)
{
    using View = DeviceViewModel::View;
    const std::pair<int, std::optional<View>> cases[] = {
        {-1, std::nullopt}, {0, View::deviceList}, {1, View::pin},
        {2, View::settings}, {3, View::credMgmt}, {4, std::nullopt},
    };
    for (const auto& [raw, view] : cases)
        EXPECT_EQ(DeviceViewModel::viewFromRawValue(raw), view) << raw;
}

// The companion starts from its vendor's folder; the manual is the first USR-KWO*.pdf at the top of the resources;
// every way either fails is logged with its reason.
TEST(Workspace, HelpAndOtpOpenWhatTheyShouldOrSayWhyNot)
{
    QTemporaryDir temp;
    const fs::path root = temp.path().toStdString(), share = root / "share";
    const fs::path otp = root / "JOV Fido Tools" / "Tallowfin-OTP";
    const std::string manual = "openUserManual: ";
    const auto openOtpApp = [](Workspace& w) { openApp(w, otpAppName, otpAppFolder); };
    // files in the resources, whether the folders are known, the desktop's refusal, the action, the line logged
    // (empty: none), what the desktop was asked to open (empty: nothing)
    using Case = std::tuple<std::vector<fs::path>, bool, const char*, void (*)(Workspace&), std::string, fs::path>;
    const Case cases[] = {
        {{}, true, nullptr, openOtpApp, "", otp},
        {{}, false, nullptr, openOtpApp, "Failed to retrieve the Applications folder URL.", {}},
        {{}, true, "gone", openOtpApp, "openApp: gone", otp},
        {{"USR-KWO-Tallowfin-EN.pdf"}, true, nullptr, openUserManual, "", share / "USR-KWO-Tallowfin-EN.pdf"},
        {{"USR-KWO.pdf"}, false, nullptr, openUserManual, manual + "the application's data folder is missing", {}},
        // A wrong ending, a wrong beginning, a path that begins with "docs/".
        {{"USR-KWO-guide.txt", "manual-USR-KWO.pdf", "docs/USR-KWO-inner.pdf"}, true, nullptr, openUserManual,
         manual + "no USR-KWO*.pdf in " + share.string(), {}},
        // Ends in "pdf" without the extension, so the manual's file "USR-KWOpdf.pdf" does not exist.
        {{"USR-KWOpdf"}, true, nullptr, openUserManual, manual + share.string() + "/USR-KWOpdf.pdf is no file", {}},
        {{"USR-KWO.pdf"}, true, "no opener", openUserManual, manual + "no opener", share / "USR-KWO.pdf"},
    };
    for (const auto& [files, folders, refusal, action, line, asked] : cases) {
        SCOPED_TRACE(line + " " + asked.string());
        fs::remove_all(share);
        for (const fs::path& file : files) {
            fs::create_directories((share / file).parent_path());
            std::ofstream(share / file) << "%PDF-1.4\n";
        }
        RecordingWorkspace w;
        if (folders) {
            w.applications = root;
            w.resources = share;
        }
        if (refusal)
            w.refusal = refusal;
        LogCapture log;
        action(w);
        EXPECT_EQ(log.lines(), line.empty() ? std::vector<std::string>{} : std::vector<std::string>{line});
        std::vector<fs::path> opened = w.openedApplications;
        opened.insert(opened.end(), w.openedDocuments.begin(), w.openedDocuments.end());
        EXPECT_EQ(opened, asked.empty() ? std::vector<fs::path>{} : std::vector<fs::path>{asked});
    }
}

// Of two manuals, the first the file system lists is the one.
TEST(Workspace, OfTwoManualsTheFirstEnumeratedWins)
{
    QTemporaryDir temp;
    RecordingWorkspace w;
    w.resources = fs::path(temp.path().toStdString());
    for (const char* name : {"USR-KWO-a.pdf", "USR-KWO-b.pdf"})
        std::ofstream(*w.resources / name) << "%PDF-1.4\n";
    const std::string first = fs::directory_iterator(*w.resources)->path().stem().string();
    EXPECT_EQ(findUserManual(w), first);
    openUserManual(w);
    EXPECT_EQ(w.openedDocuments, std::vector<fs::path>{*w.resources / (first + ".pdf")});
}

TEST(Workspace, DesktopSaysWhyItCannotOpen)
{
    QTemporaryDir temp;
    const fs::path root = temp.path().toStdString(), app = root / "app";
    const DesktopWorkspace present(root, root);
    EXPECT_TRUE(present.applicationsFolder() == root && present.resourceFolder() == root);
    DesktopWorkspace missing(root / "no-such-folder", root / "none", "no-such-opener");
    EXPECT_FALSE(missing.applicationsFolder() || missing.resourceFolder());
    const fs::path installed = DesktopWorkspace::installedResourceFolder();
    EXPECT_EQ(installed.parent_path().filename() / installed.filename(), "share/marrowtillance");
    EXPECT_EQ(missing.openApplication(app), app.string() + " is not installed");
    std::ofstream(app) << "not executable";
    EXPECT_EQ(missing.openApplication(app).value_or("").rfind("cannot start " + app.string() + ": ", 0), 0u);
    EXPECT_EQ(missing.openDocument(app), "no-such-opener not found (it comes with xdg-utils)");
}
