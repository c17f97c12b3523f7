#include "ctap/CredentialManagementCommand.h"

std::atomic<std::uint8_t> credMgmtCommand{0x0A};

namespace {

using Sub = CredentialManagementCommand::SubCommand;
using Entries = std::vector<std::pair<CborItem, CborItem>>;

std::uint8_t raw(Sub s) { return static_cast<std::uint8_t>(s); }

// Builds the request map; params (may be null) is the sub-command parameter map, whose canonical encoding is
// also what the authentication value covers, so the bytes sent and the bytes authenticated are the same.
Bytes authenticated(Sub sub, CborItem params, std::span<const std::uint8_t> token, const SSecret& secret,
                    PinProtocol protocol)
{
    Bytes message{raw(sub)};
    if (params) {
        const Bytes encoded = encodeCanonicalCborMap(params.get());
        message.insert(message.end(), encoded.begin(), encoded.end());
    }
    Entries e;
    e.emplace_back(cborFromUInt64(1), cborFromUInt64(raw(sub)));
    if (params)
        e.emplace_back(cborFromUInt64(2), std::move(params));
    e.emplace_back(cborFromUInt64(3), cborFromUInt64(rawValue(protocol)));
    e.emplace_back(cborFromUInt64(4), cborFromBytes(secret.authenticate(token, message)));
    CborItem map = cborMap(std::move(e));
    return CredentialManagementCommand::encodeCommand(map.get());
}

Bytes plain(Sub sub)
{
    Entries e;
    e.emplace_back(cborFromUInt64(1), cborFromUInt64(raw(sub)));
    CborItem map = cborMap(std::move(e));
    return CredentialManagementCommand::encodeCommand(map.get());
}

} // namespace

std::optional<CredentialManagementCommand::SubCommand> CredentialManagementCommand::subCommandFromRaw(std::uint8_t r)
{
    if (r >= 1 && r <= 7)
        return static_cast<SubCommand>(r);
    return std::nullopt;
}

Bytes CredentialManagementCommand::encodeCommand(const cbor_item_t* map)
{
    Bytes out{credMgmtCommand.load()};
    const Bytes body = encodeCanonicalCborMap(map);
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

Bytes CredentialManagementCommand::getCredsMetadata(std::span<const std::uint8_t> pinUvAuthToken,
                                                    const SSecret& sharedSecret, PinProtocol pinProtocol)
{
    return authenticated(Sub::GET_CREDS_META_DATA, CborItem(), pinUvAuthToken, sharedSecret, pinProtocol);
}

Bytes CredentialManagementCommand::enumerateRPsBegin(std::span<const std::uint8_t> pinUvAuthToken,
                                                     const SSecret& sharedSecret, PinProtocol pinProtocol)
{
    return authenticated(Sub::ENUMERATE_RPS_BEGIN, CborItem(), pinUvAuthToken, sharedSecret, pinProtocol);
}

Bytes CredentialManagementCommand::enumerateRPsGetNextRP() { return plain(Sub::ENUMERATE_RPS_GET_NEXT_RP); }

Bytes CredentialManagementCommand::enumerateCredentialsBegin(std::span<const std::uint8_t> pinUvAuthToken,
                                                             const SSecret& sharedSecret, const Bytes& rpIdHash,
                                                             PinProtocol pinProtocol)
{
    Entries params;
    params.emplace_back(cborFromUInt64(1), cborFromBytes(rpIdHash));
    return authenticated(Sub::ENUMERATE_CREDENTIALS_BEGIN, cborMap(std::move(params)), pinUvAuthToken, sharedSecret,
                         pinProtocol);
}

Bytes CredentialManagementCommand::enumerateCredentialsGetNextCredential()
{
    return plain(Sub::ENUMERATE_CREDENTIALS_GET_NEXT_CREDENTIAL);
}

Bytes CredentialManagementCommand::deleteCredential(std::span<const std::uint8_t> pinUvAuthToken,
                                                    const SSecret& sharedSecret, const Bytes& credentialId,
                                                    std::string_view credentialType, PinProtocol pinProtocol)
{
    Entries descriptor;
    descriptor.emplace_back(cborFromString("id"), cborFromBytes(credentialId));
    descriptor.emplace_back(cborFromString("type"), cborFromString(credentialType));
    Entries params;
    params.emplace_back(cborFromUInt64(2), cborMap(std::move(descriptor)));
    return authenticated(Sub::DELETE_CREDENTIAL, cborMap(std::move(params)), pinUvAuthToken, sharedSecret,
                         pinProtocol);
}
