#pragma once

#include "ctap/KeyAgreement.h"
#include "ctap/Permission.h"
#include "ctap/PinProtocol.h"

#include <optional>
#include <string_view>

// Builders of authenticatorClientPIN requests (command byte 0x06 and a canonical CBOR map).
class PinCommand {
public:
    enum class SubCommand : std::uint8_t {
        getRetries = 1,
        getKeyAgreement = 2,
        setPin = 3,
        chgPin = 4,
        getPinToken = 5,
        getPinUvAuthTokenUsingUvWithPermissions = 6,
        getUvRetries = 7,
        getPinUvAuthTokenUsingPinWithPermissions = 9,
    };
    static std::optional<SubCommand> subCommandFromRaw(std::uint8_t raw);

    static Bytes getRetries(PinProtocol pinProtocol);
    static Bytes getKeyAgreement(PinProtocol pinProtocol);
    static Bytes setPin(const KeyAgreement& keyAgreement, const Bytes& pinAuth, const Bytes& newPinEnc,
                        PinProtocol pinProtocol);
    static Bytes chgPin(const KeyAgreement& keyAgreement, const Bytes& pinAuth, const Bytes& newPinEnc,
                        const Bytes& pinHashEnc, PinProtocol pinProtocol);
    static Bytes getPinToken(const KeyAgreement& keyAgreement, const Bytes& pinHashEnc, PinProtocol pinProtocol);
    static Bytes getPinUvAuthTokenUsingUvWithPermissions(const KeyAgreement& keyAgreement, Permission permission,
                                                         std::string_view rpId, PinProtocol pinProtocol);
    static Bytes getPinUvAuthTokenUsingPinWithPermissions(const KeyAgreement& keyAgreement, const Bytes& pinHashEnc,
                                                          Permission permission, PinProtocol pinProtocol);

    // 0x06 followed by the canonical encoding of the map.
    static Bytes buildCommand(const cbor_item_t* map);
};
