#pragma once

#include <cstdint>
#include <optional>
#include <span>

// The usage of one top-level collection of a HID report descriptor.
struct HidUsage {
    std::uint16_t usagePage = 0;
    std::uint16_t usage = 0;
    bool operator==(const HidUsage&) const = default;
};

// The usage of the first top-level collection (the device's primary usage), read from the raw descriptor bytes.
// Short and long items are walked with every length checked against the input; nothing is returned for a
// descriptor that is cut short, unbalanced beyond repair, or has no collection.
std::optional<HidUsage> hidPrimaryUsage(std::span<const std::uint8_t> descriptor);
