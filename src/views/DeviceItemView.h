#pragma once

#include <QString>
#include <QWidget>

#include <cstdint>
#include <optional>
#include <string>

class DeviceViewModel;
class QLabel;

// One row of the device list: the key's picture, its name, firmware, AAGUID and protocol lines, and a status
// line in the current language. Display only; the list around it owns selection. It is built from the key's
// fields alone, so a key read again with other values gets a new card.
class DeviceItemView : public QWidget {
    Q_OBJECT

public:
    DeviceItemView(std::string firmware, std::string aaguid, std::string protocols, std::string deviceName,
                   bool pinPresent, std::optional<std::uint64_t> retries, bool hasCredMgmt, std::string imageName,
                   DeviceViewModel& dv, QWidget* parent = nullptr);

    static constexpr int cardHeight = 100;

protected:
    void showEvent(QShowEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    void refreshTexts();
    // The status line is the card's own: worked out when the card comes on screen and when the language changes.
    void updateStatus();

    const std::string firmware_;
    const std::string aaguid_;
    const std::string protocols_;
    const std::string deviceName_;
    const bool pinPresent_;
    const std::optional<std::uint64_t> retries_;
    const bool hasCredMgmt_;
    const QString imageName_;
    DeviceViewModel& dv_;
    QString status_;
    QLabel* nameLine_;
    QLabel* firmwareLine_;
    QLabel* aaguidLine_;
    QLabel* protocolLine_;
    QLabel* statusLine_;
};
