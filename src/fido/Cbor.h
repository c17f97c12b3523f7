#pragma once

#include "platform/SecureBytes.h"

#include <cbor.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// Owning handle of a libcbor item (one reference).
struct CborItemDeleter {
    void operator()(cbor_item_t* item) const
    {
        if (item)
            cbor_decref(&item);
    }
};
using CborItem = std::unique_ptr<cbor_item_t, CborItemDeleter>;

// Borrowed views into a decoded tree; valid while the owning CborItem lives.
using CborPair = std::pair<const cbor_item_t*, const cbor_item_t*>;
using CborMapView = std::vector<CborPair>;
using CborArrayView = std::vector<const cbor_item_t*>;

// Decodes exactly one well-formed item that spans the whole input. The bytes are checked first (heads,
// lengths and element counts within the bytes that remain, nesting depth at most 32), so a tiny input that
// declares a huge array is refused before the codec allocates for it.
std::optional<CborItem> cborDecode(std::span<const std::uint8_t> bytes);

// True when bytes hold exactly one well-formed item under the limits above.
bool cborWellFormed(std::span<const std::uint8_t> bytes);

// Strict accessors: the value, or nothing for any other kind. No conversion between kinds.
std::optional<std::string> cborStringValue(const cbor_item_t* item);
std::optional<bool> cborBoolValue(const cbor_item_t* item);
std::optional<std::uint64_t> cborUInt64Value(const cbor_item_t* item);
std::optional<std::int64_t> cborInt64Value(const cbor_item_t* item);
std::optional<CborArrayView> cborArrayValue(const cbor_item_t* item);
std::optional<CborMapView> cborMapValue(const cbor_item_t* item);
std::optional<Bytes> cborBytesValue(const cbor_item_t* item);

// The value stored under an integer or text key of a map item; nullptr when absent or not a map.
const cbor_item_t* cborMapFind(const cbor_item_t* map, std::int64_t key);
const cbor_item_t* cborMapFind(const cbor_item_t* map, std::string_view key);

// Item builders; integers always take their shortest width so the encoding is canonical.
CborItem cborFromUInt64(std::uint64_t value);
CborItem cborFromInt64(std::int64_t value);
CborItem cborFromBytes(std::span<const std::uint8_t> bytes);
CborItem cborFromString(std::string_view text);
CborItem cborFromBool(bool value);
CborItem cborArray(std::vector<CborItem> elements);
CborItem cborMap(std::vector<std::pair<CborItem, CborItem>> entries);

// The codec's standard encoding of one item (definite lengths, the widths the item was built with).
Bytes cborEncode(const cbor_item_t* item);

// The encoding of a map with its keys in CTAP 2 canonical order (unsigned ascending, then negative -1, -2, ...,
// then text, shorter first and byte-wise among equal lengths); maps stored as map values are sorted alike, maps
// inside arrays or tags are not.
Bytes encodeCanonicalCborMap(const cbor_item_t* map);

// The key ordering used by encodeCanonicalCborMap. It is a strict weak ordering: keys rank unsigned, then
// negative, then text, then everything else (all equivalent), and compare by value within a rank.
bool canonicalCborKeyLess(const CborPair& a, const CborPair& b);

// The shortest CBOR head for a major type (0-7) and argument.
Bytes cborHead(std::uint8_t majorType, std::uint64_t argument);
