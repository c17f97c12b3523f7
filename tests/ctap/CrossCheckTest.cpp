// The client's encodings and PIN protocol crypto, checked against an independent implementation
// (Debian's python3-fido2).
#include "ctap/CredentialManagementCommand.h"
#include "ctap/Ctap2.h"
#include "ctap/PinCommand.h"

#include "TestHex.h"
#include "softkey/CtapCbor.h"
#include "support/Subprocess.h"

#include <gtest/gtest.h>

#include <map>
#include <sstream>

namespace {

// Runs the script and reads its "name HEX" lines.
std::map<std::string, std::string> crossCheck(std::vector<std::string> args)
{
    args.insert(args.begin(), {kDebianPython, CROSSCHECK_SCRIPT});
    const SubprocessResult r = runSubprocess(args);
    EXPECT_EQ(r.exitCode, 0) << r.output;
    std::map<std::string, std::string> out;
    std::istringstream lines(r.output);
    for (std::string name, value; lines >> name >> value;)
        out[name] = value;
    return out;
}

// Fixed key pairs on both sides give a fixed ECDH secret.
const auto kAuthenticator = crypto::P256KeyPair::fromPrivateKey(Bytes(32, 0x31));
const auto kPlatform = crypto::P256KeyPair::fromPrivateKey(Bytes(32, 0x32));
const KeyAgreement kPeer{2, -25, 1, kAuthenticator->x(), kAuthenticator->y()};
const SSecret kOne = *SSecret::create(kPeer, PinProtocol::One, *kPlatform);
const SSecret kTwo = *SSecret::create(kPeer, PinProtocol::Two, *kPlatform);

} // namespace

TEST(CrossCheck, RequestEncodingsMatchPythonFido2)
{
    auto py = crossCheck({"cbor"});
    const Bytes deletion =
        CredentialManagementCommand::deleteCredential(Bytes(32, 0x5A), kTwo, H("DEAD"), "public-key", PinProtocol::Two);
    const auto params = CtapCbor::rawMapValue(std::span(deletion).subspan(1), 2).value_or(std::span<std::uint8_t>{});
    const std::map<std::string, Bytes> ours = {
        {"getKeyAgreement2", PinCommand::getKeyAgreement(PinProtocol::Two)},
        {"getRetries1", PinCommand::getRetries(PinProtocol::One)},
        {"cose", encodeCanonicalCborMap(KeyAgreement{2, -25, 1, Bytes(32, 0xAA), Bytes(32, 0xBB)}.toCbor().get())},
        {"touch", Ctap2::makeSelectDeviceRequest()},
        {"getNextRp", CredentialManagementCommand::enumerateRPsGetNextRP()},
        {"getNextCred", CredentialManagementCommand::enumerateCredentialsGetNextCredential()},
        {"deleteParams", Bytes(params.begin(), params.end())}, // as the request carries them under key 2
    };
    for (const auto& [name, bytes] : ours)
        EXPECT_EQ(X(bytes), py[name]) << name;
    EXPECT_EQ(Ctap2::makeSelectDeviceRequest(), ours.at("touch")); // the same on every call
}

TEST(CrossCheck, PinProtocolCryptoAgreesBothWays)
{
    EXPECT_EQ(SSecret::create(kPeer, PinProtocol::None, *kPlatform)->secret(), kTwo.secret()); // None acts as Two
    Bytes plaintext(64);
    for (std::size_t i = 0; i < plaintext.size(); ++i)
        plaintext[i] = static_cast<std::uint8_t>(i * 7);
    const Bytes ct1 = kOne.encrypt(plaintext, 64).value_or(Bytes{});
    const Bytes ct2 = kTwo.encrypt(plaintext, 64).value_or(Bytes{});
    // Two draws a fresh IV for every encryption.
    EXPECT_NE(X(ct2).substr(0, 32), X(kTwo.encrypt(plaintext, 64).value_or(Bytes{})).substr(0, 32));
    const Bytes z = kPlatform->ecdh(kPeer.keyX, kPeer.keyY)->toBytes();
    auto py = crossCheck({"crypto", X(z), X(plaintext), X(ct1), X(ct2)});
    for (const auto& [n, secret] : {std::pair{"1", &kOne}, std::pair{"2", &kTwo}}) {
        const std::string N(n);
        EXPECT_EQ(X(secret->secret()), py["kdf" + N]) << N;
        EXPECT_EQ(py["dec" + N], X(plaintext)) << N;
        const auto back = secret->decrypt(H(py["ct" + N]));
        EXPECT_EQ(back ? X(*back) : "", X(plaintext)) << N;
        EXPECT_EQ(X(secret->authenticate(plaintext)), py["mac" + N]) << N;
    }
}
