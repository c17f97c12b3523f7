#pragma once

#include "ctap/Info.h"
#include "ctap/PinProtocol.h"

#include <span>

// Reads an authenticatorGetInfo payload (the bytes after the status byte) into info. protocol becomes the highest
// listed PIN/UV-auth protocol this client knows (None when key 0x06 is absent or lists none). Returns false, after
// the line "parseInfo: CBOR decode error", when the payload is not a CBOR map or a field is there with a value of
// the wrong kind (an AAGUID that is not 16 bytes among them); the fields that could be read are filled all the
// same.
bool parseInfo(std::span<const std::uint8_t> payload, Info& info, PinProtocol& protocol);
