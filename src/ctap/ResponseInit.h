#pragma once

#include <cstdint>

// The decoded answer to CTAPHID INIT (all zero for a card, which has no INIT).
struct ResponseInit {
    std::uint32_t cid = 0;
    std::uint8_t protocolVersion = 0;
    std::uint8_t deviceMajor = 0;
    std::uint8_t deviceMinor = 0;
    std::uint8_t deviceBuild = 0;
    std::uint8_t capabilityFlag = 0;

    bool operator==(const ResponseInit&) const = default;
};
