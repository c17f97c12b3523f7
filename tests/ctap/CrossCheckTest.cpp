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

SSecret fixedSecret(PinProtocol protocol)
{
    return *SSecret::create(KeyAgreement{2, -25, 1, kAuthenticator->x(), kAuthenticator->y()}, protocol, *kPlatform);
}

} // namespace

TEST(CrossCheck, RequestEncodingsMatchPythonFido2)
{
    auto py = crossCheck({"cbor"});
    const Bytes deletion = CredentialManagementCommand::deleteCredential(Bytes(32, 0x5A), fixedSecret(PinProtocol::Two),
                                                                         H("DEAD"), "public-key", PinProtocol::Two);
    const auto deleteParams = CtapCbor::rawMapValue(std::span(deletion).subspan(1), 2);
    ASSERT_TRUE(deleteParams);
    const std::map<std::string, Bytes> ours = {
        {"getKeyAgreement2", PinCommand::getKeyAgreement(PinProtocol::Two)},
        {"getRetries1", PinCommand::getRetries(PinProtocol::One)},
        {"cose", encodeCanonicalCborMap(KeyAgreement{2, -25, 1, Bytes(32, 0xAA), Bytes(32, 0xBB)}.toCbor().get())},
        {"touch", Ctap2::makeSelectDeviceRequest()},
        {"getNextRp", CredentialManagementCommand::enumerateRPsGetNextRP()},
        {"getNextCred", CredentialManagementCommand::enumerateCredentialsGetNextCredential()},
        {"deleteParams", Bytes(deleteParams->begin(), deleteParams->end())},
    };
    for (const auto& [name, bytes] : ours)
        EXPECT_EQ(X(bytes), py[name]) << name;
    EXPECT_EQ(Ctap2::makeSelectDeviceRequest(), ours.at("touch")); // the same on every call
}

TEST(CrossCheck, PinProtocolCryptoAgreesBothWays)
{
    const SSecret one = fixedSecret(PinProtocol::One);
    const SSecret two = fixedSecret(PinProtocol::Two);
    EXPECT_EQ(fixedSecret(PinProtocol::None).secret(), two.secret()); // None behaves as Two
    Bytes plaintext(64);
    for (std::size_t i = 0; i < plaintext.size(); ++i)
        plaintext[i] = static_cast<std::uint8_t>(i * 7);
    const Bytes ct1 = one.encrypt(plaintext, 64).value_or(Bytes{});
    const Bytes ct2 = two.encrypt(plaintext, 64).value_or(Bytes{});
    // Two draws a fresh IV for every encryption.
    EXPECT_NE(X(ct2).substr(0, 32), X(two.encrypt(plaintext, 64).value_or(Bytes{})).substr(0, 32));
    const Bytes z = kPlatform->ecdh(kAuthenticator->x(), kAuthenticator->y())->toBytes();
    auto py = crossCheck({"crypto", X(z), X(plaintext), X(ct1), X(ct2)});
    for (const auto& [n, secret] : {std::pair{"1", &one}, std::pair{"2", &two}}) {
        SCOPED_TRACE(n);
        EXPECT_EQ(X(secret->secret()), py[std::string("kdf") + n]);
        EXPECT_EQ(py[std::string("dec") + n], X(plaintext));
        const auto back = secret->decrypt(H(py[std::string("ct") + n]));
        EXPECT_EQ(back ? X(*back) : "", X(plaintext));
        EXPECT_EQ(X(secret->authenticate(plaintext)), py[std::string("mac") + n]);
    }
}
