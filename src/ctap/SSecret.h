#pragma once

#include "ctap/KeyAgreement.h"
#include "ctap/PinProtocol.h"
#include "platform/Crypto.h"
#include "platform/SecureBytes.h"

#include <array>
#include <optional>
#include <span>

// The shared secret of one PIN/UV-auth exchange and its encrypt, decrypt and authenticate operations, under
// protocol One (CTAP 2.0) or Two (CTAP 2.1; None behaves as Two).
class SSecret {
public:
    // Makes a fresh platform key pair, agrees with the key's public key and derives the secret. Fails when the
    // peer key is not a valid P-256 point or any crypto step fails.
    static std::optional<SSecret> create(const KeyAgreement& peer, PinProtocol protocol);
    // The same with a given platform key pair (reproducible tests).
    static std::optional<SSecret> create(const KeyAgreement& peer, PinProtocol protocol,
                                         const crypto::P256KeyPair& platformKey);

    PinProtocol pinProtocol() const { return pinProtocol_; }
    const SecureBytes& secret() const { return secret_; }
    // The platform's public key, as clientPIN requests carry it.
    KeyAgreement getKeyAgreement() const { return keyAgreement_; }

    // The HKDF salt of protocol Two and the AES-CBC IV of protocol One.
    static constexpr std::array<std::uint8_t, 32> zeroSalt{};
    static constexpr std::array<std::uint8_t, 16> zeroIV{};

    static std::optional<SecureBytes> kdfV1(std::span<const std::uint8_t> z);
    static std::optional<SecureBytes> kdfV2(std::span<const std::uint8_t> z);

    // The PIN's UTF-8 bytes in a 64-byte zero-padded block; nothing when the PIN takes more than 64 bytes.
    static std::optional<SecureBytes> padPin(const SecureBytes& pin);

    // newPinEnc: 64 bytes (One) or 80 (Two). Nothing when the PIN does not fit the block.
    std::optional<Bytes> encryptNewPin(const SecureBytes& pin) const;
    // pinHashEnc of LEFT(SHA-256(PIN), 16): 16 bytes (One) or 32 (Two).
    std::optional<Bytes> encryptPinHash(const SecureBytes& pin) const;
    // Encrypts the first count bytes (a non-zero multiple of 16, at most data.size()); Two puts a fresh IV in
    // front.
    std::optional<Bytes> encrypt(std::span<const std::uint8_t> data, std::size_t count) const;
    // Fails on an empty ciphertext, a length that is not a multiple of 16 or (Two) a missing IV.
    std::optional<SecureBytes> decrypt(std::span<const std::uint8_t> data) const;
    // HMAC-SHA-256 with the first 32 bytes of the key; One keeps the first 16 bytes of the MAC.
    Bytes authenticate(std::span<const std::uint8_t> message) const;
    Bytes authenticate(std::span<const std::uint8_t> key, std::span<const std::uint8_t> message) const;

private:
    SSecret() = default;
    // Agrees with the peer's public key under a new platform key pair (or the one given), whose public key
    // becomes keyAgreement; the shared secret Z, or nothing when the peer key is not a P-256 point.
    std::optional<SecureBytes> ecdh(const KeyAgreement& peer);
    std::optional<SecureBytes> ecdh(const KeyAgreement& peer, const crypto::P256KeyPair& platformKey);
    // The rest of creation once ecdh has run: the protocol's secret derived from Z.
    static std::optional<SSecret> derive(SSecret s, const std::optional<SecureBytes>& z, PinProtocol protocol);

    bool isOne() const { return pinProtocol_ == PinProtocol::One; }

    SecureBytes secret_;
    KeyAgreement keyAgreement_;
    PinProtocol pinProtocol_ = PinProtocol::None;
};
