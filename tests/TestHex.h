#pragma once

#include "fido/Utils.h"

// Test helpers: hex text with optional spaces to bytes, and back.
inline Bytes H(const std::string& hex) { return hexToBytes(removeSpaces(hex)); }
inline std::string X(std::span<const std::uint8_t> bytes) { return bytesToHexString(bytes); }
