#pragma once

#include <cstdint>
#include <optional>
#include <string>

// The protocol vocabulary shared by both transports and the CTAP 2 client.

// Command of a request (CTAPHID command codes without the initialisation-packet bit); the card transport
// takes the same values to choose its APDU.
enum class CTAPHID : std::uint8_t {
    MSG = 0x03,
    CBOR = 0x10,
    INIT = 0x06,
    PING = 0x01,
    CANCEL = 0x11,
    ERROR = 0x3F,
    KEEPALIVE = 0x3B,
    WINK = 0x08,
    LOCK = 0x04,
};

// Status byte of a KEEPALIVE message.
enum class CTAPSTATUS : std::uint8_t {
    PROCESSING = 1,
    UPNEEDED = 2,
};

// The status byte that opens every CTAP 2 response. Keys send bytes that have no case here, so the byte
// travels raw and is converted only to name or judge it.
enum class CTAPHID_ERROR_CODE : std::uint8_t {
    ERR_NO_ERROR = 0x00,
    ERR_INVALID_CMD = 0x01,
    ERR_INVALID_PAR = 0x02,
    ERR_INVALID_LEN = 0x03,
    ERR_INVALID_SEQ = 0x04,
    ERR_MSG_TIMEOUT = 0x05,
    ERR_CHANNEL_BUSY = 0x06,
    ERR_LOCK_REQUIRED = 0x0A,
    ERR_INVALID_CHANNEL = 0x0B,
    ERR_CBOR_PARSING = 0x10,
    ERR_CBOR_UNEXPECTED_TYPE = 0x11,
    ERR_INVALID_CBOR = 0x12,
    ERR_INVALID_CBOR_TYPE = 0x13,
    ERR_MISSING_PARAMETER = 0x14,
    ERR_LIMIT_EXCEEDED = 0x15,
    ERR_UNSUPPORTED_EXTENSION = 0x16,
    ERR_CREDENTIAL_EXCLUDED = 0x19,
    ERR_PROCESSING = 0x21,
    ERR_INVALID_CREDENTIAL = 0x22,
    ERR_USER_ACTION_PENDING = 0x23,
    ERR_OPERATION_PENDING = 0x24,
    ERR_NO_OPERATIONS = 0x25,
    ERR_UNSUPPORTED_ALGORITHM = 0x26,
    ERR_OPERATION_DENIED = 0x27,
    ERR_KEY_STORE_FULL = 0x28,
    ERR_NO_OPERATION_PENDING = 0x2A,
    ERR_UNSUPPORTED_OPTION = 0x2B,
    ERR_INVALID_OPTION = 0x2C,
    ERR_KEEPALIVE_CANCEL = 0x2D,
    ERR_NO_CREDENTIALS = 0x2E,
    ERR_USER_ACTION_TIMEOUT = 0x2F,
    ERR_NOT_ALLOWED = 0x30,
    ERR_PIN_INVALID = 0x31,
    ERR_PIN_BLOCKED = 0x32,
    ERR_PIN_AUTH_INVALID = 0x33,
    ERR_PIN_AUTH_BLOCKED = 0x34,
    ERR_PIN_NOT_SET = 0x35,
    ERR_PIN_REQUIRED = 0x36,
    ERR_PIN_POLICY_VIOLATION = 0x37,
    ERR_PIN_TOKEN_EXPIRED = 0x38,
    ERR_REQUEST_TOO_LARGE = 0x39,
    ERR_ACTION_TIMEOUT = 0x3A,
    ERR_NOT_SUPPORTED = 0x3E,
    ERR_OTHER = 0x7F,
    ERR_SPEC_LAST = 0xDF,
    ERR_EXTENSION_FIRST = 0xE0,
    ERR_EXTENSION_LAST = 0xEF,
    ERR_VENDOR_FIRST = 0xF0,
    ERR_VENDOR_LAST = 0xFF,
};

// The case a raw byte names, or nothing: bytes off the wire may name no case at all.
std::optional<CTAPHID> ctaphidFromRaw(std::uint8_t raw);
std::optional<CTAPSTATUS> ctapStatusFromRaw(std::uint8_t raw);
std::optional<CTAPHID_ERROR_CODE> ctapErrorFromRaw(std::uint8_t raw);

constexpr std::uint8_t rawValue(CTAPHID v) { return static_cast<std::uint8_t>(v); }
constexpr std::uint8_t rawValue(CTAPSTATUS v) { return static_cast<std::uint8_t>(v); }
constexpr std::uint8_t rawValue(CTAPHID_ERROR_CODE v) { return static_cast<std::uint8_t>(v); }

// Names as log lines print them ("CBOR", "UPNEEDED", "ERR_PIN_INVALID").
std::string toString(CTAPHID v);
std::string toString(CTAPSTATUS v);
std::string toString(CTAPHID_ERROR_CODE v);

// The name of a raw CTAP status byte: its case name, or "UNKNOWN_0x3B" for a byte without a case.
std::string ctapErrorName(std::uint8_t raw);
