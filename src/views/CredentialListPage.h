#pragma once

#include "views/PageFrame.h"

#include <vector>

class CredentialRow;
class DeviceViewModel;
class NormalButton;
class QScrollArea;
class QVBoxLayout;

// The credential management page: the key's resident credentials, one row each, with the count line, a
// Delete button for the ticked rows and Back.
class CredentialListPage : public PageFrame {
    Q_OBJECT

public:
    explicit CredentialListPage(DeviceViewModel& dv, QWidget* parent = nullptr);

private:
    void refreshTexts();
    void refreshButtons();
    void refreshRows();
    void refreshPrompt();

    DeviceViewModel& dv_;
    NormalButton* delete_;
    NormalButton* back_;
    QScrollArea* scroll_;
    QWidget* rowsHolder_;
    QVBoxLayout* rowsLayout_;
    std::vector<CredentialRow*> rows_;
};
