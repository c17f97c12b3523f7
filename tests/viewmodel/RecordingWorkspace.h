#pragma once

#include "viewmodel/Workspace.h"

#include <vector>

// A workspace whose folders the test chooses; it records what it is asked to open and refuses with `refusal`, if set.
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
