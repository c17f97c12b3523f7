#include "platform/Crypto.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/obj_mac.h>
#include <openssl/param_build.h>
#include <openssl/params.h>
#include <openssl/rand.h>

#include <climits>
#include <cstring>

namespace crypto {
namespace {

template <auto Fn>
struct Deleter {
    template <typename T>
    void operator()(T* p) const
    {
        Fn(p);
    }
};
using EvpPkey = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY_free>>;
using EvpPkeyCtx = std::unique_ptr<EVP_PKEY_CTX, Deleter<EVP_PKEY_CTX_free>>;
using EvpCipherCtx = std::unique_ptr<EVP_CIPHER_CTX, Deleter<EVP_CIPHER_CTX_free>>;
using EvpMac = std::unique_ptr<EVP_MAC, Deleter<EVP_MAC_free>>;
using EvpMacCtx = std::unique_ptr<EVP_MAC_CTX, Deleter<EVP_MAC_CTX_free>>;
using EvpKdf = std::unique_ptr<EVP_KDF, Deleter<EVP_KDF_free>>;
using EvpKdfCtx = std::unique_ptr<EVP_KDF_CTX, Deleter<EVP_KDF_CTX_free>>;
using EvpMdCtx = std::unique_ptr<EVP_MD_CTX, Deleter<EVP_MD_CTX_free>>;
using Bignum = std::unique_ptr<BIGNUM, Deleter<BN_clear_free>>;
using EcGroup = std::unique_ptr<EC_GROUP, Deleter<EC_GROUP_free>>;
using EcPoint = std::unique_ptr<EC_POINT, Deleter<EC_POINT_free>>;
using ParamBld = std::unique_ptr<OSSL_PARAM_BLD, Deleter<OSSL_PARAM_BLD_free>>;
using Params = std::unique_ptr<OSSL_PARAM, Deleter<OSSL_PARAM_free>>;

constexpr std::size_t kCoord = 32;

// OpenSSL's const-incorrect parameter APIs take void*/unsigned char*; the buffers are never written.
unsigned char* mutableBytes(ByteView v) { return const_cast<unsigned char*>(v.data()); }

std::optional<SecureBytes> aesCbc(ByteView key, ByteView iv, ByteView in, bool encrypt)
{
    if (key.size() != 32 || iv.size() != 16 || in.empty() || in.size() % 16 != 0 || in.size() > INT_MAX - 16)
        return std::nullopt;
    EvpCipherCtx ctx(EVP_CIPHER_CTX_new());
    if (!ctx)
        return std::nullopt;
    if (EVP_CipherInit_ex(ctx.get(), EVP_aes_256_cbc(), nullptr, key.data(), iv.data(), encrypt ? 1 : 0) != 1)
        return std::nullopt;
    if (EVP_CIPHER_CTX_set_padding(ctx.get(), 0) != 1)
        return std::nullopt;
    SecureBytes out(in.size() + 16);
    int len1 = 0;
    int len2 = 0;
    if (EVP_CipherUpdate(ctx.get(), out.data(), &len1, in.data(), static_cast<int>(in.size())) != 1)
        return std::nullopt;
    if (EVP_CipherFinal_ex(ctx.get(), out.data() + len1, &len2) != 1)
        return std::nullopt;
    if (static_cast<std::size_t>(len1) + static_cast<std::size_t>(len2) != in.size())
        return std::nullopt;
    out.resize(in.size());
    return out;
}

EcGroup p256Group() { return EcGroup(EC_GROUP_new_by_curve_name(NID_X9_62_prime256v1)); }

// Writes a big number as exactly 32 big-endian bytes (leading zeros kept).
bool bnTo32(const BIGNUM* bn, Bytes& out)
{
    out.assign(kCoord, 0);
    return BN_bn2binpad(bn, out.data(), static_cast<int>(kCoord)) == static_cast<int>(kCoord);
}

EvpPkey publicKeyFromPoint(ByteView x, ByteView y)
{
    Bytes octets;
    octets.reserve(1 + 2 * kCoord);
    octets.push_back(0x04);
    octets.insert(octets.end(), x.begin(), x.end());
    octets.insert(octets.end(), y.begin(), y.end());
    ParamBld bld(OSSL_PARAM_BLD_new());
    if (!bld)
        return nullptr;
    if (OSSL_PARAM_BLD_push_utf8_string(bld.get(), OSSL_PKEY_PARAM_GROUP_NAME, SN_X9_62_prime256v1, 0) != 1 ||
        OSSL_PARAM_BLD_push_octet_string(bld.get(), OSSL_PKEY_PARAM_PUB_KEY, octets.data(), octets.size()) != 1)
        return nullptr;
    Params params(OSSL_PARAM_BLD_to_param(bld.get()));
    EvpPkeyCtx ctx(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
    if (!params || !ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1)
        return nullptr;
    EVP_PKEY* raw = nullptr;
    if (EVP_PKEY_fromdata(ctx.get(), &raw, EVP_PKEY_PUBLIC_KEY, params.get()) != 1)
        return nullptr;
    return EvpPkey(raw);
}

} // namespace

bool randomFill(std::span<std::uint8_t> out)
{
    if (out.empty())
        return true;
    if (out.size() > INT_MAX)
        return false;
    if (RAND_bytes(out.data(), static_cast<int>(out.size())) != 1) {
        OPENSSL_cleanse(out.data(), out.size());
        return false;
    }
    return true;
}

std::optional<SecureBytes> sha256(ByteView data)
{
    SecureBytes out(32);
    unsigned int len = 0;
    if (EVP_Digest(data.data(), data.size(), out.data(), &len, EVP_sha256(), nullptr) != 1 || len != 32)
        return std::nullopt;
    return out;
}

std::optional<SecureBytes> hmacSha256(ByteView key, ByteView data)
{
    EvpMac mac(EVP_MAC_fetch(nullptr, "HMAC", nullptr));
    if (!mac)
        return std::nullopt;
    EvpMacCtx ctx(EVP_MAC_CTX_new(mac.get()));
    if (!ctx)
        return std::nullopt;
    char digest[] = "SHA256";
    OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0), OSSL_PARAM_END};
    // An empty key is legal for HMAC but OpenSSL wants a non-null pointer.
    static const unsigned char kEmpty[1] = {0};
    const unsigned char* keyPtr = key.empty() ? kEmpty : key.data();
    if (EVP_MAC_init(ctx.get(), keyPtr, key.size(), params) != 1)
        return std::nullopt;
    if (EVP_MAC_update(ctx.get(), data.data(), data.size()) != 1)
        return std::nullopt;
    SecureBytes out(32);
    std::size_t len = 0;
    if (EVP_MAC_final(ctx.get(), out.data(), &len, out.size()) != 1 || len != 32)
        return std::nullopt;
    return out;
}

std::optional<SecureBytes> hkdfSha256(ByteView ikm, ByteView salt, ByteView info, std::size_t length)
{
    if (length == 0 || length > 255 * 32)
        return std::nullopt;
    EvpKdf kdf(EVP_KDF_fetch(nullptr, "HKDF", nullptr));
    if (!kdf)
        return std::nullopt;
    EvpKdfCtx ctx(EVP_KDF_CTX_new(kdf.get()));
    if (!ctx)
        return std::nullopt;
    char digest[] = "SHA256";
    // RFC 5869: an absent salt is a string of HashLen zeros; OpenSSL does the same for an empty one, but
    // spell it out so the behaviour does not depend on that.
    static const unsigned char kZeroSalt[32] = {};
    ByteView saltUsed = salt.empty() ? ByteView(kZeroSalt, sizeof kZeroSalt) : salt;
    static const unsigned char kEmpty[1] = {0};
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY, ikm.empty() ? const_cast<unsigned char*>(kEmpty)
                                                                          : mutableBytes(ikm),
                                          ikm.size()),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SALT, mutableBytes(saltUsed), saltUsed.size()),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_INFO, info.empty() ? const_cast<unsigned char*>(kEmpty)
                                                                            : mutableBytes(info),
                                          info.size()),
        OSSL_PARAM_END};
    SecureBytes out(length);
    if (EVP_KDF_derive(ctx.get(), out.data(), out.size(), params) != 1)
        return std::nullopt;
    return out;
}

std::optional<SecureBytes> aes256CbcEncrypt(ByteView key, ByteView iv, ByteView plaintext)
{
    return aesCbc(key, iv, plaintext, true);
}

std::optional<SecureBytes> aes256CbcDecrypt(ByteView key, ByteView iv, ByteView ciphertext)
{
    return aesCbc(key, iv, ciphertext, false);
}

bool isValidP256Point(ByteView x, ByteView y)
{
    if (x.size() != kCoord || y.size() != kCoord)
        return false;
    EcGroup group = p256Group();
    if (!group)
        return false;
    EcPoint point(EC_POINT_new(group.get()));
    Bignum bx(BN_bin2bn(x.data(), static_cast<int>(x.size()), nullptr));
    Bignum by(BN_bin2bn(y.data(), static_cast<int>(y.size()), nullptr));
    if (!point || !bx || !by)
        return false;
    // set_affine_coordinates rejects coordinates that are not on the curve (and those >= p).
    if (EC_POINT_set_affine_coordinates(group.get(), point.get(), bx.get(), by.get(), nullptr) != 1)
        return false;
    return EC_POINT_is_on_curve(group.get(), point.get(), nullptr) == 1 &&
           EC_POINT_is_at_infinity(group.get(), point.get()) == 0;
}

struct P256KeyPair::Key {
    EvpPkey pkey;
};

P256KeyPair::P256KeyPair(std::unique_ptr<Key> key, Bytes x, Bytes y)
    : key_(std::move(key)), x_(std::move(x)), y_(std::move(y))
{
}
P256KeyPair::P256KeyPair(P256KeyPair&&) noexcept = default;
P256KeyPair& P256KeyPair::operator=(P256KeyPair&&) noexcept = default;
P256KeyPair::~P256KeyPair() = default;

std::optional<P256KeyPair> P256KeyPair::generate()
{
    EvpPkeyCtx ctx(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
    if (!ctx || EVP_PKEY_keygen_init(ctx.get()) != 1)
        return std::nullopt;
    char group[] = SN_X9_62_prime256v1;
    OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, group, 0), OSSL_PARAM_END};
    if (EVP_PKEY_CTX_set_params(ctx.get(), params) != 1)
        return std::nullopt;
    EVP_PKEY* raw = nullptr;
    if (EVP_PKEY_generate(ctx.get(), &raw) != 1)
        return std::nullopt;
    EvpPkey pkey(raw);
    BIGNUM* rx = nullptr;
    BIGNUM* ry = nullptr;
    const bool gotX = EVP_PKEY_get_bn_param(pkey.get(), OSSL_PKEY_PARAM_EC_PUB_X, &rx) == 1;
    Bignum bx(rx);
    const bool gotY = EVP_PKEY_get_bn_param(pkey.get(), OSSL_PKEY_PARAM_EC_PUB_Y, &ry) == 1;
    Bignum by(ry);
    Bytes x;
    Bytes y;
    if (!gotX || !gotY || !bnTo32(bx.get(), x) || !bnTo32(by.get(), y))
        return std::nullopt;
    auto key = std::make_unique<Key>();
    key->pkey = std::move(pkey);
    return P256KeyPair(std::move(key), std::move(x), std::move(y));
}

std::optional<P256KeyPair> P256KeyPair::fromPrivateKey(ByteView d)
{
    if (d.size() != kCoord)
        return std::nullopt;
    EcGroup group = p256Group();
    Bignum priv(BN_bin2bn(d.data(), static_cast<int>(d.size()), nullptr));
    if (!group || !priv || BN_is_zero(priv.get()) || BN_cmp(priv.get(), EC_GROUP_get0_order(group.get())) >= 0)
        return std::nullopt;
    EcPoint pub(EC_POINT_new(group.get()));
    if (!pub || EC_POINT_mul(group.get(), pub.get(), priv.get(), nullptr, nullptr, nullptr) != 1)
        return std::nullopt;
    Bignum bx(BN_new());
    Bignum by(BN_new());
    if (!bx || !by || EC_POINT_get_affine_coordinates(group.get(), pub.get(), bx.get(), by.get(), nullptr) != 1)
        return std::nullopt;
    Bytes x;
    Bytes y;
    if (!bnTo32(bx.get(), x) || !bnTo32(by.get(), y))
        return std::nullopt;
    unsigned char octets[1 + 2 * kCoord];
    octets[0] = 0x04;
    std::memcpy(octets + 1, x.data(), kCoord);
    std::memcpy(octets + 1 + kCoord, y.data(), kCoord);

    ParamBld bld(OSSL_PARAM_BLD_new());
    if (!bld ||
        OSSL_PARAM_BLD_push_utf8_string(bld.get(), OSSL_PKEY_PARAM_GROUP_NAME, SN_X9_62_prime256v1, 0) != 1 ||
        OSSL_PARAM_BLD_push_BN(bld.get(), OSSL_PKEY_PARAM_PRIV_KEY, priv.get()) != 1 ||
        OSSL_PARAM_BLD_push_octet_string(bld.get(), OSSL_PKEY_PARAM_PUB_KEY, octets, sizeof octets) != 1)
        return std::nullopt;
    Params params(OSSL_PARAM_BLD_to_param(bld.get()));
    EvpPkeyCtx ctx(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
    if (!params || !ctx || EVP_PKEY_fromdata_init(ctx.get()) != 1)
        return std::nullopt;
    EVP_PKEY* raw = nullptr;
    if (EVP_PKEY_fromdata(ctx.get(), &raw, EVP_PKEY_KEYPAIR, params.get()) != 1)
        return std::nullopt;
    auto key = std::make_unique<Key>();
    key->pkey.reset(raw);
    return P256KeyPair(std::move(key), std::move(x), std::move(y));
}

std::optional<SecureBytes> P256KeyPair::ecdh(ByteView peerX, ByteView peerY) const
{
    if (!key_ || !isValidP256Point(peerX, peerY))
        return std::nullopt;
    EvpPkey peer = publicKeyFromPoint(peerX, peerY);
    if (!peer)
        return std::nullopt;
    EvpPkeyCtx ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key_->pkey.get(), nullptr));
    // The point passed isValidP256Point above; OpenSSL's own public-key check would repeat that work.
    if (!ctx || EVP_PKEY_derive_init(ctx.get()) != 1 || EVP_PKEY_derive_set_peer_ex(ctx.get(), peer.get(), 0) != 1)
        return std::nullopt;
    std::size_t len = 0;
    if (EVP_PKEY_derive(ctx.get(), nullptr, &len) != 1 || len != kCoord)
        return std::nullopt;
    SecureBytes out(len);
    if (EVP_PKEY_derive(ctx.get(), out.data(), &len) != 1 || len != kCoord)
        return std::nullopt;
    return out;
}

std::optional<Bytes> P256KeyPair::sign(ByteView data) const
{
    if (!key_)
        return std::nullopt;
    EvpMdCtx ctx(EVP_MD_CTX_new());
    if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, EVP_sha256(), nullptr, key_->pkey.get()) != 1)
        return std::nullopt;
    std::size_t len = 0;
    if (EVP_DigestSign(ctx.get(), nullptr, &len, data.data(), data.size()) != 1)
        return std::nullopt;
    Bytes sig(len);
    if (EVP_DigestSign(ctx.get(), sig.data(), &len, data.data(), data.size()) != 1)
        return std::nullopt;
    sig.resize(len);
    return sig;
}

} // namespace crypto
