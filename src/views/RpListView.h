#pragma once

#include "views/PageFrame.h"

class CredentialList;
class DeviceViewModel;
class NormalButton;

// The credential management page: the key's resident credentials, one row each, with the count line, a
// Delete button for the ticked rows and Back.
class RpListView : public PageFrame {
    Q_OBJECT

public:
    explicit RpListView(DeviceViewModel& dv, QWidget* parent = nullptr);

private:
    void refreshTexts();
    void refreshButtons();
    void refreshPrompt();

    DeviceViewModel& dv_;
    NormalButton* delete_;
    NormalButton* back_;
    CredentialList* list_;
};
