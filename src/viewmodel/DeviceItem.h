#pragma once

#include "ctap/PinProtocol.h"
#include "viewmodel/Device.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

// One row of the device list: what authenticatorGetInfo and the PIN retries told about one key. The member
// defaults are the values a row keeps when reading the key stops early. Rows compare and hash over every
// field, so a row whose key was re-read with a changed value no longer matches the old one.
struct DeviceItem {
    std::string deviceName{};
    Device device{};
    std::string firmware{};
    std::string aaguid{};
    std::string protocols{};
    bool pinPresent = false;
    bool hasCredMgmt = false;
    bool fido2Pre = false;
    // Nothing when the key's answer gave no count: a row never claims "0 retries left" the key did not say.
    std::optional<std::uint64_t> retries{};
    std::uint64_t minPinLength = 0;
    std::uint32_t cid = 0;
    PinProtocol pinProtocol = PinProtocol::One;

    bool operator==(const DeviceItem& other) const = default;

    std::size_t hash() const;
};

template <> struct std::hash<DeviceItem> {
    std::size_t operator()(const DeviceItem& item) const noexcept { return item.hash(); }
};
