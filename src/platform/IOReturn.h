#pragma once

#include <cstdint>
#include <string>

// Operation results use the 32-bit status codes of the desktop HID/IO world, with their usual values, so
// logs and tests can compare against the well-known numbers.
using IOReturn = std::uint32_t;

inline constexpr IOReturn kIOReturnSuccess = 0;
inline constexpr IOReturn kIOReturnError = 0xE00002BC;
inline constexpr IOReturn kIOReturnNoDevice = 0xE00002C0;
inline constexpr IOReturn kIOReturnUnsupported = 0xE00002C7;
inline constexpr IOReturn kIOReturnIOError = 0xE00002CA;
inline constexpr IOReturn kIOReturnTimeout = 0xE00002D6;
inline constexpr IOReturn kIOReturnNotPermitted = 0xE00002E2;
inline constexpr IOReturn kIOReturnOverrun = 0xE00002E8;
inline constexpr IOReturn kIOReturnAborted = 0xE00002EB;
inline constexpr IOReturn kIOReturnInvalid = 0xE0000001;

// Name of a status code for log lines ("kIOReturnTimeout"), or its hexadecimal value when unnamed.
std::string ioReturnName(IOReturn status);
