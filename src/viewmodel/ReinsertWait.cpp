#include "viewmodel/ReinsertWait.h"

#include "platform/HidDevice.h"

void ReinsertWait::start(Device device, std::string name, std::string serial)
{
    device_ = std::move(device);
    name_ = std::move(name);
    serial_ = std::move(serial);
    tapCount_ = 0;
}

void ReinsertWait::clear()
{
    device_.reset();
    name_.clear();
    serial_.clear();
    tapCount_ = 0;
}

bool ReinsertWait::isAwaited(const Device& device, const std::optional<std::string>& id) const
{
    if (!device_ || name_.empty())
        return false;
    if (device.isHidDevice()) {
        const auto hid = device.hid();
        if (!hid || hid->product() != name_)
            return false;
        // The returning key is a new object: the same model, and the same serial number when keys report one.
        return serial_.empty() || hid->serialNumber() == serial_;
    }
    return Device::isSame(device, *device_) && id && *id == name_;
}

bool ReinsertWait::firstTap()
{
    if (tapCount_ > 0)
        return false;
    tapCount_ = 1;
    return true;
}
