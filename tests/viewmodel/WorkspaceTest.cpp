#include "RecordingWorkspace.h"
#include "support/LogCapture.h"
#include "viewmodel/DesktopWorkspace.h"
#include "viewmodel/WorkspaceActions.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <filesystem>
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

class WorkspaceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(temp.isValid());
        root = temp.path().toStdString();
        workspace.resources = root / "share";
        fs::create_directories(*workspace.resources);
    }

    QTemporaryDir temp;
    fs::path root;
    RecordingWorkspace workspace;
};

TEST_F(WorkspaceTest, CompanionIsStartedFromItsVendorFolder)
{
    workspace.applications = root / "opt";
    openOtpApp(workspace);
    ASSERT_EQ(workspace.openedApplications.size(), 1u);
    EXPECT_EQ(workspace.openedApplications[0], root / "opt" / "JOV Fido Tools" / "Tallowfin-OTP");
}

TEST_F(WorkspaceTest, ManualIsTheFirstUsrKwoPdfAtTheTopOfTheResources)
{
    touch(*workspace.resources / "USR-KWO-guide.txt");  // wrong ending
    touch(*workspace.resources / "manual-USR-KWO.pdf"); // wrong beginning
    touch(*workspace.resources / "docs" / "USR-KWO-inner.pdf"); // its relative path begins with "docs/"
    EXPECT_EQ(findUserManual(workspace), std::nullopt);

    touch(*workspace.resources / "USR-KWO-Tallowfin-EN.pdf");
    EXPECT_EQ(findUserManual(workspace), "USR-KWO-Tallowfin-EN");
    openUserManual(workspace);
    ASSERT_EQ(workspace.openedDocuments.size(), 1u);
    EXPECT_EQ(workspace.openedDocuments[0], *workspace.resources / "USR-KWO-Tallowfin-EN.pdf");
}

TEST_F(WorkspaceTest, OfTwoManualsTheFirstEnumeratedWins)
{
    touch(*workspace.resources / "USR-KWO-a.pdf");
    touch(*workspace.resources / "USR-KWO-b.pdf");
    std::string first;
    for (const auto& entry : fs::recursive_directory_iterator(*workspace.resources)) {
        first = entry.path().stem().string();
        break;
    }
    EXPECT_EQ(findUserManual(workspace), first);
}

TEST_F(WorkspaceTest, EveryWayHelpAndOtpFailIsLoggedWithItsReason)
{
    const std::string share = workspace.resources->string();
    struct Case {
        const char* what;
        std::function<void()> prepare;
        std::function<void(Workspace&)> action;
        std::string line;
    };
    const Case cases[] = {
        {"no applications folder", [] {}, openOtpApp, "Failed to retrieve the Applications folder URL."},
        {"the companion does not start",
         [&] {
             workspace.applications = root;
             workspace.refusal = "gone";
         },
         openOtpApp, "openApp: gone"},
        {"no data folder", [&] { workspace.resources.reset(); }, openUserManual,
         "openUserManual: the application's data folder is missing"},
        {"no manual", [] {}, openUserManual, "openUserManual: no USR-KWO*.pdf in " + share},
        // Ends in "pdf" without the extension, so the manual's file "USR-KWOpdf.pdf" does not exist.
        {"a match that is no file", [&] { touch(*workspace.resources / "USR-KWOpdf"); }, openUserManual,
         "openUserManual: " + share + "/USR-KWOpdf.pdf is no file"},
        {"no viewer",
         [&] {
             touch(*workspace.resources / "USR-KWO.pdf");
             workspace.refusal = "no opener";
         },
         openUserManual, "openUserManual: no opener"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        workspace = RecordingWorkspace();
        workspace.resources = share;
        fs::remove_all(share);
        fs::create_directories(share);
        c.prepare();
        LogCapture log;
        c.action(workspace);
        EXPECT_EQ(log.lines(), std::vector<std::string>{c.line});
    }
}

TEST_F(WorkspaceTest, DesktopSaysWhyItCannotOpen)
{
    const DesktopWorkspace present(root, *workspace.resources);
    EXPECT_EQ(present.applicationsFolder(), root);
    EXPECT_EQ(present.resourceFolder(), *workspace.resources);
    DesktopWorkspace missing(root / "no-such-folder", root / "none", "no-such-opener");
    EXPECT_EQ(missing.applicationsFolder(), std::nullopt);
    EXPECT_EQ(missing.resourceFolder(), std::nullopt);
    const fs::path installed = DesktopWorkspace::installedResourceFolder();
    EXPECT_EQ(installed.filename(), "marrowtillance");
    EXPECT_EQ(installed.parent_path().filename(), "share");

    const fs::path app = root / "app";
    EXPECT_EQ(missing.openApplication(app), app.string() + " is not installed");
    touch(app); // not executable
    EXPECT_EQ(missing.openApplication(app).value_or("").rfind("cannot start " + app.string() + ": ", 0), 0u);
    EXPECT_EQ(missing.openDocument(app), "no-such-opener not found (it comes with xdg-utils)");
}
