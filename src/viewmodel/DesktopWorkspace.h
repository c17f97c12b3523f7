#pragma once

#include "viewmodel/Workspace.h"

#include <filesystem>
#include <optional>
#include <string>

// The desktop: add-on applications live under /opt, the application's data files in share/marrowtillance
// beside its installed bin folder. Applications are started detached; documents go to the opener program
// (xdg-open) found on the PATH.
class DesktopWorkspace final : public Workspace {
public:
    DesktopWorkspace();
    DesktopWorkspace(std::filesystem::path applications, std::filesystem::path resources,
                     std::string opener = "xdg-open");

    std::optional<std::filesystem::path> applicationsFolder() const override;
    std::optional<std::filesystem::path> resourceFolder() const override;
    std::optional<std::string> openApplication(const std::filesystem::path& application) override;
    std::optional<std::string> openDocument(const std::filesystem::path& document) override;

    // <folder of the running executable>/../share/marrowtillance.
    static std::filesystem::path installedResourceFolder();

private:
    std::filesystem::path applications_;
    std::filesystem::path resources_;
    std::string opener_;
};
