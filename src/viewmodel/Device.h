#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <variant>

class HidDevice;

// The handle of one attached key: a USB key (the HID device object made at its arrival) or an NFC card
// (known by the name of the reader it lies on). Two USB handles are the same key only when they refer to
// the same object, so a re-plugged key is a different device even if it gets the same device node.
class Device {
public:
    // A USB handle to no device object; equal only to other such handles.
    Device() = default;

    static Device hidDevice(std::shared_ptr<HidDevice> device);
    static Device pcscDevice(std::string readerName);

    bool isHidDevice() const { return payload_.index() == 0; }
    bool isPcscDevice() const { return payload_.index() == 1; }

    // The USB device object; empty for a card.
    std::shared_ptr<HidDevice> hid() const;
    // The reader name; "" for a USB key.
    const std::string& readerName() const;

    // The comparison used wherever the view model looks a device up; the same meaning as equality.
    static bool isSame(const Device& a, const Device& b) { return a == b; }

    bool operator==(const Device& other) const = default;

    // The kind first, then the object identity or the reader name.
    std::size_t hash() const;

private:
    using Payload = std::variant<std::shared_ptr<HidDevice>, std::string>;
    explicit Device(Payload payload) : payload_(std::move(payload)) {}

    Payload payload_;
};

template <> struct std::hash<Device> {
    std::size_t operator()(const Device& device) const noexcept { return device.hash(); }
};
