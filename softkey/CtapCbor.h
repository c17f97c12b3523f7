#pragma once

#include "platform/SecureBytes.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

// The authenticator's own CBOR writer: every answer is built from encoded pieces and every map is written in
// CTAP 2 canonical order (keys compared by their encoding, shorter first, then byte by byte), which is what a
// strict client checks. Kept apart from the client's request encoder on purpose.
class CtapCbor {
public:
    using Entry = std::pair<Bytes, Bytes>; // encoded key, encoded value

    static Bytes uint(std::uint64_t value);
    static Bytes integer(std::int64_t value);
    static Bytes bytes(std::span<const std::uint8_t> value);
    static Bytes text(std::string_view value);
    static Bytes boolean(bool value);
    static Bytes array(const std::vector<Bytes>& elements);
    static Bytes map(std::vector<Entry> entries);

    // The COSE form of a P-256 public key with the given algorithm (-7 for a credential, -25 for key agreement).
    static Bytes coseP256(std::int64_t alg, std::span<const std::uint8_t> x, std::span<const std::uint8_t> y);

    // The encoded bytes, exactly as received, of the value under an integer key of a top-level map. Clients
    // authenticate sub-command parameters over the bytes they sent, so the key must use those, not a
    // re-encoding. Nothing when the input is not one definite-length map or the key is absent.
    static std::optional<std::span<const std::uint8_t>> rawMapValue(std::span<const std::uint8_t> map,
                                                                    std::int64_t key);
};
