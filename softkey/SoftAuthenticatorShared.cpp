#include "softkey/SoftAuthenticatorShared.h"

#include <openssl/crypto.h>

namespace softauth {

Bytes status(std::uint8_t code) { return Bytes{code}; }

Bytes answer(const Bytes& cbor)
{
    // Sized first: g++ 12 wrongly warns of an out-of-bounds copy when inserting after a one-byte initialiser list.
    Bytes out;
    out.reserve(1 + cbor.size());
    out.push_back(OK);
    out.insert(out.end(), cbor.begin(), cbor.end());
    return out;
}

Bytes toBytes(std::string_view s) { return Bytes(s.begin(), s.end()); }

std::string toString(const Bytes& b) { return std::string(b.begin(), b.end()); }

Bytes concat(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b)
{
    Bytes out(a.begin(), a.end());
    out.insert(out.end(), b.begin(), b.end());
    return out;
}

bool equalConstTime(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b)
{
    return a.size() == b.size() && (a.empty() || CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0);
}

Bytes hash(std::span<const std::uint8_t> data)
{
    auto d = crypto::sha256(data);
    return d ? d->toBytes() : Bytes(32, 0);
}

Field getMap(const cbor_item_t* map, std::int64_t key, const cbor_item_t*& out)
{
    return getField(map, key, out, [](const cbor_item_t* v) {
        return cbor_isa_map(v) ? std::optional<const cbor_item_t*>(v) : std::nullopt;
    });
}

std::uint8_t required(Field f)
{
    switch (f) {
    case Field::Absent: return MISSING_PARAMETER;
    case Field::Wrong: return CBOR_UNEXPECTED_TYPE;
    default: return OK;
    }
}

std::uint8_t optional(Field f) { return f == Field::Wrong ? CBOR_UNEXPECTED_TYPE : OK; }

std::size_t codePoints(std::span<const std::uint8_t> utf8)
{
    return static_cast<std::size_t>(
        std::count_if(utf8.begin(), utf8.end(), [](std::uint8_t b) { return (b & 0xC0) != 0x80; }));
}

std::span<const std::uint8_t> tokenMacKey(const SecureBytes& token, std::uint64_t protocol)
{
    if (protocol == 1)
        return token.span();
    return token.span().first(std::min<std::size_t>(token.size(), 32));
}

} // namespace softauth
