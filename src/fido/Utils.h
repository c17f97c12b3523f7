#pragma once

#include "platform/SecureBytes.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// Byte order values as the byte-order helpers take them: 0 unspecified, 1 little-endian, 2 big-endian.
using CFByteOrder = std::uint32_t;
inline constexpr CFByteOrder CFByteOrderUnknown = 0;
inline constexpr CFByteOrder CFByteOrderLittleEndian = 1;
inline constexpr CFByteOrder CFByteOrderBigEndian = 2;

// Each byte as two uppercase hexadecimal digits, no separator.
std::string bytesToHexString(std::span<const std::uint8_t> bytes);

// The texts joined with single spaces.
std::string joinedWithSpace(const std::vector<std::string>& texts);

// The text without any U+0020 space; other white space stays.
std::string removeSpaces(std::string_view text);

// Reads hexadecimal text pair by pair (characters are Unicode code points of the UTF-8 text). A pair is two
// hex digits, or a sign followed by one hex digit ("+F" is 0F, "-0" is 00); any other pair is dropped and
// yields no byte. An odd last character is ignored.
Bytes hexToBytes(std::string_view text);

Bytes dataToBytes(std::span<const std::uint8_t> data);

// count bytes from the system's secure generator; nothing when count is negative or the generator failed.
std::optional<Bytes> randomBytes(long count);

// The SHA-256 digest (32 bytes); empty only if the digest could not be computed.
Bytes sha256(std::span<const std::uint8_t> data);

// A 16-bit value as two bytes: [low, high] for little-endian (1), else [high, low].
Bytes toBytes(std::uint16_t value, CFByteOrder order);
