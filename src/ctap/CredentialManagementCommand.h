#pragma once

#include "ctap/PinProtocol.h"
#include "ctap/SSecret.h"

#include <atomic>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

// The command byte of authenticatorCredentialManagement requests: 0x0A, or 0x41 (the pre-2.1 prototype)
// while the client talks to a key that offers only the prototype. Written by Ctap2's fido2Pre setter.
extern std::atomic<std::uint8_t> credMgmtCommand;

// Builders of authenticatorCredentialManagement requests.
class CredentialManagementCommand {
public:
    enum class SubCommand : std::uint8_t {
        GET_CREDS_META_DATA = 1,
        ENUMERATE_RPS_BEGIN = 2,
        ENUMERATE_RPS_GET_NEXT_RP = 3,
        ENUMERATE_CREDENTIALS_BEGIN = 4,
        ENUMERATE_CREDENTIALS_GET_NEXT_CREDENTIAL = 5,
        DELETE_CREDENTIAL = 6,
        UPDATE_USER_INFORMATION = 7,
    };
    // The sub-command a raw value names, or nothing.
    static std::optional<SubCommand> subCommandFromRaw(std::uint8_t raw);

    static Bytes getCredsMetadata(std::span<const std::uint8_t> pinUvAuthToken, const SSecret& sharedSecret,
                                  PinProtocol pinProtocol);
    static Bytes enumerateRPsBegin(std::span<const std::uint8_t> pinUvAuthToken, const SSecret& sharedSecret,
                                   PinProtocol pinProtocol);
    static Bytes enumerateRPsGetNextRP();
    static Bytes enumerateCredentialsBegin(std::span<const std::uint8_t> pinUvAuthToken, const SSecret& sharedSecret,
                                           const Bytes& rpIdHash, PinProtocol pinProtocol);
    static Bytes enumerateCredentialsGetNextCredential();
    static Bytes deleteCredential(std::span<const std::uint8_t> pinUvAuthToken, const SSecret& sharedSecret,
                                  const Bytes& credentialId, std::string_view credentialType,
                                  PinProtocol pinProtocol);

    // credMgmtCommand followed by the canonical encoding of the map.
    static Bytes encodeCommand(const cbor_item_t* map);

private:
    // A request's entries before they become its map item (the encoder sorts them, so the order they are added
    // in does not matter). Each Insert struct holds one value and adds the entry it belongs under.
    using RequestMap = std::vector<std::pair<CborItem, CborItem>>;
    struct InsertSubCommand;
    struct InsertSubCommandParams;
    struct InsertPinUvAuthProtocol;
    struct InsertPinUvAuthParam;
    struct GetPinUvAuthParam;

    // A request authenticated with the token: sub-command, its parameters (paramMap, null for none), protocol and
    // pinUvAuthParam.
    static Bytes authenticated(SubCommand subCmd, const cbor_item_t* paramMap,
                               std::span<const std::uint8_t> pinUvAuthToken, const SSecret& sharedSecret,
                               PinProtocol pinProtocol);
    // A get-next request: the sub-command alone.
    static Bytes plain(SubCommand subCmd);
};
