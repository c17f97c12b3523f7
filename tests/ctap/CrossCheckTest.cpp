// The client's encodings and PIN protocol crypto, checked against an independent implementation
// (Debian's python3-fido2).
#include "ctap/CredentialManagementCommand.h"
#include "ctap/Ctap2.h"
#include "ctap/PinCommand.h"

#include "TestHex.h"
#include "support/Subprocess.h"

#include <gtest/gtest.h>

#include <map>
#include <sstream>

namespace {

std::map<std::string, std::string> runCrossCheck(std::vector<std::string> args)
{
    args.insert(args.begin(), {kDebianPython, CROSSCHECK_SCRIPT});
    const SubprocessResult r = runSubprocess(args);
    EXPECT_EQ(r.exitCode, 0) << r.output;
    std::map<std::string, std::string> out;
    std::istringstream lines(r.output);
    std::string name;
    std::string value;
    while (lines >> name >> value)
        out[name] = value;
    return out;
}

// A fixed key pair on each side gives a fixed ECDH secret, and the shared secrets of both protocols on it.
struct FixedExchange {
    std::optional<crypto::P256KeyPair> platform = crypto::P256KeyPair::fromPrivateKey(Bytes(32, 0x32));
    KeyAgreement peer = [] {
        KeyAgreement k;
        if (auto authenticator = crypto::P256KeyPair::fromPrivateKey(Bytes(32, 0x31))) {
            k.keyX = authenticator->x();
            k.keyY = authenticator->y();
        }
        return k;
    }();
    std::optional<SSecret> one = platform ? SSecret::create(peer, PinProtocol::One, *platform) : std::nullopt;
    std::optional<SSecret> two = platform ? SSecret::create(peer, PinProtocol::Two, *platform) : std::nullopt;
};

} // namespace

TEST(CrossCheck, RequestEncodingsMatchPythonFido2)
{
    auto py = runCrossCheck({"cbor"});
    EXPECT_EQ(X(PinCommand::getKeyAgreement(PinProtocol::Two)), py["getKeyAgreement2"]);
    EXPECT_EQ(X(PinCommand::getRetries(PinProtocol::One)), py["getRetries1"]);
    KeyAgreement k;
    k.keyX = Bytes(32, 0xAA);
    k.keyY = Bytes(32, 0xBB);
    EXPECT_EQ(X(encodeCanonicalCborMap(k.toCbor().get())), py["cose"]);
    const Bytes touch = Ctap2::makeSelectDeviceRequest();
    EXPECT_EQ(X(touch), py["touch"]);
    EXPECT_EQ(touch.size(), 159u);
    EXPECT_EQ(X(Bytes(touch.begin(), touch.begin() + 6)), "01A6015820A6");
    EXPECT_EQ(X(Bytes(touch.end() - 4, touch.end())), "08400901");
    EXPECT_EQ(touch, Ctap2::makeSelectDeviceRequest());
    EXPECT_EQ(X(CredentialManagementCommand::enumerateRPsGetNextRP()), py["getNextRp"]);
    EXPECT_EQ(X(CredentialManagementCommand::enumerateCredentialsGetNextCredential()), py["getNextCred"]);
    // The delete parameters python encodes are what the request carries under key 2.
    std::vector<std::pair<CborItem, CborItem>> descriptor;
    descriptor.emplace_back(cborFromString("id"), cborFromBytes(Bytes{0xDE, 0xAD}));
    descriptor.emplace_back(cborFromString("type"), cborFromString("public-key"));
    std::vector<std::pair<CborItem, CborItem>> params;
    params.emplace_back(cborFromUInt64(2), cborMap(std::move(descriptor)));
    EXPECT_EQ(X(encodeCanonicalCborMap(cborMap(std::move(params)).get())), py["deleteParams"]);
}

TEST(CrossCheck, PinProtocolCryptoAgreesBothWays)
{
    const FixedExchange fixed;
    ASSERT_TRUE(fixed.one && fixed.two);
    const auto& one = fixed.one;
    const auto& two = fixed.two;
    const Bytes z = fixed.platform->ecdh(fixed.peer.keyX, fixed.peer.keyY)->toBytes();
    Bytes plaintext(64);
    for (std::size_t i = 0; i < plaintext.size(); ++i)
        plaintext[i] = static_cast<std::uint8_t>(i * 7);
    const Bytes ct1 = *one->encrypt(plaintext, 64);
    const Bytes ct2 = *two->encrypt(plaintext, 64);
    auto py = runCrossCheck({"crypto", X(z), X(plaintext), X(ct1), X(one->authenticate(plaintext)), X(ct2),
                             X(two->authenticate(plaintext))});
    EXPECT_EQ(X(one->secret()), py["kdf1"]);
    EXPECT_EQ(X(two->secret()), py["kdf2"]);
    EXPECT_EQ(py["dec1"], X(plaintext));
    EXPECT_EQ(py["dec2"], X(plaintext));
    EXPECT_EQ(py["mac1"], "ok");
    EXPECT_EQ(py["mac2"], "ok");
    auto back1 = one->decrypt(H(py["ct1"]));
    auto back2 = two->decrypt(H(py["ct2"]));
    ASSERT_TRUE(back1 && back2);
    EXPECT_EQ(back1->toBytes(), plaintext);
    EXPECT_EQ(back2->toBytes(), plaintext);
    EXPECT_EQ(X(one->authenticate(plaintext)), py["pmac1"]);
    EXPECT_EQ(X(two->authenticate(plaintext)), py["pmac2"]);
}

TEST(CrossCheck, TokenMacsAgreeWhateverTheTokenLength)
{
    // Keys hand out tokens of their own length: protocol One keys its MAC with all of it, Two with the first 32
    // bytes.
    const FixedExchange fixed;
    ASSERT_TRUE(fixed.one && fixed.two);
    const auto& one = fixed.one;
    const auto& two = fixed.two;
    const Bytes message{0x04, 0xA1, 0x01, 0x02};
    const std::vector<std::size_t> lengths{16, 32, 48, 64};
    std::vector<Bytes> keys;
    std::vector<std::string> args{"mac", X(message)};
    for (std::size_t length : lengths) {
        Bytes key(length);
        for (std::size_t i = 0; i < length; ++i)
            key[i] = static_cast<std::uint8_t>(i * 13 + 1);
        args.push_back(X(key));
        keys.push_back(std::move(key));
    }
    auto py = runCrossCheck(args);
    for (std::size_t n = 0; n < keys.size(); ++n) {
        SCOPED_TRACE(lengths[n]);
        EXPECT_EQ(X(one->authenticate(keys[n], message)), py["v1-" + std::to_string(n)]);
        EXPECT_EQ(X(two->authenticate(keys[n], message)), py["v2-" + std::to_string(n)]);
    }
}
