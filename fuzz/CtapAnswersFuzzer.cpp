#include "ctap/CredentialManagementResponse.h"
#include "ctap/InfoParser.h"
#include "ctap/PinResponse.h"
#include "ctap/SSecret.h"

#include <cstddef>
#include <cstdint>

// Feeds one key answer to every CTAP answer parser, and the token decryption of both protocols.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::span<const std::uint8_t> answer(data, size);
    Info info;
    PinProtocol protocol = PinProtocol::None;
    (void)parseInfo(answer, info, protocol);
    (void)PinResponse::parseCborPinGetKeyAgreement(answer);
    (void)PinResponse::parseCborPinGetPinToken(answer);
    PinResponse::PinRetries retries;
    (void)PinResponse::parseCborPinGetRetries(answer, retries);
    (void)CredentialManagementResponse::ParseCborGetCredsMetaData(answer);
    std::vector<RpInfo> rps;
    std::uint64_t totalRps = 1;
    (void)CredentialManagementResponse::ParseCborEnumerateRPs(answer, rps, totalRps);
    std::vector<CredentialInfo> creds;
    std::uint64_t totalCreds = 0;
    (void)CredentialManagementResponse::ParseCborEnumerateCredentials(answer, creds, totalCreds);

    static const auto peer = crypto::P256KeyPair::fromPrivateKey(std::vector<std::uint8_t>(32, 0x21));
    static const auto platform = crypto::P256KeyPair::fromPrivateKey(std::vector<std::uint8_t>(32, 0x12));
    KeyAgreement ka;
    ka.keyX = peer->x();
    ka.keyY = peer->y();
    static const auto one = SSecret::create(ka, PinProtocol::One, *platform);
    static const auto two = SSecret::create(ka, PinProtocol::Two, *platform);
    (void)one->decrypt(answer);
    (void)two->decrypt(answer);
    return 0;
}
