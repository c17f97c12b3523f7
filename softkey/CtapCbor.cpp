#include "softkey/CtapCbor.h"

#include "fido/Cbor.h"

#include <algorithm>

namespace {

void append(Bytes& out, std::span<const std::uint8_t> more) { out.insert(out.end(), more.begin(), more.end()); }

// Walks one definite-length item; false when it runs past the end, nests too deep or is indefinite.
class RawWalker {
public:
    explicit RawWalker(std::span<const std::uint8_t> b) : b_(b) {}

    bool head(std::uint8_t& major, std::uint64_t& arg)
    {
        if (pos_ >= b_.size())
            return false;
        const std::uint8_t first = b_[pos_++];
        major = static_cast<std::uint8_t>(first >> 5);
        const std::uint8_t info = first & 0x1F;
        if (info < 24) {
            arg = info;
            return true;
        }
        if (info > 27)
            return false;
        const std::size_t n = std::size_t{1} << (info - 24);
        if (b_.size() - pos_ < n)
            return false;
        arg = 0;
        for (std::size_t i = 0; i < n; ++i)
            arg = arg << 8 | b_[pos_++];
        return true;
    }

    bool skip(int depth = 0)
    {
        if (depth > 16)
            return false;
        std::uint8_t major = 0;
        std::uint64_t arg = 0;
        if (!head(major, arg))
            return false;
        switch (major) {
        case 0:
        case 1:
        case 7: return true;
        case 2:
        case 3:
            if (arg > b_.size() - pos_)
                return false;
            pos_ += static_cast<std::size_t>(arg);
            return true;
        case 4:
        case 5: {
            const std::uint64_t items = major == 5 ? arg * 2 : arg;
            if (arg > b_.size() - pos_)
                return false;
            for (std::uint64_t i = 0; i < items; ++i)
                if (!skip(depth + 1))
                    return false;
            return true;
        }
        case 6: return skip(depth + 1);
        default: return false;
        }
    }

    std::size_t pos() const { return pos_; }

private:
    std::span<const std::uint8_t> b_;
    std::size_t pos_ = 0;
};

} // namespace

Bytes CtapCbor::uint(std::uint64_t value) { return cborHead(0, value); }

Bytes CtapCbor::integer(std::int64_t value)
{
    if (value >= 0)
        return cborHead(0, static_cast<std::uint64_t>(value));
    return cborHead(1, static_cast<std::uint64_t>(-(value + 1)));
}

Bytes CtapCbor::bytes(std::span<const std::uint8_t> value)
{
    Bytes out = cborHead(2, value.size());
    append(out, value);
    return out;
}

Bytes CtapCbor::text(std::string_view value)
{
    Bytes out = cborHead(3, value.size());
    out.insert(out.end(), value.begin(), value.end());
    return out;
}

Bytes CtapCbor::boolean(bool value) { return Bytes{static_cast<std::uint8_t>(value ? 0xF5 : 0xF4)}; }

Bytes CtapCbor::array(const std::vector<Bytes>& elements)
{
    Bytes out = cborHead(4, elements.size());
    for (const auto& e : elements)
        append(out, e);
    return out;
}

Bytes CtapCbor::map(std::vector<Entry> entries)
{
    std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
        if (a.first.size() != b.first.size())
            return a.first.size() < b.first.size();
        return a.first < b.first;
    });
    Bytes out = cborHead(5, entries.size());
    for (const auto& [k, v] : entries) {
        append(out, k);
        append(out, v);
    }
    return out;
}

Bytes CtapCbor::coseP256(std::int64_t alg, std::span<const std::uint8_t> x, std::span<const std::uint8_t> y)
{
    return map({{integer(1), integer(2)},
                {integer(3), integer(alg)},
                {integer(-1), integer(1)},
                {integer(-2), bytes(x)},
                {integer(-3), bytes(y)}});
}

std::optional<std::span<const std::uint8_t>> CtapCbor::rawMapValue(std::span<const std::uint8_t> map,
                                                                   std::int64_t key)
{
    RawWalker w(map);
    std::uint8_t major = 0;
    std::uint64_t count = 0;
    if (!w.head(major, count) || major != 5 || count > map.size())
        return std::nullopt;
    const Bytes wanted = integer(key);
    for (std::uint64_t i = 0; i < count; ++i) {
        const std::size_t keyStart = w.pos();
        if (!w.skip())
            return std::nullopt;
        const std::size_t valueStart = w.pos();
        if (!w.skip())
            return std::nullopt;
        const auto keyBytes = map.subspan(keyStart, valueStart - keyStart);
        if (std::equal(keyBytes.begin(), keyBytes.end(), wanted.begin(), wanted.end()))
            return map.subspan(valueStart, w.pos() - valueStart);
    }
    return std::nullopt;
}
