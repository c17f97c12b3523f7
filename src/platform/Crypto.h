#pragma once

#include "platform/SecureBytes.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <span>

// Crypto primitives on OpenSSL libcrypto. Every function checks every OpenSSL return and reports failure
// as an empty optional (or false); nothing here ever hands back a partly filled or zeroed result.
namespace crypto {

using ByteView = std::span<const std::uint8_t>;

// Fills the whole buffer from the system's secure generator; false if the generator failed.
bool randomFill(std::span<std::uint8_t> out);

std::optional<SecureBytes> sha256(ByteView data);
std::optional<SecureBytes> hmacSha256(ByteView key, ByteView data);
std::optional<SecureBytes> hkdfSha256(ByteView ikm, ByteView salt, ByteView info, std::size_t length);

// AES-256-CBC without padding: the key must be 32 bytes, the IV 16 and the input a non-empty multiple of 16.
std::optional<SecureBytes> aes256CbcEncrypt(ByteView key, ByteView iv, ByteView plaintext);
std::optional<SecureBytes> aes256CbcDecrypt(ByteView key, ByteView iv, ByteView ciphertext);

// True when (x, y) are 32-byte coordinates of a finite point on P-256.
bool isValidP256Point(ByteView x, ByteView y);

// A P-256 key pair for key agreement. Coordinates are always 32 bytes, leading zeros kept.
class P256KeyPair {
public:
    static std::optional<P256KeyPair> generate();
    // From a 32-byte private scalar (known-answer tests and reproducible test keys).
    static std::optional<P256KeyPair> fromPrivateKey(ByteView d);

    P256KeyPair(P256KeyPair&&) noexcept;
    P256KeyPair& operator=(P256KeyPair&&) noexcept;
    ~P256KeyPair();

    const Bytes& x() const { return x_; }
    const Bytes& y() const { return y_; }

    // The ECDH shared secret (the x coordinate of d * peer, 32 bytes). The peer point is checked first.
    std::optional<SecureBytes> ecdh(ByteView peerX, ByteView peerY) const;

    // An ECDSA-SHA256 signature (DER) over data; used by the test authenticator for attestation.
    std::optional<Bytes> sign(ByteView data) const;

private:
    struct Key;
    explicit P256KeyPair(std::unique_ptr<Key> key, Bytes x, Bytes y);
    std::unique_ptr<Key> key_;
    Bytes x_;
    Bytes y_;
};

} // namespace crypto
