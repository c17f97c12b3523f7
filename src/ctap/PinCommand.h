#pragma once

#include "ctap/KeyAgreement.h"
#include "ctap/Permission.h"
#include "ctap/PinProtocol.h"

#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

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
    // The sub-command a raw value names, or nothing (there is no 8).
    static std::optional<SubCommand> subCommandFromRaw(std::uint8_t raw);

    static Bytes getRetries(PinProtocol pinProtocol);
    static Bytes getKeyAgreement(PinProtocol pinProtocol);
    static Bytes setPin(const KeyAgreement& keyAgreement, const Bytes& pinAuth, const Bytes& newPinEnc,
                        PinProtocol pinProtocol);
    static Bytes chgPin(const KeyAgreement& keyAgreement, const Bytes& pinAuth, const Bytes& newPinEnc,
                        const Bytes& pinHashEnc, PinProtocol pinProtocol);
    static Bytes getPinToken(const KeyAgreement& keyAgreement, const Bytes& pinHashEnc, PinProtocol pinProtocol);
    // Always carries key 10, an empty text when no rpId is given.
    static Bytes getPinUvAuthTokenUsingUvWithPermissions(const KeyAgreement& keyAgreement, Permission permission,
                                                         std::string_view rpId, PinProtocol pinProtocol);
    // A token for one relying party carries its rpId under key 10; without an rpId the request has no key 10.
    static Bytes getPinUvAuthTokenUsingPinWithPermissions(const KeyAgreement& keyAgreement, const Bytes& pinHashEnc,
                                                          Permission permission, PinProtocol pinProtocol,
                                                          std::string_view rpId = {});

    // 0x06 followed by the canonical encoding of the map.
    static Bytes buildCommand(const cbor_item_t* map);

private:
    // A request's entries before they become its map item (the encoder sorts them, so the order they are added
    // in does not matter). Each Insert struct holds one value and adds the entry it belongs under.
    using RequestMap = std::vector<std::pair<CborItem, CborItem>>;
    struct InsertPinProtocol;
    struct InsertSubCommand;
    struct InsertKeyAgreement;
    struct InsertPinAuth;
    struct InsertNewPinEnc;
    struct InsertPinHashEnc;

    // The two entries every request starts with: pinUvAuthProtocol and the sub-command.
    static RequestMap start(PinProtocol pinProtocol, SubCommand subCmd);
    static Bytes build(RequestMap map);
};
