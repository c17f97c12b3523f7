#include "ctap/CredentialManagementCommand.h"

std::atomic<std::uint8_t> credMgmtCommand{0x0A};

namespace {

using Sub = CredentialManagementCommand::SubCommand;

std::uint8_t raw(Sub s) { return static_cast<std::uint8_t>(s); }

} // namespace

struct CredentialManagementCommand::InsertSubCommand {
    SubCommand subCmd;
    void insert(RequestMap& into) const { into.emplace_back(cborFromUInt64(1), cborFromUInt64(raw(subCmd))); }
};

struct CredentialManagementCommand::InsertSubCommandParams {
    const cbor_item_t* paramMap;
    void insert(RequestMap& into) const
    {
        // The request shares the parameter map whose encoding the pinUvAuthParam covers, so the bytes sent and
        // the bytes authenticated are the same.
        into.emplace_back(cborFromUInt64(2), CborItem(cbor_incref(const_cast<cbor_item_t*>(paramMap))));
    }
};

struct CredentialManagementCommand::InsertPinUvAuthProtocol {
    PinProtocol pinProtocol;
    void insert(RequestMap& into) const { into.emplace_back(cborFromUInt64(3), cborFromUInt64(rawValue(pinProtocol))); }
};

struct CredentialManagementCommand::InsertPinUvAuthParam {
    std::span<const std::uint8_t> pinUvAuthParam;
    void insert(RequestMap& into) const { into.emplace_back(cborFromUInt64(4), cborFromBytes(pinUvAuthParam)); }
};

// The MAC over the sub-command byte followed by the canonical encoding of its parameters (none for the
// sub-commands without any), under the token as key.
struct CredentialManagementCommand::GetPinUvAuthParam {
    std::span<const std::uint8_t> pinUvAuthToken;
    const SSecret& sharedSecret;
    SubCommand subCmd;
    const cbor_item_t* paramMap;

    Bytes pinUvAuthParam() const
    {
        Bytes message{raw(subCmd)};
        if (paramMap) {
            const Bytes encoded = encodeCanonicalCborMap(paramMap);
            message.insert(message.end(), encoded.begin(), encoded.end());
        }
        return sharedSecret.authenticate(pinUvAuthToken, message);
    }
};

std::optional<CredentialManagementCommand::SubCommand> CredentialManagementCommand::subCommandFromRaw(std::uint8_t r)
{
    if (r >= 1 && r <= 7)
        return static_cast<SubCommand>(r);
    return std::nullopt;
}

Bytes CredentialManagementCommand::authenticated(SubCommand subCmd, const cbor_item_t* paramMap,
                                                 std::span<const std::uint8_t> pinUvAuthToken,
                                                 const SSecret& sharedSecret, PinProtocol pinProtocol)
{
    const Bytes pinUvAuthParam = GetPinUvAuthParam{pinUvAuthToken, sharedSecret, subCmd, paramMap}.pinUvAuthParam();
    RequestMap map;
    InsertSubCommand{subCmd}.insert(map);
    if (paramMap)
        InsertSubCommandParams{paramMap}.insert(map);
    InsertPinUvAuthProtocol{pinProtocol}.insert(map);
    InsertPinUvAuthParam{pinUvAuthParam}.insert(map);
    CborItem item = cborMap(std::move(map));
    return encodeCommand(item.get());
}

Bytes CredentialManagementCommand::plain(SubCommand subCmd)
{
    RequestMap map;
    InsertSubCommand{subCmd}.insert(map);
    CborItem item = cborMap(std::move(map));
    return encodeCommand(item.get());
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
    return authenticated(Sub::GET_CREDS_META_DATA, nullptr, pinUvAuthToken, sharedSecret, pinProtocol);
}

Bytes CredentialManagementCommand::enumerateRPsBegin(std::span<const std::uint8_t> pinUvAuthToken,
                                                     const SSecret& sharedSecret, PinProtocol pinProtocol)
{
    return authenticated(Sub::ENUMERATE_RPS_BEGIN, nullptr, pinUvAuthToken, sharedSecret, pinProtocol);
}

Bytes CredentialManagementCommand::enumerateRPsGetNextRP() { return plain(Sub::ENUMERATE_RPS_GET_NEXT_RP); }

Bytes CredentialManagementCommand::enumerateCredentialsBegin(std::span<const std::uint8_t> pinUvAuthToken,
                                                             const SSecret& sharedSecret, const Bytes& rpIdHash,
                                                             PinProtocol pinProtocol)
{
    RequestMap params;
    params.emplace_back(cborFromUInt64(1), cborFromBytes(rpIdHash));
    const CborItem paramMap = cborMap(std::move(params));
    return authenticated(Sub::ENUMERATE_CREDENTIALS_BEGIN, paramMap.get(), pinUvAuthToken, sharedSecret,
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
    RequestMap descriptor;
    descriptor.emplace_back(cborFromString("id"), cborFromBytes(credentialId));
    descriptor.emplace_back(cborFromString("type"), cborFromString(credentialType));
    RequestMap params;
    params.emplace_back(cborFromUInt64(2), cborMap(std::move(descriptor)));
    const CborItem paramMap = cborMap(std::move(params));
    return authenticated(Sub::DELETE_CREDENTIAL, paramMap.get(), pinUvAuthToken, sharedSecret, pinProtocol);
}
