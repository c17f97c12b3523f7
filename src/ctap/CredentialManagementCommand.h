#pragma once

#include "ctap/PinProtocol.h"
#include "ctap/SSecret.h"

#include <atomic>
#include <cstdint>
#include <optional>
#include <string_view>

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
};
