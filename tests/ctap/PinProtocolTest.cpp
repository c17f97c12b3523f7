// The PIN/UV-auth protocols One and Two: the secret both sides derive, the sizes of what each protocol makes, and
// the inputs that must fail rather than be read or written past their ends.
#include "ctap/SSecret.h"

#include "TestHex.h"

#include <gtest/gtest.h>

namespace {

// A fixed authenticator key pair and a fixed platform key pair, so the shared secret is reproducible.
crypto::P256KeyPair keyFrom(std::uint8_t seed)
{
    Bytes d(32, seed);
    return *crypto::P256KeyPair::fromPrivateKey(d);
}

KeyAgreement publicOf(const crypto::P256KeyPair& k)
{
    KeyAgreement ka;
    ka.keyX = k.x();
    ka.keyY = k.y();
    return ka;
}

SecureBytes pin(std::string_view text) { return SecureBytes(text); }

Bytes ascii(std::string_view text) { return Bytes(text.begin(), text.end()); }

} // namespace

TEST(SSecretTest, DerivesTheSameSecretOnBothSides)
{
    const auto authenticator = keyFrom(0x11);
    const auto platform = keyFrom(0x22);
    auto one = SSecret::create(publicOf(authenticator), PinProtocol::One, platform);
    auto two = SSecret::create(publicOf(authenticator), PinProtocol::Two, platform);
    ASSERT_TRUE(one && two);
    const auto z = *authenticator.ecdh(platform.x(), platform.y());
    EXPECT_EQ(one->secret(), *crypto::sha256(z));
    SecureBytes expected = *crypto::hkdfSha256(z, Bytes(32, 0), ascii("CTAP2 HMAC key"), 32);
    expected.append(*crypto::hkdfSha256(z, Bytes(32, 0), ascii("CTAP2 AES key"), 32));
    EXPECT_EQ(two->secret(), expected);
    const KeyAgreement mine = two->getKeyAgreement();
    EXPECT_EQ(mine.type, 2u);
    EXPECT_EQ(mine.algorithm, -25);
    EXPECT_EQ(mine.curve, 1u);
    EXPECT_EQ(std::make_pair(mine.keyX, mine.keyY), std::make_pair(platform.x(), platform.y()));
}

TEST(SSecretTest, SizesPerProtocolAndNoneActsAsTwo)
{
    const auto authenticator = keyFrom(0x33);
    for (PinProtocol p : {PinProtocol::One, PinProtocol::Two, PinProtocol::None}) {
        SCOPED_TRACE(rawValue(p));
        auto s = SSecret::create(publicOf(authenticator), p);
        ASSERT_TRUE(s);
        const bool one = p == PinProtocol::One;
        EXPECT_EQ(s->secret().size(), one ? 32u : 64u);
        EXPECT_EQ(s->encryptNewPin(pin("1234")).value_or(Bytes{}).size(), one ? 64u : 80u);
        EXPECT_EQ(s->encryptPinHash(pin("1234")).value_or(Bytes{}).size(), one ? 16u : 32u);
        EXPECT_EQ(s->authenticate(Bytes{1, 2, 3}).size(), one ? 16u : 32u);
        EXPECT_EQ(s->authenticate(Bytes(16, 7), Bytes{1}).size(), one ? 16u : 32u);
        // A fresh platform key pair each time, on the curve.
        const KeyAgreement mine = s->getKeyAgreement();
        EXPECT_TRUE(crypto::isValidP256Point(mine.keyX, mine.keyY));
        const auto again = SSecret::create(publicOf(authenticator), p);
        ASSERT_TRUE(again);
        EXPECT_NE(mine, again->getKeyAgreement());
    }
}

TEST(SSecretTest, EncryptDecryptRoundTripAndFreshIv)
{
    const auto authenticator = keyFrom(0x44);
    for (PinProtocol p : {PinProtocol::One, PinProtocol::Two}) {
        auto s = SSecret::create(publicOf(authenticator), p);
        ASSERT_TRUE(s);
        Bytes data(48);
        for (std::size_t i = 0; i < data.size(); ++i)
            data[i] = static_cast<std::uint8_t>(i);
        auto ct = s->encrypt(data, 32);
        ASSERT_TRUE(ct);
        auto pt = s->decrypt(*ct);
        ASSERT_TRUE(pt);
        EXPECT_EQ(pt->toBytes(), Bytes(data.begin(), data.begin() + 32));
        if (p == PinProtocol::Two) {
            auto again = s->encrypt(data, 32);
            ASSERT_TRUE(again);
            EXPECT_NE(Bytes(ct->begin(), ct->begin() + 16), Bytes(again->begin(), again->begin() + 16));
        }
    }
}

TEST(SSecretTest, BadCiphertextsAndOversizedPinsFail)
{
    const auto authenticator = keyFrom(0x55);
    auto one = SSecret::create(publicOf(authenticator), PinProtocol::One);
    auto two = SSecret::create(publicOf(authenticator), PinProtocol::Two);
    ASSERT_TRUE(one && two);
    EXPECT_FALSE(one->decrypt(Bytes{}));
    EXPECT_FALSE(one->decrypt(Bytes(15, 0)));
    EXPECT_FALSE(two->decrypt(Bytes(16, 0))); // an IV and no ciphertext
    EXPECT_FALSE(two->decrypt(Bytes(8, 0)));
    EXPECT_FALSE(two->decrypt(Bytes(40, 0)));
    EXPECT_FALSE(one->encrypt(Bytes(16, 0), 17));
    // A PIN over 64 bytes does not fit the block; one of exactly 64 fills it.
    EXPECT_FALSE(SSecret::padPin(SecureBytes(Bytes(65, 'a'))));
    EXPECT_FALSE(two->encryptNewPin(SecureBytes(Bytes(65, 'a'))));
    EXPECT_EQ(SSecret::padPin(SecureBytes(Bytes(64, 'a')))->toBytes(), Bytes(64, 'a'));
    EXPECT_TRUE(two->encryptNewPin(SecureBytes(Bytes(64, 'a'))));
}

TEST(SSecretTest, PadPinAndMacKeyCut)
{
    auto block = SSecret::padPin(pin("1234"));
    ASSERT_TRUE(block);
    Bytes expected(64, 0);
    expected[0] = '1';
    expected[1] = '2';
    expected[2] = '3';
    expected[3] = '4';
    EXPECT_EQ(block->toBytes(), expected);
    // A 64-byte key is cut to its first 32 bytes (the HMAC half of a protocol Two secret).
    auto s = SSecret::create(publicOf(keyFrom(0x66)), PinProtocol::Two);
    ASSERT_TRUE(s);
    Bytes longKey(64, 1);
    for (std::size_t i = 32; i < 64; ++i)
        longKey[i] = 2;
    EXPECT_EQ(s->authenticate(longKey, Bytes{9}), s->authenticate(Bytes(32, 1), Bytes{9}));
}

TEST(SSecretTest, RefusesAPeerKeyOffTheCurve)
{
    KeyAgreement bad = publicOf(keyFrom(0x77));
    bad.keyY[0] ^= 0x01;
    EXPECT_FALSE(SSecret::create(bad, PinProtocol::Two));
    bad.keyY.clear();
    EXPECT_FALSE(SSecret::create(bad, PinProtocol::One));
}
