#pragma once

#include "viewmodel/RpItem.h"

#include <QWidget>

#include <cstddef>

class CheckBox;
class DeviceViewModel;
class QLabel;

// One resident credential of the credential list: a check box with the relying party's name, the user name,
// and the relying party's id, id hash and the credential id. A tick goes to the model's list element.
class CredentialRow : public QWidget {
    Q_OBJECT

public:
    CredentialRow(DeviceViewModel& dv, std::size_t index, const RpItem& item, int width, QWidget* parent = nullptr);

    const std::string& credentialId() const { return credentialId_; }
    void setChecked(bool checked);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void refreshTexts();

    DeviceViewModel& dv_;
    const std::string credentialId_;
    const RpItem item_;
    const int width_;
    CheckBox* check_;
    QLabel* user_;
    QLabel* rpId_;
    QLabel* idHash_;
    QLabel* credId_;
};
