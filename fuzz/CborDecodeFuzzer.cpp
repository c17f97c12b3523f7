#include "fido/Cbor.h"

#include <cstddef>
#include <cstdint>
#include <functional>

namespace {

// Walks a decoded tree through every accessor, as the answer parsers do.
void walk(const cbor_item_t* item, int depth)
{
    if (!item || depth > 40)
        return;
    (void)cborStringValue(item);
    (void)cborBoolValue(item);
    (void)cborUInt64Value(item);
    (void)cborInt64Value(item);
    (void)cborBytesValue(item);
    if (auto array = cborArrayValue(item))
        for (const cbor_item_t* e : *array)
            walk(e, depth + 1);
    if (auto map = cborMapValue(item)) {
        for (const auto& [k, v] : *map) {
            walk(k, depth + 1);
            walk(v, depth + 1);
        }
        (void)cborMapFind(item, 1);
        (void)cborMapFind(item, "id");
        (void)encodeCanonicalCborMap(item);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    auto item = cborDecode(std::span<const std::uint8_t>(data, size));
    if (item) {
        walk(item->get(), 0);
        (void)cborEncode(item->get());
    }
    return 0;
}
