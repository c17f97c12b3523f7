#include "RecordingWorkspace.h"
#include "viewmodel/DesktopWorkspace.h"
#include "viewmodel/WorkspaceActions.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

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

TEST_F(WorkspaceTest, WithoutApplicationsFolderOnlyALineIsWritten)
{
    testing::internal::CaptureStdout();
    openOtpApp(workspace);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Failed to retrieve the Applications folder URL.\n");
    EXPECT_TRUE(workspace.openedApplications.empty());
}

TEST_F(WorkspaceTest, ManualIsTheFirstUsrKwoPdfAtTheTopOfTheResources)
{
    EXPECT_EQ(findUserManual(workspace), std::nullopt);
    openUserManual(workspace);
    EXPECT_TRUE(workspace.openedDocuments.empty());

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

TEST_F(WorkspaceTest, AMatchThatIsNoPdfFileIsNotOpened)
{
    // Ends in "pdf" without the extension, so the manual's file "USR-KWOpdf.pdf" does not exist.
    touch(*workspace.resources / "USR-KWOpdf");
    EXPECT_EQ(findUserManual(workspace), "USR-KWOpdf");
    openUserManual(workspace);
    EXPECT_TRUE(workspace.openedDocuments.empty());
}

TEST_F(WorkspaceTest, NoResourceFolderMeansNoManual)
{
    touch(*workspace.resources / "USR-KWO.pdf");
    workspace.resources.reset();
    EXPECT_EQ(findUserManual(workspace), std::nullopt);
    openUserManual(workspace);
    EXPECT_TRUE(workspace.openedDocuments.empty());
}

TEST_F(WorkspaceTest, DesktopFoldersExistOrAreNothing)
{
    const DesktopWorkspace present(root, *workspace.resources);
    EXPECT_EQ(present.applicationsFolder(), root);
    EXPECT_EQ(present.resourceFolder(), *workspace.resources);

    const DesktopWorkspace missing(root / "no-such-folder", root / "none");
    EXPECT_EQ(missing.applicationsFolder(), std::nullopt);
    EXPECT_EQ(missing.resourceFolder(), std::nullopt);

    const fs::path installed = DesktopWorkspace::installedResourceFolder();
    EXPECT_EQ(installed.filename(), "marrowtillance");
    EXPECT_EQ(installed.parent_path().filename(), "share");
}
