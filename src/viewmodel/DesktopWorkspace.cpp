#include "viewmodel/DesktopWorkspace.h"

#include <QProcess>
#include <QString>
#include <QStringList>

#include <system_error>

namespace {
std::optional<std::filesystem::path> existingFolder(const std::filesystem::path& folder)
{
    std::error_code error;
    if (folder.empty() || !std::filesystem::is_directory(folder, error))
        return std::nullopt;
    return folder;
}

QString toQString(const std::filesystem::path& path)
{
    return QString::fromStdString(path.string());
}
} // namespace

DesktopWorkspace::DesktopWorkspace() : DesktopWorkspace("/opt", installedResourceFolder()) {}

DesktopWorkspace::DesktopWorkspace(std::filesystem::path applications, std::filesystem::path resources)
    : applications_(std::move(applications)), resources_(std::move(resources))
{
}

std::filesystem::path DesktopWorkspace::installedResourceFolder()
{
    std::error_code error;
    const std::filesystem::path executable = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error)
        return {};
    return (executable.parent_path() / ".." / "share" / "marrowtillance").lexically_normal();
}

std::optional<std::filesystem::path> DesktopWorkspace::applicationsFolder() const
{
    return existingFolder(applications_);
}

std::optional<std::filesystem::path> DesktopWorkspace::resourceFolder() const
{
    return existingFolder(resources_);
}

void DesktopWorkspace::openApplication(const std::filesystem::path& application)
{
    QProcess::startDetached(toQString(application), {}, toQString(application.parent_path()));
}

void DesktopWorkspace::openDocument(const std::filesystem::path& document)
{
    QProcess::startDetached(QStringLiteral("xdg-open"), {toQString(document)});
}
