#pragma once

#include "platform/IOReturn.h"
#include "platform/UniqueFd.h"

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <span>
#include <string>

// What discovery learns about a HID device when it arrives.
struct HidDeviceInfo {
    std::string syspath;
    std::string devnode;
    std::uint16_t vendorId = 0;
    std::uint16_t productId = 0;
    // The USB device's own product string, read once at arrival: it names the model without the manufacturer.
    std::string product;
    std::string serialNumber;
    // The first top-level collection of the report descriptor.
    std::uint16_t primaryUsagePage = 0;
    std::uint16_t primaryUsage = 0;
};

// One attached HID device, made once per arrival and shared by pointer: two handles are the same key only when
// they are the same object, so a re-plugged key is a new object even when its device node is reused.
//
// Output reports are written as report ID 0 followed by exactly kReportSize bytes (shorter reports are padded
// with zeros); input reports are read one per read(), without a report ID, as hidraw delivers them.
class HidDevice {
public:
    static constexpr std::size_t kReportSize = 64;

    // A hidraw device, opened on first use.
    explicit HidDevice(HidDeviceInfo info);
    // A device whose descriptor is already open (a connected datagram socket stands in for hidraw).
    HidDevice(HidDeviceInfo info, UniqueFd fd);
    HidDevice(const HidDevice&) = delete;
    HidDevice& operator=(const HidDevice&) = delete;

    const HidDeviceInfo& info() const { return info_; }
    const std::string& syspath() const { return info_.syspath; }
    std::uint16_t vendorId() const { return info_.vendorId; }
    std::uint16_t productId() const { return info_.productId; }
    const std::string& product() const { return info_.product; }
    const std::string& serialNumber() const { return info_.serialNumber; }
    std::uint16_t primaryUsagePage() const { return info_.primaryUsagePage; }
    std::uint16_t primaryUsage() const { return info_.primaryUsage; }

    // Opens the device node when it is not open yet; the descriptor is non-blocking and stays open for the
    // object's life. The first failure is logged with its reason (a key the user may not read and write is
    // found, but cannot be used).
    IOReturn open();
    // The open descriptor, or -1.
    int fd() const;

    // Writes one output report (report ID 0). A report longer than kReportSize gives kIOReturnOverrun.
    IOReturn setReport(std::span<const std::uint8_t> report);

    enum class ReadResult { report, empty, gone };
    // Reads one pending input report without blocking. `length` is the report's length, cut to the buffer.
    ReadResult readReport(std::span<std::uint8_t> buffer, std::size_t& length);

private:
    const HidDeviceInfo info_;
    const bool isSocket_;
    mutable std::mutex mutex_;
    UniqueFd fd_;
    bool openFailureLogged_ = false;
};
