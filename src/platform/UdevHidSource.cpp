#include "platform/UdevHidSource.h"

#include "platform/HidReportDescriptor.h"

#include <fcntl.h>
#include <libudev.h>
#include <unistd.h>

#include <array>
#include <charconv>
#include <cstring>

namespace {

// The largest report descriptor the kernel accepts.
constexpr std::size_t kMaxDescriptorSize = 4096;
// udev events handled in one turn; the rest wait for the next poll.
constexpr int kMaxEventsPerTurn = 64;

struct DeviceDeleter {
    void operator()(udev_device* d) const { udev_device_unref(d); }
};
using DevicePtr = std::unique_ptr<udev_device, DeviceDeleter>;

struct EnumerateDeleter {
    void operator()(udev_enumerate* e) const { udev_enumerate_unref(e); }
};

std::string text(const char* value) { return value ? std::string(value) : std::string(); }

std::vector<std::uint8_t> readDescriptor(const std::string& hidSyspath)
{
    std::vector<std::uint8_t> bytes;
    UniqueFd fd(::open((hidSyspath + "/report_descriptor").c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid())
        return bytes;
    bytes.resize(kMaxDescriptorSize);
    std::size_t total = 0;
    while (total < bytes.size()) {
        ssize_t n = ::read(fd.get(), bytes.data() + total, bytes.size() - total);
        if (n <= 0)
            break;
        total += static_cast<std::size_t>(n);
    }
    bytes.resize(total);
    return bytes;
}

std::optional<std::uint16_t> hex16(std::string_view field)
{
    std::uint32_t value = 0;
    auto [end, ec] = std::from_chars(field.data(), field.data() + field.size(), value, 16);
    if (ec != std::errc() || end != field.data() + field.size() || field.empty() || value > 0xFFFF)
        return std::nullopt;
    return static_cast<std::uint16_t>(value);
}

} // namespace

void UdevHidSource::UdevDeleter::operator()(udev* u) const { udev_unref(u); }
void UdevHidSource::MonitorDeleter::operator()(udev_monitor* m) const { udev_monitor_unref(m); }

UdevHidSource::UdevHidSource() = default;
UdevHidSource::~UdevHidSource() = default;

std::optional<UdevHidSource::HidId> UdevHidSource::parseHidId(std::string_view text)
{
    const auto first = text.find(':');
    if (first == std::string_view::npos)
        return std::nullopt;
    const auto second = text.find(':', first + 1);
    if (second == std::string_view::npos)
        return std::nullopt;
    auto vendor = hex16(text.substr(first + 1, second - first - 1));
    auto product = hex16(text.substr(second + 1));
    if (!vendor || !product)
        return std::nullopt;
    return HidId{*vendor, *product};
}

bool UdevHidSource::open()
{
    udev_.reset(udev_new());
    if (!udev_)
        return false;
    monitor_.reset(udev_monitor_new_from_netlink(udev_.get(), "udev"));
    if (!monitor_)
        return false;
    if (udev_monitor_filter_add_match_subsystem_devtype(monitor_.get(), "hidraw", nullptr) < 0 ||
        udev_monitor_enable_receiving(monitor_.get()) < 0) {
        monitor_.reset();
        return false;
    }
    return true;
}

std::shared_ptr<HidDevice> UdevHidSource::makeDevice(udev_device* hidraw) const
{
    HidDeviceInfo info;
    info.syspath = text(udev_device_get_syspath(hidraw));
    info.devnode = text(udev_device_get_devnode(hidraw));
    udev_device* hid = udev_device_get_parent_with_subsystem_devtype(hidraw, "hid", nullptr);
    if (!hid)
        return nullptr;
    if (auto id = parseHidId(text(udev_device_get_property_value(hid, "HID_ID")))) {
        info.vendorId = id->vendorId;
        info.productId = id->productId;
    }
    if (auto usage = hidPrimaryUsage(readDescriptor(text(udev_device_get_syspath(hid))))) {
        info.primaryUsagePage = usage->usagePage;
        info.primaryUsage = usage->usage;
    }
    // The USB device's product string is the model name alone; the HID name would lead with the manufacturer.
    if (udev_device* usb = udev_device_get_parent_with_subsystem_devtype(hidraw, "usb", "usb_device")) {
        info.product = text(udev_device_get_sysattr_value(usb, "product"));
        info.serialNumber = text(udev_device_get_sysattr_value(usb, "serial"));
    }
    if (info.serialNumber.empty())
        info.serialNumber = text(udev_device_get_property_value(hid, "HID_UNIQ"));
    return std::make_shared<HidDevice>(std::move(info));
}

std::vector<std::shared_ptr<HidDevice>> UdevHidSource::enumerate()
{
    std::vector<std::shared_ptr<HidDevice>> devices;
    if (!udev_)
        return devices;
    std::unique_ptr<udev_enumerate, EnumerateDeleter> e(udev_enumerate_new(udev_.get()));
    if (!e || udev_enumerate_add_match_subsystem(e.get(), "hidraw") < 0 || udev_enumerate_scan_devices(e.get()) < 0)
        return devices;
    udev_list_entry* entry = nullptr;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(e.get()))
    {
        DevicePtr dev(udev_device_new_from_syspath(udev_.get(), udev_list_entry_get_name(entry)));
        if (!dev)
            continue;
        if (auto device = makeDevice(dev.get()))
            devices.push_back(std::move(device));
    }
    return devices;
}

std::vector<pollfd> UdevHidSource::pollFds()
{
    if (!monitor_)
        return {};
    return {pollfd{udev_monitor_get_fd(monitor_.get()), POLLIN, 0}};
}

std::vector<HidDeviceSource::Event> UdevHidSource::readEvents()
{
    std::vector<Event> events;
    if (!monitor_)
        return events;
    for (int i = 0; i < kMaxEventsPerTurn; ++i) {
        DevicePtr dev(udev_monitor_receive_device(monitor_.get()));
        if (!dev)
            break;
        const std::string action = text(udev_device_get_action(dev.get()));
        const std::string syspath = text(udev_device_get_syspath(dev.get()));
        if (action == "add") {
            if (auto device = makeDevice(dev.get()))
                events.push_back({Event::Kind::added, std::move(device), syspath});
        } else if (action == "remove") {
            events.push_back({Event::Kind::removed, nullptr, syspath});
        }
    }
    return events;
}
