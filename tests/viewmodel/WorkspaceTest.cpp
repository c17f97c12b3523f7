#include "RecordingWorkspace.h"
#include "support/LogCapture.h"
#include "viewmodel/DesktopWorkspace.h"
#include "viewmodel/WorkspaceActions.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <fstream>
#include <functional>

namespace fs = std::filesystem;

namespace {
void touch(const fs::path& file)
{
    fs::create_directories(file.parent_path());
    std::ofstream(file) << "%PDF-1.4\n";
}
} // namespace

// The companion starts from its vendor's folder; the manual is the first USR-KWO*.pdf at the top of the resources
// (not below them); every way either fails is logged with its reason.
TEST(Workspace, HelpAndOtpOpenWhatTheyShouldOrSayWhyNot)
{
    QTemporaryDir temp;
    const fs::path root = temp.path().toStdString();
    const fs::path share = root / "share";
    RecordingWorkspace w;
    struct Case {
        const char* what;
        std::function<void()> prepare;
        std::function<void(Workspace&)> action;
        std::string line;              // logged; empty: nothing
        std::optional<fs::path> asked; // what the desktop was asked to open
    };
    const Case cases[] = {
        {"companion", [&] { w.applications = root; }, openOtpApp, "", root / "JOV Fido Tools" / "Tallowfin-OTP"},
        {"manual", [&] { touch(share / "USR-KWO-Tallowfin-EN.pdf"); }, openUserManual, "",
         share / "USR-KWO-Tallowfin-EN.pdf"},
        {"no applications folder", [] {}, openOtpApp, "Failed to retrieve the Applications folder URL.", {}},
        {"the companion does not start",
         [&] {
             w.applications = root;
             w.refusal = "gone";
         },
         openOtpApp, "openApp: gone", root / "JOV Fido Tools" / "Tallowfin-OTP"},
        {"no data folder", [&] { w.resources.reset(); }, openUserManual,
         "openUserManual: the application's data folder is missing", {}},
        {"no manual",
         [&] {
             touch(share / "USR-KWO-guide.txt");         // wrong ending
             touch(share / "manual-USR-KWO.pdf");        // wrong beginning
             touch(share / "docs" / "USR-KWO-inner.pdf"); // its relative path begins with "docs/"
         },
         openUserManual, "openUserManual: no USR-KWO*.pdf in " + share.string(), {}},
        // Ends in "pdf" without the extension, so the manual's file "USR-KWOpdf.pdf" does not exist.
        {"a match that is no file", [&] { touch(share / "USR-KWOpdf"); }, openUserManual,
         "openUserManual: " + share.string() + "/USR-KWOpdf.pdf is no file", {}},
        {"no viewer",
         [&] {
             touch(share / "USR-KWO.pdf");
             w.refusal = "no opener";
         },
         openUserManual, "openUserManual: no opener", share / "USR-KWO.pdf"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        w = RecordingWorkspace();
        w.resources = share;
        fs::remove_all(share);
        fs::create_directories(share);
        c.prepare();
        LogCapture log;
        c.action(w);
        EXPECT_EQ(log.lines(), c.line.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.line});
        std::vector<fs::path> asked = w.openedApplications;
        asked.insert(asked.end(), w.openedDocuments.begin(), w.openedDocuments.end());
        EXPECT_EQ(asked, c.asked ? std::vector<fs::path>{*c.asked} : std::vector<fs::path>{});
    }
}

TEST(Workspace, DesktopSaysWhyItCannotOpen)
{
    QTemporaryDir temp;
    const fs::path root = temp.path().toStdString();
    const DesktopWorkspace present(root, root);
    EXPECT_TRUE(present.applicationsFolder() == root && present.resourceFolder() == root);
    DesktopWorkspace missing(root / "no-such-folder", root / "none", "no-such-opener");
    EXPECT_FALSE(missing.applicationsFolder() || missing.resourceFolder());
    const fs::path installed = DesktopWorkspace::installedResourceFolder();
    EXPECT_EQ(installed.parent_path().filename() / installed.filename(), "share/marrowtillance");

    const fs::path app = root / "app";
    EXPECT_EQ(missing.openApplication(app), app.string() + " is not installed");
    touch(app); // not executable
    EXPECT_EQ(missing.openApplication(app).value_or("").rfind("cannot start " + app.string() + ": ", 0), 0u);
    EXPECT_EQ(missing.openDocument(app), "no-such-opener not found (it comes with xdg-utils)");
}
