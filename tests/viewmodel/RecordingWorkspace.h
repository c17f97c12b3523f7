#pragma once

#include "viewmodel/Workspace.h"

#include <filesystem>
#include <optional>
#include <vector>

// A workspace whose folders the test chooses and which records what it was asked to open.
class RecordingWorkspace final : public Workspace {
public:
    std::optional<std::filesystem::path> applicationsFolder() const override { return applications; }
    std::optional<std::filesystem::path> resourceFolder() const override { return resources; }
    void openApplication(const std::filesystem::path& application) override
    {
        openedApplications.push_back(application);
    }
    void openDocument(const std::filesystem::path& document) override { openedDocuments.push_back(document); }

    std::optional<std::filesystem::path> applications;
    std::optional<std::filesystem::path> resources;
    std::vector<std::filesystem::path> openedApplications;
    std::vector<std::filesystem::path> openedDocuments;
};
