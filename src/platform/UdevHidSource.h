#pragma once

#include "platform/HidDeviceSource.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

struct udev;
struct udev_monitor;
struct udev_device;

// HID devices of the system: the hidraw nodes that udev enumerates and announces.
class UdevHidSource : public HidDeviceSource {
public:
    UdevHidSource();
    ~UdevHidSource() override;
    UdevHidSource(const UdevHidSource&) = delete;
    UdevHidSource& operator=(const UdevHidSource&) = delete;

    bool open() override;
    std::vector<std::shared_ptr<HidDevice>> enumerate() override;
    std::vector<pollfd> pollFds() override;
    std::vector<Event> readEvents() override;

    struct HidId {
        std::uint16_t vendorId = 0;
        std::uint16_t productId = 0;
    };
    // The vendor and product of a HID device's "HID_ID" property ("0003:0000VVVV:0000PPPP").
    static std::optional<HidId> parseHidId(std::string_view text);

private:
    struct UdevDeleter {
        void operator()(udev* u) const;
    };
    struct MonitorDeleter {
        void operator()(udev_monitor* m) const;
    };

    std::shared_ptr<HidDevice> makeDevice(udev_device* hidraw) const;

    std::unique_ptr<udev, UdevDeleter> udev_;
    std::unique_ptr<udev_monitor, MonitorDeleter> monitor_;
};
