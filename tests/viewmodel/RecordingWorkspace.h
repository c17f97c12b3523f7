#pragma once

#include "viewmodel/Workspace.h"

#include <vector>

// A workspace whose folders the test chooses and which records what it was asked to open; it refuses with
// `refusal` when one is set.
class RecordingWorkspace final : public Workspace {
public:
    std::optional<std::filesystem::path> applicationsFolder() const override { return applications; }
    std::optional<std::filesystem::path> resourceFolder() const override { return resources; }
    std::optional<std::string> openApplication(const std::filesystem::path& application) override
    {
        openedApplications.push_back(application);
        return refusal;
    }
    std::optional<std::string> openDocument(const std::filesystem::path& document) override
    {
        openedDocuments.push_back(document);
        return refusal;
    }

    std::optional<std::filesystem::path> applications, resources;
    std::vector<std::filesystem::path> openedApplications, openedDocuments;
    std::optional<std::string> refusal;
};
