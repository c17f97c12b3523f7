#pragma once

#include <cstdint>
#include <optional>

// The PIN/UV-auth protocol of a key; the raw value is what requests carry as pinUvAuthProtocol.
enum class PinProtocol : std::uint64_t {
    None = 0,
    One = 1,
    Two = 2,
};

inline std::optional<PinProtocol> pinProtocolFromRaw(std::uint64_t raw)
{
    if (raw <= 2)
        return static_cast<PinProtocol>(raw);
    return std::nullopt;
}

constexpr std::uint64_t rawValue(PinProtocol p) { return static_cast<std::uint64_t>(p); }
