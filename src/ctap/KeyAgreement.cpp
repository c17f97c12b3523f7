#include "ctap/KeyAgreement.h"

CborItem KeyAgreement::toCbor() const
{
    std::vector<std::pair<CborItem, CborItem>> entries;
    entries.emplace_back(cborFromUInt64(1), cborFromUInt64(type));
    entries.emplace_back(cborFromUInt64(3), cborFromInt64(algorithm));
    entries.emplace_back(cborFromInt64(-1), cborFromUInt64(curve));
    entries.emplace_back(cborFromInt64(-2), cborFromBytes(keyX));
    entries.emplace_back(cborFromInt64(-3), cborFromBytes(keyY));
    return cborMap(std::move(entries));
}

namespace {

// Looks a key up by its exact CBOR kind: an unsigned key 1 is not found under a negative -2 and vice versa,
// which cborMapFind's signed comparison already guarantees.
const cbor_item_t* entry(const cbor_item_t* map, std::int64_t key) { return cborMapFind(map, key); }

} // namespace

int KeyAgreement::readCbor(const cbor_item_t* map)
{
    int count = 0;
    if (!map || !cbor_isa_map(map))
        return 0;
    if (auto v = cborUInt64Value(entry(map, 1))) {
        type = *v;
        ++count;
    }
    if (auto v = cborInt64Value(entry(map, 3))) {
        algorithm = *v;
        ++count;
    }
    if (auto v = cborUInt64Value(entry(map, -1))) {
        curve = *v;
        ++count;
    }
    if (auto v = cborBytesValue(entry(map, -2))) {
        keyX = std::move(*v);
        ++count;
    }
    if (auto v = cborBytesValue(entry(map, -3))) {
        keyY = std::move(*v);
        ++count;
    }
    return count;
}
