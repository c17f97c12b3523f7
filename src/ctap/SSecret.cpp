#include "ctap/SSecret.h"

#include <cstring>
#include <string_view>

namespace {

constexpr std::size_t kBlock = 16;

std::span<const std::uint8_t> ascii(std::string_view s)
{
    return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

} // namespace

std::optional<SSecret> SSecret::create(const KeyAgreement& peer, PinProtocol protocol)
{
    SSecret s;
    auto z = s.ecdh(peer);
    return derive(std::move(s), z, protocol);
}

std::optional<SSecret> SSecret::create(const KeyAgreement& peer, PinProtocol protocol,
                                       const crypto::P256KeyPair& platformKey)
{
    SSecret s;
    auto z = s.ecdh(peer, platformKey);
    return derive(std::move(s), z, protocol);
}

std::optional<SecureBytes> SSecret::ecdh(const KeyAgreement& peer)
{
    auto platformKey = crypto::P256KeyPair::generate();
    if (!platformKey)
        return std::nullopt;
    return ecdh(peer, *platformKey);
}

std::optional<SecureBytes> SSecret::ecdh(const KeyAgreement& peer, const crypto::P256KeyPair& platformKey)
{
    auto z = platformKey.ecdh(peer.keyX, peer.keyY);
    if (!z)
        return std::nullopt;
    keyAgreement_.keyX = platformKey.x();
    keyAgreement_.keyY = platformKey.y();
    return z;
}

std::optional<SSecret> SSecret::derive(SSecret s, const std::optional<SecureBytes>& z, PinProtocol protocol)
{
    if (!z)
        return std::nullopt;
    auto derived = protocol == PinProtocol::One ? kdfV1(*z) : kdfV2(*z);
    if (!derived)
        return std::nullopt;
    s.secret_ = std::move(*derived);
    s.pinProtocol_ = protocol;
    return s;
}

std::optional<SecureBytes> SSecret::kdfV1(std::span<const std::uint8_t> z) { return crypto::sha256(z); }

std::optional<SecureBytes> SSecret::kdfV2(std::span<const std::uint8_t> z)
{
    auto hmacKey = crypto::hkdfSha256(z, zeroSalt, ascii("CTAP2 HMAC key"), 32);
    auto aesKey = crypto::hkdfSha256(z, zeroSalt, ascii("CTAP2 AES key"), 32);
    if (!hmacKey || !aesKey)
        return std::nullopt;
    SecureBytes out = std::move(*hmacKey);
    out.append(*aesKey);
    return out;
}

std::optional<SecureBytes> SSecret::padPin(const SecureBytes& pin)
{
    if (pin.size() > 64)
        return std::nullopt;
    SecureBytes block(64);
    if (!pin.empty())
        std::memcpy(block.data(), pin.data(), pin.size());
    return block;
}

std::optional<Bytes> SSecret::encryptNewPin(const SecureBytes& pin) const
{
    auto block = padPin(pin);
    if (!block)
        return std::nullopt;
    return encrypt(*block, 64);
}

std::optional<Bytes> SSecret::encryptPinHash(const SecureBytes& pin) const
{
    auto digest = crypto::sha256(pin);
    if (!digest)
        return std::nullopt;
    return encrypt(*digest, 16);
}

std::optional<Bytes> SSecret::encrypt(std::span<const std::uint8_t> data, std::size_t count) const
{
    if (count == 0 || count % kBlock != 0 || count > data.size())
        return std::nullopt;
    const auto input = data.first(count);
    if (isOne()) {
        if (secret_.size() != 32)
            return std::nullopt;
        auto ct = crypto::aes256CbcEncrypt(secret_, zeroIV, input);
        if (!ct)
            return std::nullopt;
        return ct->toBytes();
    }
    if (secret_.size() != 64)
        return std::nullopt;
    Bytes iv(kBlock);
    if (!crypto::randomFill(iv))
        return std::nullopt;
    auto ct = crypto::aes256CbcEncrypt(secret_.span().subspan(32, 32), iv, input);
    if (!ct)
        return std::nullopt;
    Bytes out = std::move(iv);
    out.insert(out.end(), ct->begin(), ct->end());
    return out;
}

std::optional<SecureBytes> SSecret::decrypt(std::span<const std::uint8_t> data) const
{
    if (isOne()) {
        if (secret_.size() != 32 || data.empty() || data.size() % kBlock != 0)
            return std::nullopt;
        return crypto::aes256CbcDecrypt(secret_, zeroIV, data);
    }
    if (secret_.size() != 64 || data.size() <= kBlock || data.size() % kBlock != 0)
        return std::nullopt;
    return crypto::aes256CbcDecrypt(secret_.span().subspan(32, 32), data.first(kBlock), data.subspan(kBlock));
}

Bytes SSecret::authenticate(std::span<const std::uint8_t> message) const { return authenticate(secret_, message); }

Bytes SSecret::authenticate(std::span<const std::uint8_t> key, std::span<const std::uint8_t> message) const
{
    // Under Two only the first 32 bytes key the MAC (the HMAC half of a 64-byte secret); under One the whole key
    // does, as the key computes it, also for a token longer than 32 bytes.
    auto mac = crypto::hmacSha256(!isOne() && key.size() > 32 ? key.first(32) : key, message);
    if (!mac)
        return {};
    Bytes out = mac->toBytes();
    if (isOne())
        out.resize(16);
    return out;
}
