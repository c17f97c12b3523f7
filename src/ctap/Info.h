#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

// The decoded authenticatorGetInfo answer; a default Info is the answer of a key that said nothing.
struct Info {
    std::vector<std::string> versions;                          // 0x01
    std::vector<std::string> extensions;                        // 0x02
    std::string aaguid;                                         // 0x03, uppercase hex
    std::map<std::string, bool> options;                        // 0x04
    std::uint64_t maxMsgSize = 0;                               // 0x05
    std::vector<std::uint64_t> pinUvAuthProtocols;              // 0x06
    std::uint64_t maxCredentialCountInList = 0;                 // 0x07
    std::uint64_t maxCredentialIdLength = 0;                    // 0x08
    std::vector<std::string> transports;                        // 0x09
    std::vector<std::map<std::string, std::string>> algorithms; // 0x0A
    std::uint64_t maxSerializedLargeBlobArray = 0;              // 0x0B
    bool forcePINChange = false;                                // 0x0C
    std::uint64_t minPINLength = 0;                             // 0x0D
    std::uint64_t firmwareVersion = 0;                          // 0x0E
    std::uint64_t maxCredBlobLength = 0;                        // 0x0F
    std::uint64_t maxRPIDsForSetMinPINLength = 0;               // 0x10
    std::uint64_t preferredPlatformUvAttempts = 0;              // 0x11
    std::uint64_t uvModality = 0;                               // 0x12
    std::map<std::string, std::string> certifications;          // 0x13
    std::uint64_t remainingDiscoverableCredentials = 0;         // 0x14
    std::vector<std::uint64_t> vendorPrototypeConfigCommands;   // 0x15

    bool operator==(const Info&) const = default;
};
