#pragma once

#include "fido/Cbor.h"
#include "platform/SecureBytes.h"

#include <cstdint>

// A COSE_Key as CTAP carries it: the key's and the platform's P-256 key-agreement keys, and a credential's
// public key.
struct KeyAgreement {
    std::uint64_t type = 2;       // kty: EC2
    std::int64_t algorithm = -25; // ECDH-ES + HKDF-256
    std::uint64_t curve = 1;      // P-256
    Bytes keyX;
    Bytes keyY;

    bool operator==(const KeyAgreement&) const = default;

    // The five-entry COSE map (keys 1, 3, -1, -2, -3).
    CborItem toCbor() const;
    // Reads the COSE entries that are present and of the right kind into this record (others keep their
    // values) and returns how many were read.
    int readCbor(const cbor_item_t* map);
};
