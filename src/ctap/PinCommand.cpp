#include "ctap/PinCommand.h"

namespace {

constexpr std::uint8_t kClientPin = 0x06;

} // namespace

struct PinCommand::InsertPinProtocol {
    PinProtocol pinProtocol;
    void insert(RequestMap& into) const { into.emplace_back(cborFromUInt64(1), cborFromUInt64(rawValue(pinProtocol))); }
};

struct PinCommand::InsertSubCommand {
    SubCommand subCmd;
    void insert(RequestMap& into) const
    {
        into.emplace_back(cborFromUInt64(2), cborFromUInt64(static_cast<std::uint8_t>(subCmd)));
    }
};

struct PinCommand::InsertKeyAgreement {
    const KeyAgreement& keyAgreement;
    void insert(RequestMap& into) const { into.emplace_back(cborFromUInt64(3), keyAgreement.toCbor()); }
};

struct PinCommand::InsertPinAuth {
    std::span<const std::uint8_t> pinAuth;
    void insert(RequestMap& into) const { into.emplace_back(cborFromUInt64(4), cborFromBytes(pinAuth)); }
};

struct PinCommand::InsertNewPinEnc {
    std::span<const std::uint8_t> newPinEnc;
    void insert(RequestMap& into) const { into.emplace_back(cborFromUInt64(5), cborFromBytes(newPinEnc)); }
};

struct PinCommand::InsertPinHashEnc {
    std::span<const std::uint8_t> pinHashEnc;
    void insert(RequestMap& into) const { into.emplace_back(cborFromUInt64(6), cborFromBytes(pinHashEnc)); }
};

std::optional<PinCommand::SubCommand> PinCommand::subCommandFromRaw(std::uint8_t raw)
{
    if ((raw >= 1 && raw <= 7) || raw == 9)
        return static_cast<SubCommand>(raw);
    return std::nullopt;
}

PinCommand::RequestMap PinCommand::start(PinProtocol pinProtocol, SubCommand subCmd)
{
    RequestMap map;
    InsertPinProtocol{pinProtocol}.insert(map);
    InsertSubCommand{subCmd}.insert(map);
    return map;
}

Bytes PinCommand::build(RequestMap map)
{
    CborItem item = cborMap(std::move(map));
    return buildCommand(item.get());
}

Bytes PinCommand::buildCommand(const cbor_item_t* map)
{
    Bytes out{kClientPin};
    const Bytes body = encodeCanonicalCborMap(map);
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

Bytes PinCommand::getRetries(PinProtocol pinProtocol) { return build(start(pinProtocol, SubCommand::getRetries)); }

Bytes PinCommand::getKeyAgreement(PinProtocol pinProtocol)
{
    return build(start(pinProtocol, SubCommand::getKeyAgreement));
}

Bytes PinCommand::setPin(const KeyAgreement& keyAgreement, const Bytes& pinAuth, const Bytes& newPinEnc,
                         PinProtocol pinProtocol)
{
    RequestMap map = start(pinProtocol, SubCommand::setPin);
    InsertKeyAgreement{keyAgreement}.insert(map);
    InsertPinAuth{pinAuth}.insert(map);
    InsertNewPinEnc{newPinEnc}.insert(map);
    return build(std::move(map));
}

Bytes PinCommand::chgPin(const KeyAgreement& keyAgreement, const Bytes& pinAuth, const Bytes& newPinEnc,
                         const Bytes& pinHashEnc, PinProtocol pinProtocol)
{
    RequestMap map = start(pinProtocol, SubCommand::chgPin);
    InsertKeyAgreement{keyAgreement}.insert(map);
    InsertPinAuth{pinAuth}.insert(map);
    InsertNewPinEnc{newPinEnc}.insert(map);
    InsertPinHashEnc{pinHashEnc}.insert(map);
    return build(std::move(map));
}

Bytes PinCommand::getPinToken(const KeyAgreement& keyAgreement, const Bytes& pinHashEnc, PinProtocol pinProtocol)
{
    RequestMap map = start(pinProtocol, SubCommand::getPinToken);
    InsertKeyAgreement{keyAgreement}.insert(map);
    InsertPinHashEnc{pinHashEnc}.insert(map);
    return build(std::move(map));
}

Bytes PinCommand::getPinUvAuthTokenUsingUvWithPermissions(const KeyAgreement& keyAgreement, Permission permission,
                                                          std::string_view rpId, PinProtocol pinProtocol)
{
    RequestMap map = start(pinProtocol, SubCommand::getPinUvAuthTokenUsingUvWithPermissions);
    InsertKeyAgreement{keyAgreement}.insert(map);
    map.emplace_back(cborFromUInt64(9), cborFromUInt64(rawValue(permission)));
    map.emplace_back(cborFromUInt64(10), cborFromString(rpId));
    return build(std::move(map));
}

Bytes PinCommand::getPinUvAuthTokenUsingPinWithPermissions(const KeyAgreement& keyAgreement, const Bytes& pinHashEnc,
                                                           Permission permission, PinProtocol pinProtocol,
                                                           std::string_view rpId)
{
    RequestMap map = start(pinProtocol, SubCommand::getPinUvAuthTokenUsingPinWithPermissions);
    InsertKeyAgreement{keyAgreement}.insert(map);
    InsertPinHashEnc{pinHashEnc}.insert(map);
    map.emplace_back(cborFromUInt64(9), cborFromUInt64(rawValue(permission)));
    if (!rpId.empty())
        map.emplace_back(cborFromUInt64(10), cborFromString(rpId));
    return build(std::move(map));
}
