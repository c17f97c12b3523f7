#pragma once

#include "ctap/Info.h"
#include "ctap/PinProtocol.h"

#include <span>

// Reads an authenticatorGetInfo payload (the bytes after the status byte) into info. Fields of the wrong kind
// keep their defaults. protocol becomes the highest listed PIN/UV-auth protocol this client knows (None when
// key 0x06 is absent or lists none). Returns false when the payload is not a CBOR map.
bool parseInfo(std::span<const std::uint8_t> payload, Info& info, PinProtocol& protocol);
