#pragma once

#include <filesystem>
#include <optional>
#include <string>

// Where the companion application and the manual are looked for, and how they are opened. The application
// uses the desktop; tests record the requests instead.
class Workspace {
public:
    virtual ~Workspace() = default;

    // The machine-wide folder of add-on applications; nothing when the machine has none.
    virtual std::optional<std::filesystem::path> applicationsFolder() const = 0;
    // The folder of the application's own data files (the manual); nothing when it is not installed.
    virtual std::optional<std::filesystem::path> resourceFolder() const = 0;

    // Starts an application; nothing once it has started, else why it could not.
    virtual std::optional<std::string> openApplication(const std::filesystem::path& application) = 0;
    // Hands a document to the desktop's default viewer for its type; nothing once the handing-over has
    // started, else why it could not. What the viewer then does is not seen.
    virtual std::optional<std::string> openDocument(const std::filesystem::path& document) = 0;
};
