#include "viewmodel/DesktopWorkspace.h"

#include <QProcess>
#include <QStandardPaths>
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

std::optional<std::string> startDetached(const QString& program, const QStringList& arguments,
                                         const QString& workingFolder = {})
{
    QProcess process;
    process.setProgram(program);
    process.setArguments(arguments);
    process.setWorkingDirectory(workingFolder);
    if (process.startDetached())
        return std::nullopt;
    return "cannot start " + program.toStdString() + ": " + process.errorString().toStdString();
}
} // namespace

DesktopWorkspace::DesktopWorkspace() : DesktopWorkspace("/opt", installedResourceFolder()) {}

DesktopWorkspace::DesktopWorkspace(std::filesystem::path applications, std::filesystem::path resources,
                                   std::string opener)
    : applications_(std::move(applications)), resources_(std::move(resources)), opener_(std::move(opener))
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

std::optional<std::string> DesktopWorkspace::openApplication(const std::filesystem::path& application)
{
    std::error_code error;
    if (!std::filesystem::exists(application, error))
        return application.string() + " is not installed";
    return startDetached(toQString(application), {}, toQString(application.parent_path()));
}

std::optional<std::string> DesktopWorkspace::openDocument(const std::filesystem::path& document)
{
    const QString opener = QStandardPaths::findExecutable(QString::fromStdString(opener_));
    if (opener.isEmpty())
        return opener_ + " not found (it comes with xdg-utils)";
    return startDetached(opener, {toQString(document)});
}
