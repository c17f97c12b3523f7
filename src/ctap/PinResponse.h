#pragma once

#include "ctap/KeyAgreement.h"

#include <cstdint>
#include <span>
#include <utility>

// Parsers of authenticatorClientPIN answers (the bytes after the status byte). Each prints one line
// "<name>: CBOR decode error" when it fails.
class PinResponse {
public:
    struct PinRetries {
        std::uint64_t retries = 0;
        std::uint64_t uvRetries = 0;
        bool operator==(const PinRetries&) const = default;
    };

    static std::pair<KeyAgreement, bool> parseCborPinGetKeyAgreement(std::span<const std::uint8_t> data);
    // The still encrypted token under key 2.
    static std::pair<Bytes, bool> parseCborPinGetPinToken(std::span<const std::uint8_t> data);
    static bool parseCborPinGetRetries(std::span<const std::uint8_t> data, PinRetries& retries);
};
