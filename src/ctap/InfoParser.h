#pragma once

#include "ctap/Info.h"
#include "ctap/PinProtocol.h"

#include <span>

// Reads an authenticatorGetInfo payload (the bytes after the status byte) into info. protocol becomes the highest
// listed PIN/UV-auth protocol this client knows (None when key 0x06 is absent or lists none). A field that is
// absent or holds a value of another kind keeps its default, list and map elements of another kind are skipped,
// and the AAGUID is any byte string, in upper-case hex. Returns false, after the line "parseInfo: CBOR decode error",
// only when the payload is not one CBOR map; info is then the default.
bool parseInfo(std::span<const std::uint8_t> payload, Info& info, PinProtocol& protocol);
