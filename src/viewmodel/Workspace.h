#pragma once

#include <filesystem>
#include <optional>

// Where the companion application and the manual are looked for, and how they are opened. The application
// uses the desktop; tests record the requests instead.
class Workspace {
public:
    virtual ~Workspace() = default;

    // The machine-wide folder of add-on applications; nothing when the machine has none.
    virtual std::optional<std::filesystem::path> applicationsFolder() const = 0;
    // The folder of the application's own data files (the manual); nothing when it is not installed.
    virtual std::optional<std::filesystem::path> resourceFolder() const = 0;

    // Starts an application; whether it exists or starts is not reported.
    virtual void openApplication(const std::filesystem::path& application) = 0;
    // Shows a document in the desktop's default viewer for its type; the outcome is not reported.
    virtual void openDocument(const std::filesystem::path& document) = 0;
};
