#pragma once

#include "ctap/CredentialRecords.h"

#include <cstdint>
#include <span>
#include <tuple>
#include <vector>

// Parsers of authenticatorCredentialManagement answers (the bytes after the status byte). Each prints one
// line "<name>: CBOR decode error" when it finds nothing it can use.
class CredentialManagementResponse {
public:
    // (existing count, remaining count, success); success needs both counts.
    static std::tuple<std::uint64_t, std::uint64_t, bool> ParseCborGetCredsMetaData(std::span<const std::uint8_t> data);
    // True when rp, rpIDHash or totalRPs was present; then appends one RpInfo while the total (from key 5 of
    // the begin answer) is above 0. An answer that does not parse appends nothing.
    static bool ParseCborEnumerateRPs(std::span<const std::uint8_t> data, std::vector<RpInfo>& list,
                                      std::uint64_t& totalRPs);
    // Appends one CredentialInfo when the answer holds a user (key 6).
    static bool ParseCborEnumerateCredentials(std::span<const std::uint8_t> data, std::vector<CredentialInfo>& list,
                                              std::uint64_t& totalCredentials);
};
