#include "fido/Cbor.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace {

constexpr int kMaxDepth = 32;

class WellFormedChecker {
public:
    explicit WellFormedChecker(std::span<const std::uint8_t> bytes) : p_(bytes) {}

    bool check() { return item(0) && pos_ == p_.size(); }

private:
    std::size_t remaining() const { return p_.size() - pos_; }

    // Reads a head; sets indefinite for additional info 31.
    bool head(std::uint8_t& major, std::uint8_t& info, std::uint64_t& arg)
    {
        if (remaining() < 1)
            return false;
        const std::uint8_t b = p_[pos_++];
        major = static_cast<std::uint8_t>(b >> 5);
        info = static_cast<std::uint8_t>(b & 0x1F);
        if (info < 24) {
            arg = info;
            return true;
        }
        if (info >= 28 && info <= 30)
            return false;
        if (info == 31) {
            arg = 0;
            return true;
        }
        const std::size_t n = std::size_t{1} << (info - 24);
        if (remaining() < n)
            return false;
        arg = 0;
        for (std::size_t i = 0; i < n; ++i)
            arg = (arg << 8) | p_[pos_++];
        return true;
    }

    bool isBreak() const { return remaining() >= 1 && p_[pos_] == 0xFF; }

    bool item(int depth)
    {
        if (depth > kMaxDepth)
            return false;
        std::uint8_t major = 0;
        std::uint8_t info = 0;
        std::uint64_t arg = 0;
        if (!head(major, info, arg))
            return false;
        const bool indefinite = info == 31;
        switch (major) {
        case 0:
        case 1:
            return !indefinite;
        case 2:
        case 3:
            if (!indefinite) {
                if (arg > remaining())
                    return false;
                pos_ += static_cast<std::size_t>(arg);
                return true;
            }
            while (!isBreak()) {
                std::uint8_t m = 0;
                std::uint8_t i = 0;
                std::uint64_t len = 0;
                if (!head(m, i, len) || m != major || i == 31 || len > remaining())
                    return false;
                pos_ += static_cast<std::size_t>(len);
            }
            return consumeBreak();
        case 4:
        case 5: {
            if (indefinite) {
                while (!isBreak()) {
                    if (remaining() == 0 || !item(depth + 1) || (major == 5 && !item(depth + 1)))
                        return false;
                }
                return consumeBreak();
            }
            const std::uint64_t perEntry = major == 5 ? 2 : 1;
            if (arg > remaining() / perEntry)
                return false;
            for (std::uint64_t k = 0; k < arg * perEntry; ++k)
                if (!item(depth + 1))
                    return false;
            return true;
        }
        case 6:
            return !indefinite && item(depth + 1);
        default: // 7: simple values and floats; a break is not an item
            return !indefinite && !(info == 24 && arg < 32);
        }
    }

    bool consumeBreak()
    {
        if (!isBreak())
            return false;
        ++pos_;
        return true;
    }

    std::span<const std::uint8_t> p_;
    std::size_t pos_ = 0;
};

int keyRank(const cbor_item_t* key)
{
    switch (cbor_typeof(key)) {
    case CBOR_TYPE_UINT: return 0;
    case CBOR_TYPE_NEGINT: return 1;
    case CBOR_TYPE_STRING: return cbor_string_is_definite(key) ? 2 : 3;
    default: return 3;
    }
}

std::string_view stringView(const cbor_item_t* item)
{
    return {reinterpret_cast<const char*>(cbor_string_handle(item)), cbor_string_length(item)};
}

void appendBytes(Bytes& out, const Bytes& more) { out.insert(out.end(), more.begin(), more.end()); }

} // namespace

bool cborWellFormed(std::span<const std::uint8_t> bytes)
{
    if (bytes.empty())
        return false;
    return WellFormedChecker(bytes).check();
}

std::optional<CborItem> cborDecode(std::span<const std::uint8_t> bytes)
{
    if (!cborWellFormed(bytes))
        return std::nullopt;
    cbor_load_result result{};
    CborItem item(cbor_load(bytes.data(), bytes.size(), &result));
    if (!item || result.error.code != CBOR_ERR_NONE || result.read != bytes.size())
        return std::nullopt;
    return item;
}

std::optional<std::string> cborStringValue(const cbor_item_t* item)
{
    if (!item || !cbor_isa_string(item) || !cbor_string_is_definite(item))
        return std::nullopt;
    return std::string(stringView(item));
}

std::optional<bool> cborBoolValue(const cbor_item_t* item)
{
    // libcbor asserts when a float is asked for its control value, so check the width first.
    if (!item || !cbor_isa_float_ctrl(item) || cbor_float_get_width(item) != CBOR_FLOAT_0 || !cbor_is_bool(item))
        return std::nullopt;
    return cbor_get_bool(item);
}

std::optional<std::uint64_t> cborUInt64Value(const cbor_item_t* item)
{
    if (!item || !cbor_isa_uint(item))
        return std::nullopt;
    return cbor_get_int(item);
}

std::optional<std::int64_t> cborInt64Value(const cbor_item_t* item)
{
    if (!item)
        return std::nullopt;
    constexpr auto kMax = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    if (cbor_isa_uint(item)) {
        const std::uint64_t v = cbor_get_int(item);
        if (v > kMax)
            return std::nullopt;
        return static_cast<std::int64_t>(v);
    }
    if (cbor_isa_negint(item)) {
        const std::uint64_t n = cbor_get_int(item);
        if (n > kMax)
            return std::nullopt;
        return -1 - static_cast<std::int64_t>(n);
    }
    return std::nullopt;
}

std::optional<CborArrayView> cborArrayValue(const cbor_item_t* item)
{
    if (!item || !cbor_isa_array(item))
        return std::nullopt;
    CborArrayView out;
    const std::size_t n = cbor_array_size(item);
    cbor_item_t** handle = cbor_array_handle(item);
    out.reserve(n);
    for (std::size_t i = 0; i < n; ++i)
        out.push_back(handle[i]);
    return out;
}

std::optional<CborMapView> cborMapValue(const cbor_item_t* item)
{
    if (!item || !cbor_isa_map(item))
        return std::nullopt;
    CborMapView out;
    const std::size_t n = cbor_map_size(item);
    const cbor_pair* pairs = cbor_map_handle(item);
    out.reserve(n);
    for (std::size_t i = 0; i < n; ++i)
        out.emplace_back(pairs[i].key, pairs[i].value);
    return out;
}

std::optional<Bytes> cborBytesValue(const cbor_item_t* item)
{
    if (!item || !cbor_isa_bytestring(item) || !cbor_bytestring_is_definite(item))
        return std::nullopt;
    const unsigned char* data = cbor_bytestring_handle(item);
    const std::size_t n = cbor_bytestring_length(item);
    if (n == 0)
        return Bytes{};
    return Bytes(data, data + n);
}

const cbor_item_t* cborMapFind(const cbor_item_t* map, std::int64_t key)
{
    if (!map || !cbor_isa_map(map))
        return nullptr;
    const cbor_pair* pairs = cbor_map_handle(map);
    for (std::size_t i = 0; i < cbor_map_size(map); ++i) {
        auto k = cborInt64Value(pairs[i].key);
        if (k && *k == key)
            return pairs[i].value;
    }
    return nullptr;
}

const cbor_item_t* cborMapFind(const cbor_item_t* map, std::string_view key)
{
    if (!map || !cbor_isa_map(map))
        return nullptr;
    const cbor_pair* pairs = cbor_map_handle(map);
    for (std::size_t i = 0; i < cbor_map_size(map); ++i) {
        const cbor_item_t* k = pairs[i].key;
        if (cbor_isa_string(k) && cbor_string_is_definite(k) && stringView(k) == key)
            return pairs[i].value;
    }
    return nullptr;
}

CborItem cborFromUInt64(std::uint64_t value)
{
    if (value <= 0xFF)
        return CborItem(cbor_build_uint8(static_cast<std::uint8_t>(value)));
    if (value <= 0xFFFF)
        return CborItem(cbor_build_uint16(static_cast<std::uint16_t>(value)));
    if (value <= 0xFFFFFFFFu)
        return CborItem(cbor_build_uint32(static_cast<std::uint32_t>(value)));
    return CborItem(cbor_build_uint64(value));
}

CborItem cborFromInt64(std::int64_t value)
{
    if (value >= 0)
        return cborFromUInt64(static_cast<std::uint64_t>(value));
    // -1 - value without overflow at INT64_MIN.
    const std::uint64_t n = static_cast<std::uint64_t>(-(value + 1));
    cbor_item_t* item = nullptr;
    if (n <= 0xFF)
        item = cbor_build_negint8(static_cast<std::uint8_t>(n));
    else if (n <= 0xFFFF)
        item = cbor_build_negint16(static_cast<std::uint16_t>(n));
    else if (n <= 0xFFFFFFFFu)
        item = cbor_build_negint32(static_cast<std::uint32_t>(n));
    else
        item = cbor_build_negint64(n);
    return CborItem(item);
}

CborItem cborFromBytes(std::span<const std::uint8_t> bytes)
{
    static const unsigned char kEmpty[1] = {0};
    return CborItem(cbor_build_bytestring(bytes.empty() ? kEmpty : bytes.data(), bytes.size()));
}

CborItem cborFromString(std::string_view text)
{
    static const char kEmpty[1] = {0};
    return CborItem(cbor_build_stringn(text.empty() ? kEmpty : text.data(), text.size()));
}

CborItem cborFromBool(bool value) { return CborItem(cbor_build_bool(value)); }

CborItem cborArray(std::vector<CborItem> elements)
{
    CborItem array(cbor_new_definite_array(elements.size()));
    if (!array)
        return array;
    for (auto& element : elements)
        if (!element || !cbor_array_push(array.get(), element.get()))
            return CborItem();
    return array;
}

CborItem cborMap(std::vector<std::pair<CborItem, CborItem>> entries)
{
    CborItem map(cbor_new_definite_map(entries.size()));
    if (!map)
        return map;
    for (auto& [key, value] : entries) {
        if (!key || !value)
            return CborItem();
        if (!cbor_map_add(map.get(), cbor_pair{.key = key.get(), .value = value.get()}))
            return CborItem();
    }
    return map;
}

Bytes cborEncode(const cbor_item_t* item)
{
    if (!item)
        return {};
    unsigned char* buffer = nullptr;
    std::size_t capacity = 0;
    const std::size_t length = cbor_serialize_alloc(item, &buffer, &capacity);
    Bytes out;
    if (length != 0 && buffer)
        out.assign(buffer, buffer + length);
    std::free(buffer);
    return out;
}

Bytes cborHead(std::uint8_t majorType, std::uint64_t argument)
{
    const auto mt = static_cast<std::uint8_t>(majorType << 5);
    Bytes out;
    if (argument < 24) {
        out.push_back(static_cast<std::uint8_t>(mt | argument));
        return out;
    }
    int width = argument <= 0xFF ? 1 : argument <= 0xFFFF ? 2 : argument <= 0xFFFFFFFFu ? 4 : 8;
    const std::uint8_t info = width == 1 ? 24 : width == 2 ? 25 : width == 4 ? 26 : 27;
    out.push_back(static_cast<std::uint8_t>(mt | info));
    for (int i = width - 1; i >= 0; --i)
        out.push_back(static_cast<std::uint8_t>(argument >> (8 * i)));
    return out;
}

bool canonicalCborKeyLess(const CborPair& a, const CborPair& b)
{
    const int ra = keyRank(a.first);
    const int rb = keyRank(b.first);
    if (ra != rb)
        return ra < rb;
    switch (ra) {
    case 0:
    case 1: return cbor_get_int(a.first) < cbor_get_int(b.first);
    case 2: {
        // The head grows with the length, so the shorter encoding is the shorter text.
        const std::string_view ta = stringView(a.first), tb = stringView(b.first);
        return ta.size() != tb.size() ? ta.size() < tb.size() : ta < tb;
    }
    default: return false;
    }
}

Bytes encodeCanonicalCborMap(const cbor_item_t* map)
{
    auto pairs = cborMapValue(map);
    if (!pairs)
        return {};
    std::stable_sort(pairs->begin(), pairs->end(), canonicalCborKeyLess);
    Bytes out = cborHead(5, pairs->size());
    for (const auto& [key, value] : *pairs) {
        appendBytes(out, cborEncode(key));
        appendBytes(out, cbor_isa_map(value) ? encodeCanonicalCborMap(value) : cborEncode(value));
    }
    return out;
}
