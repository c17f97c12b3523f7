#include "ctap/PinCommand.h"

namespace {

using Entries = std::vector<std::pair<CborItem, CborItem>>;

constexpr std::uint8_t kClientPin = 0x06;

Entries header(PinProtocol protocol, PinCommand::SubCommand sub)
{
    Entries e;
    e.emplace_back(cborFromUInt64(1), cborFromUInt64(rawValue(protocol)));
    e.emplace_back(cborFromUInt64(2), cborFromUInt64(static_cast<std::uint8_t>(sub)));
    return e;
}

void add(Entries& e, std::uint64_t key, CborItem value) { e.emplace_back(cborFromUInt64(key), std::move(value)); }

Bytes build(Entries e)
{
    CborItem map = cborMap(std::move(e));
    return PinCommand::buildCommand(map.get());
}

} // namespace

std::optional<PinCommand::SubCommand> PinCommand::subCommandFromRaw(std::uint8_t raw)
{
    if ((raw >= 1 && raw <= 7) || raw == 9)
        return static_cast<SubCommand>(raw);
    return std::nullopt;
}

Bytes PinCommand::buildCommand(const cbor_item_t* map)
{
    Bytes out{kClientPin};
    const Bytes body = encodeCanonicalCborMap(map);
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

Bytes PinCommand::getRetries(PinProtocol pinProtocol) { return build(header(pinProtocol, SubCommand::getRetries)); }

Bytes PinCommand::getKeyAgreement(PinProtocol pinProtocol)
{
    return build(header(pinProtocol, SubCommand::getKeyAgreement));
}

Bytes PinCommand::setPin(const KeyAgreement& keyAgreement, const Bytes& pinAuth, const Bytes& newPinEnc,
                         PinProtocol pinProtocol)
{
    Entries e = header(pinProtocol, SubCommand::setPin);
    add(e, 3, keyAgreement.toCbor());
    add(e, 4, cborFromBytes(pinAuth));
    add(e, 5, cborFromBytes(newPinEnc));
    return build(std::move(e));
}

Bytes PinCommand::chgPin(const KeyAgreement& keyAgreement, const Bytes& pinAuth, const Bytes& newPinEnc,
                         const Bytes& pinHashEnc, PinProtocol pinProtocol)
{
    Entries e = header(pinProtocol, SubCommand::chgPin);
    add(e, 3, keyAgreement.toCbor());
    add(e, 4, cborFromBytes(pinAuth));
    add(e, 5, cborFromBytes(newPinEnc));
    add(e, 6, cborFromBytes(pinHashEnc));
    return build(std::move(e));
}

Bytes PinCommand::getPinToken(const KeyAgreement& keyAgreement, const Bytes& pinHashEnc, PinProtocol pinProtocol)
{
    Entries e = header(pinProtocol, SubCommand::getPinToken);
    add(e, 3, keyAgreement.toCbor());
    add(e, 6, cborFromBytes(pinHashEnc));
    return build(std::move(e));
}

Bytes PinCommand::getPinUvAuthTokenUsingUvWithPermissions(const KeyAgreement& keyAgreement, Permission permission,
                                                          std::string_view rpId, PinProtocol pinProtocol)
{
    Entries e = header(pinProtocol, SubCommand::getPinUvAuthTokenUsingUvWithPermissions);
    add(e, 3, keyAgreement.toCbor());
    add(e, 9, cborFromUInt64(rawValue(permission)));
    add(e, 10, cborFromString(rpId));
    return build(std::move(e));
}

Bytes PinCommand::getPinUvAuthTokenUsingPinWithPermissions(const KeyAgreement& keyAgreement, const Bytes& pinHashEnc,
                                                           Permission permission, PinProtocol pinProtocol)
{
    Entries e = header(pinProtocol, SubCommand::getPinUvAuthTokenUsingPinWithPermissions);
    add(e, 3, keyAgreement.toCbor());
    add(e, 6, cborFromBytes(pinHashEnc));
    add(e, 9, cborFromUInt64(rawValue(permission)));
    return build(std::move(e));
}
