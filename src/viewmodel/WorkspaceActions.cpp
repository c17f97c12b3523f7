#include "viewmodel/WorkspaceActions.h"

#include "platform/Log.h"

#include <filesystem>
#include <system_error>

void openApp(Workspace& workspace, std::string_view appName, std::string_view folder)
{
    const std::optional<std::filesystem::path> applications = workspace.applicationsFolder();
    if (!applications) {
        logLine("Failed to retrieve the Applications folder URL.");
        return;
    }
    if (const auto failure =
            workspace.openApplication(*applications / std::filesystem::path(folder) / std::filesystem::path(appName)))
        logLine("openApp: " + *failure);
}

std::optional<std::string> findUserManual(const Workspace& workspace)
{
    const std::optional<std::filesystem::path> resources = workspace.resourceFolder();
    if (!resources)
        return std::nullopt;

    std::error_code error;
    std::filesystem::recursive_directory_iterator entries(
        *resources, std::filesystem::directory_options::skip_permission_denied, error);
    for (const std::filesystem::recursive_directory_iterator end; !error && entries != end;
         entries.increment(error)) {
        const std::filesystem::path relative = entries->path().lexically_relative(*resources);
        const std::string name = relative.generic_string();
        if (name.starts_with("USR-KWO") && name.ends_with("pdf"))
            return std::filesystem::path(relative).replace_extension().generic_string();
    }
    return std::nullopt;
}

void openUserManual(Workspace& workspace)
{
    const std::optional<std::filesystem::path> resources = workspace.resourceFolder();
    if (!resources) {
        logLine("openUserManual: the application's data folder is missing");
        return;
    }
    const std::optional<std::string> name = findUserManual(workspace);
    if (!name) {
        logLine("openUserManual: no USR-KWO*.pdf in " + resources->string());
        return;
    }
    const std::filesystem::path manual = *resources / (*name + ".pdf");
    std::error_code error;
    if (!std::filesystem::is_regular_file(manual, error)) {
        logLine("openUserManual: " + manual.string() + " is no file");
        return;
    }
    if (const auto failure = workspace.openDocument(manual))
        logLine("openUserManual: " + *failure);
}
