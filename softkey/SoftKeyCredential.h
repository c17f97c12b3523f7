#pragma once

#include "platform/SecureBytes.h"

#include <cstdint>
#include <string>

// One discoverable credential on a software key, as fixtures add it and as tests read it back.
struct SoftKeyCredential {
    std::string rpId;
    std::string rpName;
    Bytes userId;
    std::string userName;
    std::string userDisplayName;
    Bytes credentialId;       // empty when added: a random 32-byte id is made
    Bytes privateKey;         // empty when added: a fresh P-256 key is made; else the 32-byte scalar
    std::uint64_t credProtect = 1;
    Bytes publicX;            // filled when read back
    Bytes publicY;
};
