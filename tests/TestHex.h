#pragma once

#include "fido/Utils.h"

#include <span>
#include <string>

// Test helper: hex text with optional spaces to bytes, and back.
inline Bytes H(const std::string& hex) { return hexToBytes(removeSpaces(hex)); }
inline std::string X(std::span<const std::uint8_t> bytes) { return bytesToHexString(bytes); }
