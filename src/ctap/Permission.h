#pragma once

#include <cstdint>
#include <optional>

// pinUvAuthToken permissions; a request carries exactly one.
enum class Permission : std::uint8_t {
    makeCredential = 0x01,
    GetAssertion = 0x02,
    CredentialManagement = 0x04,
    BioEnrollment = 0x08,
    LargeBlobWrite = 0x10,
    AuthenticatorConfiguration = 0x20,
};

inline std::optional<Permission> permissionFromRaw(std::uint8_t raw)
{
    switch (raw) {
    case 0x01:
    case 0x02:
    case 0x04:
    case 0x08:
    case 0x10:
    case 0x20: return static_cast<Permission>(raw);
    default: return std::nullopt;
    }
}

constexpr std::uint8_t rawValue(Permission p) { return static_cast<std::uint8_t>(p); }
