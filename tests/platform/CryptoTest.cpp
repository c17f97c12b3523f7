#include "platform/Crypto.h"

#include "TestHex.h"

#include <gtest/gtest.h>

namespace {

Bytes ascii(const std::string& text) { return Bytes(text.begin(), text.end()); }
Bytes plain(const std::optional<SecureBytes>& s) { return s ? s->toBytes() : Bytes{}; }

} // namespace

// FIPS 180 SHA-256, RFC 4231 HMAC (case 2), RFC 5869 HKDF (A.1 and A.3).
TEST(CryptoVectors, HashMacAndKeyDerivation)
{
    EXPECT_EQ(X(plain(crypto::sha256(ascii("abc")))),
              "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD");
    EXPECT_EQ(X(plain(crypto::sha256({}))), "E3B0C44298FC1C149AFBF4C8996FB92427AE41E4649B934CA495991B7852B855");
    EXPECT_EQ(plain(crypto::hmacSha256(ascii("Jefe"), ascii("what do ya want for nothing?"))),
              H("5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"));
    const Bytes ikm(22, 0x0b);
    EXPECT_EQ(plain(crypto::hkdfSha256(ikm, H("000102030405060708090a0b0c"), H("f0f1f2f3f4f5f6f7f8f9"), 42)),
              H("3cb25f25faacd57a90434f64d0362f2a2d2d0a90cf1a5a4c5db02d56ecc4c5bf34007208d5b887185865"));
    EXPECT_EQ(plain(crypto::hkdfSha256(ikm, {}, {}, 42)),
              H("8da4e775a563c18f715f802a063c5a31b8a11f5c5ee1879ec3454e5f3c738d2d9d201395faa4b61a96c8"));
    EXPECT_FALSE(crypto::hkdfSha256(ikm, {}, {}, 0));
}

// NIST SP 800-38A F.2.5 and F.2.6; a size off the block is refused, never padded.
TEST(CryptoVectors, Aes256Cbc)
{
    const Bytes key = H("603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4");
    const Bytes iv = H("000102030405060708090a0b0c0d0e0f");
    const Bytes pt = H("6bc1bee22e409f96e93d7e117393172a ae2d8a571e03ac9c9eb76fac45af8e51"
                       "30c81c46a35ce411e5fbc1191a0a52ef f69f2445df4f9b17ad2b417be66c3710");
    const Bytes ct = H("f58c4c04d6e5f1ba779eabfb5f7bfbd6 9cfc4e967edb808d679f777bc6702c7d"
                       "39f23369a9d9bacfa530e26304231461 b2eb05e2c39be9fcda6c19078c6a9d1b");
    EXPECT_EQ(plain(crypto::aes256CbcEncrypt(key, iv, pt)), ct);
    EXPECT_EQ(plain(crypto::aes256CbcDecrypt(key, iv, ct)), pt);
    EXPECT_FALSE(crypto::aes256CbcEncrypt(key, iv, Bytes(15, 0)));
    EXPECT_FALSE(crypto::aes256CbcDecrypt(key, iv, Bytes{}));
    EXPECT_FALSE(crypto::aes256CbcDecrypt(key, iv, Bytes(17, 0)));
    EXPECT_FALSE(crypto::aes256CbcDecrypt(key, Bytes{}, Bytes(16, 0)));
    EXPECT_FALSE(crypto::aes256CbcDecrypt(Bytes(16, 1), iv, Bytes(16, 0)));
}

TEST(CryptoVectors, EcdhP256Rfc5903)
{
    auto initiator =
        crypto::P256KeyPair::fromPrivateKey(H("C88F01F510D9AC3F70A292DAA2316DE544E9AAB8AFE84049C62A9C57862D1433"));
    auto responder =
        crypto::P256KeyPair::fromPrivateKey(H("C6EF9C5D78AE012A011164ACB397CE2088685D8F06BF9BE0B283AB46476BEE53"));
    ASSERT_TRUE(initiator && responder);
    EXPECT_EQ(X(initiator->x()), "DAD0B65394221CF9B051E1FECA5787D098DFE637FC90B9EF945D0C3772581180");
    EXPECT_EQ(X(initiator->y()), "5271A0461CDB8252D61F1C456FA3E59AB1F45B33ACCF5F58389E0577B8990BB3");
    EXPECT_EQ(X(responder->x()), "D12DFB5289C8D4F81208B70270398C342296970A0BCCB74C736FC7554494BF63");
    EXPECT_EQ(X(responder->y()), "56FBF3CA366CC23E8157854C13C58D6AAC23F046ADA30F8353E74F33039872AB");
    const Bytes expected = H("D6840F6B42F6EDAFD13116E0E12565202FEF8E9ECE7DCE03812464D04B9442DE");
    EXPECT_EQ(plain(initiator->ecdh(responder->x(), responder->y())), expected);
    EXPECT_EQ(plain(responder->ecdh(initiator->x(), initiator->y())), expected);
}

TEST(CryptoKeys, CoordinatesKeepLeadingZerosPeerPointsAreCheckedAndRandomFills)
{
    // The keys of scalars 43 and 379 have a y and an x below 2^248: both still take 32 bytes, as the COSE key needs.
    auto k43 = crypto::P256KeyPair::fromPrivateKey(H(std::string(62, '0') + "2B"));
    auto k379 = crypto::P256KeyPair::fromPrivateKey(H(std::string(60, '0') + "017B"));
    ASSERT_TRUE(k43 && k379);
    EXPECT_EQ(X(k43->y()), "003CCCC0A6460E0AE328A4D97D3C7B61D86FC6289C189F2525110C441BB07E97");
    EXPECT_EQ(X(k379->x()), "005543894AF3D00ED7D740ABDBD75C96B06877B787DB5F70EEA78B90A8D7C00A");
    EXPECT_EQ(plain(k43->ecdh(k379->x(), k379->y())), plain(k379->ecdh(k43->x(), k43->y())));

    auto a = crypto::P256KeyPair::generate();
    ASSERT_TRUE(a);
    EXPECT_TRUE(crypto::isValidP256Point(a->x(), a->y()));
    Bytes badY = a->y();
    badY[31] ^= 1;
    EXPECT_FALSE(crypto::isValidP256Point(a->x(), badY));
    EXPECT_FALSE(a->ecdh(a->x(), badY));
    EXPECT_FALSE(a->ecdh(Bytes(32, 0), Bytes(32, 0)));
    EXPECT_FALSE(a->ecdh(Bytes(31, 1), a->y()));
    EXPECT_FALSE(crypto::P256KeyPair::fromPrivateKey(Bytes(32, 0)));
    EXPECT_FALSE(crypto::P256KeyPair::fromPrivateKey(Bytes(32, 0xFF))); // above the group order

    Bytes random(64, 0);
    Bytes other(64, 0);
    ASSERT_TRUE(crypto::randomFill(random) && crypto::randomFill(other));
    EXPECT_NE(Bytes(random.end() - 16, random.end()), Bytes(16, 0)); // drawn to its end
    EXPECT_NE(random, other);                                         // and drawn afresh
}
