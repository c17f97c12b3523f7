#pragma once

#include "viewmodel/DeviceItem.h"

#include <QWidget>

class DeviceViewModel;
class QLabel;

// One row of the device list: the key's picture, its name, firmware, AAGUID and protocol lines, and a status
// line in the current language. Display only; the list around it owns selection.
class DeviceItemView : public QWidget {
    Q_OBJECT

public:
    DeviceItemView(DeviceViewModel& dv, const DeviceItem& item, QWidget* parent = nullptr);

    static constexpr int cardHeight = 100;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void refreshTexts();

    DeviceViewModel& dv_;
    const DeviceItem item_;
    const QString imageName_;
    QLabel* name_;
    QLabel* firmware_;
    QLabel* aaguid_;
    QLabel* protocols_;
    QLabel* status_;
};
