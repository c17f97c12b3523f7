#pragma once

#include "viewmodel/Workspace.h"

#include <filesystem>
#include <optional>

// The desktop: add-on applications live under /opt, the application's data files in share/marrowtillance
// beside its installed bin folder. Applications are started detached; documents go to xdg-open.
class DesktopWorkspace final : public Workspace {
public:
    DesktopWorkspace();
    DesktopWorkspace(std::filesystem::path applications, std::filesystem::path resources);

    std::optional<std::filesystem::path> applicationsFolder() const override;
    std::optional<std::filesystem::path> resourceFolder() const override;
    void openApplication(const std::filesystem::path& application) override;
    void openDocument(const std::filesystem::path& document) override;

    // <folder of the running executable>/../share/marrowtillance.
    static std::filesystem::path installedResourceFolder();

private:
    std::filesystem::path applications_;
    std::filesystem::path resources_;
};
