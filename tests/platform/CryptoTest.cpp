#include "platform/Crypto.h"

#include <gtest/gtest.h>

#include <string>

namespace {

Bytes hex(const std::string& text)
{
    Bytes out;
    std::string digits;
    for (char c : text)
        if (c != ' ')
            digits.push_back(c);
    for (std::size_t i = 0; i + 1 < digits.size(); i += 2)
        out.push_back(static_cast<std::uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    return out;
}

Bytes ascii(const std::string& text) { return Bytes(text.begin(), text.end()); }

Bytes plain(const std::optional<SecureBytes>& s) { return s ? s->toBytes() : Bytes{}; }

} // namespace

TEST(CryptoVectors, Sha256Fips180)
{
    EXPECT_EQ(plain(crypto::sha256(ascii("abc"))),
              hex("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"));
    EXPECT_EQ(plain(crypto::sha256({})), hex("e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"));
}

TEST(CryptoVectors, HmacSha256Rfc4231Case2)
{
    EXPECT_EQ(plain(crypto::hmacSha256(ascii("Jefe"), ascii("what do ya want for nothing?"))),
              hex("5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"));
}

TEST(CryptoVectors, HkdfSha256Rfc5869)
{
    const Bytes ikm(22, 0x0b);
    // A.1: salt and info given.
    EXPECT_EQ(plain(crypto::hkdfSha256(ikm, hex("000102030405060708090a0b0c"), hex("f0f1f2f3f4f5f6f7f8f9"), 42)),
              hex("3cb25f25faacd57a90434f64d0362f2a2d2d0a90cf1a5a4c5db02d56ecc4c5bf34007208d5b887185865"));
    // A.3: empty salt and info.
    EXPECT_EQ(plain(crypto::hkdfSha256(ikm, {}, {}, 42)),
              hex("8da4e775a563c18f715f802a063c5a31b8a11f5c5ee1879ec3454e5f3c738d2d9d201395faa4b61a96c8"));
    EXPECT_FALSE(crypto::hkdfSha256(ikm, {}, {}, 0));
}

TEST(CryptoVectors, Aes256CbcSp80038a)
{
    const Bytes key = hex("603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4");
    const Bytes iv = hex("000102030405060708090a0b0c0d0e0f");
    const Bytes pt = hex("6bc1bee22e409f96e93d7e117393172a ae2d8a571e03ac9c9eb76fac45af8e51"
                         "30c81c46a35ce411e5fbc1191a0a52ef f69f2445df4f9b17ad2b417be66c3710");
    const Bytes ct = hex("f58c4c04d6e5f1ba779eabfb5f7bfbd6 9cfc4e967edb808d679f777bc6702c7d"
                         "39f23369a9d9bacfa530e26304231461 b2eb05e2c39be9fcda6c19078c6a9d1b");
    EXPECT_EQ(plain(crypto::aes256CbcEncrypt(key, iv, pt)), ct); // F.2.5
    EXPECT_EQ(plain(crypto::aes256CbcDecrypt(key, iv, ct)), pt); // F.2.6
}

TEST(CryptoVectors, AesRejectsBadSizesInsteadOfPadding)
{
    const Bytes key(32, 1);
    const Bytes iv(16, 2);
    EXPECT_FALSE(crypto::aes256CbcEncrypt(key, iv, Bytes(15, 0)));
    EXPECT_FALSE(crypto::aes256CbcDecrypt(key, iv, Bytes{}));
    EXPECT_FALSE(crypto::aes256CbcDecrypt(key, iv, Bytes(17, 0)));
    EXPECT_FALSE(crypto::aes256CbcDecrypt(key, Bytes{}, Bytes(16, 0)));
    EXPECT_FALSE(crypto::aes256CbcDecrypt(Bytes(16, 1), iv, Bytes(16, 0)));
}

TEST(CryptoVectors, EcdhP256Rfc5903)
{
    auto initiator = crypto::P256KeyPair::fromPrivateKey(
        hex("C88F01F510D9AC3F70A292DAA2316DE544E9AAB8AFE84049C62A9C57862D1433"));
    auto responder = crypto::P256KeyPair::fromPrivateKey(
        hex("C6EF9C5D78AE012A011164ACB397CE2088685D8F06BF9BE0B283AB46476BEE53"));
    ASSERT_TRUE(initiator);
    ASSERT_TRUE(responder);
    EXPECT_EQ(initiator->x(), hex("DAD0B65394221CF9B051E1FECA5787D098DFE637FC90B9EF945D0C3772581180"));
    EXPECT_EQ(initiator->y(), hex("5271A0461CDB8252D61F1C456FA3E59AB1F45B33ACCF5F58389E0577B8990BB3"));
    EXPECT_EQ(responder->x(), hex("D12DFB5289C8D4F81208B70270398C342296970A0BCCB74C736FC7554494BF63"));
    EXPECT_EQ(responder->y(), hex("56FBF3CA366CC23E8157854C13C58D6AAC23F046ADA30F8353E74F33039872AB"));
    const Bytes expected = hex("D6840F6B42F6EDAFD13116E0E12565202FEF8E9ECE7DCE03812464D04B9442DE");
    EXPECT_EQ(plain(initiator->ecdh(responder->x(), responder->y())), expected);
    EXPECT_EQ(plain(responder->ecdh(initiator->x(), initiator->y())), expected);
}

TEST(CryptoKeys, GeneratedKeysAgreeAndKeepLeadingZeros)
{
    for (int i = 0; i < 20; ++i) {
        auto a = crypto::P256KeyPair::generate();
        auto b = crypto::P256KeyPair::generate();
        ASSERT_TRUE(a && b);
        ASSERT_EQ(a->x().size(), 32u);
        ASSERT_EQ(a->y().size(), 32u);
        EXPECT_TRUE(crypto::isValidP256Point(a->x(), a->y()));
        auto s1 = a->ecdh(b->x(), b->y());
        auto s2 = b->ecdh(a->x(), a->y());
        ASSERT_TRUE(s1 && s2);
        EXPECT_EQ(*s1, *s2);
    }
    // A scalar whose public x starts with a zero byte must still give 32 bytes (d = 1 has G, no zero; use the
    // size contract on many small scalars instead).
    for (std::uint8_t d = 1; d < 40; ++d) {
        Bytes scalar(32, 0);
        scalar[31] = d;
        auto k = crypto::P256KeyPair::fromPrivateKey(scalar);
        ASSERT_TRUE(k);
        EXPECT_EQ(k->x().size(), 32u);
        EXPECT_EQ(k->y().size(), 32u);
    }
}

TEST(CryptoKeys, PeerPointsAreChecked)
{
    auto a = crypto::P256KeyPair::generate();
    ASSERT_TRUE(a);
    Bytes badY = a->y();
    badY[31] ^= 1;
    EXPECT_FALSE(crypto::isValidP256Point(a->x(), badY));
    EXPECT_FALSE(a->ecdh(a->x(), badY));
    EXPECT_FALSE(a->ecdh(Bytes(32, 0), Bytes(32, 0)));
    EXPECT_FALSE(a->ecdh(Bytes(31, 1), a->y()));
    EXPECT_FALSE(crypto::P256KeyPair::fromPrivateKey(Bytes(32, 0)));
    EXPECT_FALSE(crypto::P256KeyPair::fromPrivateKey(Bytes(32, 0xFF))); // above the group order
}

TEST(CryptoRandom, FillsWholeBuffer)
{
    Bytes a(64, 0);
    Bytes b(64, 0);
    ASSERT_TRUE(crypto::randomFill(a));
    ASSERT_TRUE(crypto::randomFill(b));
    EXPECT_NE(a, b);
    EXPECT_NE(a, Bytes(64, 0));
}
