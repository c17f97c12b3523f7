#include "fido/CtapConstants.h"

#include <array>
#include <cstdio>
#include <utility>

namespace {

using E = CTAPHID_ERROR_CODE;

constexpr std::array<std::pair<E, const char*>, 49> kErrorNames{{
    {E::ERR_NO_ERROR, "ERR_NO_ERROR"},
    {E::ERR_INVALID_CMD, "ERR_INVALID_CMD"},
    {E::ERR_INVALID_PAR, "ERR_INVALID_PAR"},
    {E::ERR_INVALID_LEN, "ERR_INVALID_LEN"},
    {E::ERR_INVALID_SEQ, "ERR_INVALID_SEQ"},
    {E::ERR_MSG_TIMEOUT, "ERR_MSG_TIMEOUT"},
    {E::ERR_CHANNEL_BUSY, "ERR_CHANNEL_BUSY"},
    {E::ERR_LOCK_REQUIRED, "ERR_LOCK_REQUIRED"},
    {E::ERR_INVALID_CHANNEL, "ERR_INVALID_CHANNEL"},
    {E::ERR_CBOR_PARSING, "ERR_CBOR_PARSING"},
    {E::ERR_CBOR_UNEXPECTED_TYPE, "ERR_CBOR_UNEXPECTED_TYPE"},
    {E::ERR_INVALID_CBOR, "ERR_INVALID_CBOR"},
    {E::ERR_INVALID_CBOR_TYPE, "ERR_INVALID_CBOR_TYPE"},
    {E::ERR_MISSING_PARAMETER, "ERR_MISSING_PARAMETER"},
    {E::ERR_LIMIT_EXCEEDED, "ERR_LIMIT_EXCEEDED"},
    {E::ERR_UNSUPPORTED_EXTENSION, "ERR_UNSUPPORTED_EXTENSION"},
    {E::ERR_CREDENTIAL_EXCLUDED, "ERR_CREDENTIAL_EXCLUDED"},
    {E::ERR_PROCESSING, "ERR_PROCESSING"},
    {E::ERR_INVALID_CREDENTIAL, "ERR_INVALID_CREDENTIAL"},
    {E::ERR_USER_ACTION_PENDING, "ERR_USER_ACTION_PENDING"},
    {E::ERR_OPERATION_PENDING, "ERR_OPERATION_PENDING"},
    {E::ERR_NO_OPERATIONS, "ERR_NO_OPERATIONS"},
    {E::ERR_UNSUPPORTED_ALGORITHM, "ERR_UNSUPPORTED_ALGORITHM"},
    {E::ERR_OPERATION_DENIED, "ERR_OPERATION_DENIED"},
    {E::ERR_KEY_STORE_FULL, "ERR_KEY_STORE_FULL"},
    {E::ERR_NO_OPERATION_PENDING, "ERR_NO_OPERATION_PENDING"},
    {E::ERR_UNSUPPORTED_OPTION, "ERR_UNSUPPORTED_OPTION"},
    {E::ERR_INVALID_OPTION, "ERR_INVALID_OPTION"},
    {E::ERR_KEEPALIVE_CANCEL, "ERR_KEEPALIVE_CANCEL"},
    {E::ERR_NO_CREDENTIALS, "ERR_NO_CREDENTIALS"},
    {E::ERR_USER_ACTION_TIMEOUT, "ERR_USER_ACTION_TIMEOUT"},
    {E::ERR_NOT_ALLOWED, "ERR_NOT_ALLOWED"},
    {E::ERR_PIN_INVALID, "ERR_PIN_INVALID"},
    {E::ERR_PIN_BLOCKED, "ERR_PIN_BLOCKED"},
    {E::ERR_PIN_AUTH_INVALID, "ERR_PIN_AUTH_INVALID"},
    {E::ERR_PIN_AUTH_BLOCKED, "ERR_PIN_AUTH_BLOCKED"},
    {E::ERR_PIN_NOT_SET, "ERR_PIN_NOT_SET"},
    {E::ERR_PIN_REQUIRED, "ERR_PIN_REQUIRED"},
    {E::ERR_PIN_POLICY_VIOLATION, "ERR_PIN_POLICY_VIOLATION"},
    {E::ERR_PIN_TOKEN_EXPIRED, "ERR_PIN_TOKEN_EXPIRED"},
    {E::ERR_REQUEST_TOO_LARGE, "ERR_REQUEST_TOO_LARGE"},
    {E::ERR_ACTION_TIMEOUT, "ERR_ACTION_TIMEOUT"},
    {E::ERR_NOT_SUPPORTED, "ERR_NOT_SUPPORTED"},
    {E::ERR_OTHER, "ERR_OTHER"},
    {E::ERR_SPEC_LAST, "ERR_SPEC_LAST"},
    {E::ERR_EXTENSION_FIRST, "ERR_EXTENSION_FIRST"},
    {E::ERR_EXTENSION_LAST, "ERR_EXTENSION_LAST"},
    {E::ERR_VENDOR_FIRST, "ERR_VENDOR_FIRST"},
    {E::ERR_VENDOR_LAST, "ERR_VENDOR_LAST"},
}};

constexpr std::array<std::pair<CTAPHID, const char*>, 9> kCommandNames{{
    {CTAPHID::MSG, "MSG"},
    {CTAPHID::CBOR, "CBOR"},
    {CTAPHID::INIT, "INIT"},
    {CTAPHID::PING, "PING"},
    {CTAPHID::CANCEL, "CANCEL"},
    {CTAPHID::ERROR, "ERROR"},
    {CTAPHID::KEEPALIVE, "KEEPALIVE"},
    {CTAPHID::WINK, "WINK"},
    {CTAPHID::LOCK, "LOCK"},
}};

std::string unknownName(std::uint8_t raw)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "UNKNOWN_0x%02X", raw);
    return buf;
}

} // namespace

std::optional<CTAPHID> ctaphidFromRaw(std::uint8_t raw)
{
    for (const auto& [value, name] : kCommandNames)
        if (rawValue(value) == raw)
            return value;
    return std::nullopt;
}

std::optional<CTAPSTATUS> ctapStatusFromRaw(std::uint8_t raw)
{
    switch (raw) {
    case 1: return CTAPSTATUS::PROCESSING;
    case 2: return CTAPSTATUS::UPNEEDED;
    default: return std::nullopt;
    }
}

std::optional<CTAPHID_ERROR_CODE> ctapErrorFromRaw(std::uint8_t raw)
{
    for (const auto& [value, name] : kErrorNames)
        if (rawValue(value) == raw)
            return value;
    return std::nullopt;
}

std::string toString(CTAPHID v)
{
    for (const auto& [value, name] : kCommandNames)
        if (value == v)
            return name;
    return unknownName(rawValue(v));
}

std::string toString(CTAPSTATUS v)
{
    switch (v) {
    case CTAPSTATUS::PROCESSING: return "PROCESSING";
    case CTAPSTATUS::UPNEEDED: return "UPNEEDED";
    }
    return unknownName(rawValue(v));
}

std::string toString(CTAPHID_ERROR_CODE v) { return ctapErrorName(rawValue(v)); }

std::string ctapErrorName(std::uint8_t raw)
{
    for (const auto& [value, name] : kErrorNames)
        if (rawValue(value) == raw)
            return name;
    return unknownName(raw);
}
