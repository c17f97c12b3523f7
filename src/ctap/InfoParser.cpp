#include "ctap/InfoParser.h"

#include "fido/Cbor.h"
#include "fido/Utils.h"
#include "platform/Log.h"

namespace {

std::vector<std::string> textList(const cbor_item_t* item, bool integersAsText)
{
    std::vector<std::string> out;
    auto array = cborArrayValue(item);
    if (!array)
        return out;
    for (const cbor_item_t* e : *array) {
        if (auto s = cborStringValue(e))
            out.push_back(*s);
        else if (auto i = integersAsText ? cborInt64Value(e) : std::nullopt)
            out.push_back(std::to_string(*i));
        else if (auto u = integersAsText ? cborUInt64Value(e) : std::nullopt)
            out.push_back(std::to_string(*u));
    }
    return out;
}

std::vector<std::uint64_t> uintList(const cbor_item_t* item)
{
    std::vector<std::uint64_t> out;
    if (auto array = cborArrayValue(item))
        for (const cbor_item_t* e : *array)
            if (auto v = cborUInt64Value(e))
                out.push_back(*v);
    return out;
}

std::map<std::string, std::string> textMap(const cbor_item_t* item)
{
    std::map<std::string, std::string> out;
    if (auto map = cborMapValue(item))
        for (const auto& [k, v] : *map) {
            auto key = cborStringValue(k);
            auto value = cborStringValue(v);
            if (key && value)
                out.emplace(std::move(*key), std::move(*value));
        }
    return out;
}

bool parse(std::span<const std::uint8_t> payload, Info& info, PinProtocol& protocol)
{
    auto item = cborDecode(payload);
    if (!item || !cbor_isa_map(item->get()))
        return false;
    // Keys differ in what they send beside the fields we use: a value of another kind than a field takes leaves
    // that field at its default and says nothing, so one odd field never hides the rest of the key.
    const cbor_item_t* m = item->get();
    auto readUInt = [m](std::int64_t key, std::uint64_t& field) {
        if (auto v = cborUInt64Value(cborMapFind(m, key)))
            field = *v;
    };

    info.versions = textList(cborMapFind(m, 0x01), true);
    info.extensions = textList(cborMapFind(m, 0x02), false);
    if (auto aaguid = cborBytesValue(cborMapFind(m, 0x03)))
        info.aaguid = bytesToHexString(*aaguid);
    if (auto options = cborMapValue(cborMapFind(m, 0x04)))
        for (const auto& [k, v] : *options) {
            auto key = cborStringValue(k);
            auto value = cborBoolValue(v);
            if (key && value)
                info.options[*key] = *value;
        }
    readUInt(0x05, info.maxMsgSize);
    info.pinUvAuthProtocols = uintList(cborMapFind(m, 0x06));
    // The highest protocol this client implements; a key may list newer ones first.
    for (std::uint64_t p : info.pinUvAuthProtocols)
        if (auto known = pinProtocolFromRaw(p); known && p > rawValue(protocol))
            protocol = *known;
    readUInt(0x07, info.maxCredentialCountInList);
    readUInt(0x08, info.maxCredentialIdLength);
    info.transports = textList(cborMapFind(m, 0x09), false);
    if (auto algorithms = cborArrayValue(cborMapFind(m, 0x0A)))
        for (const cbor_item_t* e : *algorithms)
            if (cbor_isa_map(e))
                info.algorithms.push_back(textMap(e));
    readUInt(0x0B, info.maxSerializedLargeBlobArray);
    if (auto force = cborBoolValue(cborMapFind(m, 0x0C)))
        info.forcePINChange = *force;
    readUInt(0x0D, info.minPINLength);
    readUInt(0x0E, info.firmwareVersion);
    readUInt(0x0F, info.maxCredBlobLength);
    readUInt(0x10, info.maxRPIDsForSetMinPINLength);
    readUInt(0x11, info.preferredPlatformUvAttempts);
    readUInt(0x12, info.uvModality);
    info.certifications = textMap(cborMapFind(m, 0x13));
    readUInt(0x14, info.remainingDiscoverableCredentials);
    info.vendorPrototypeConfigCommands = uintList(cborMapFind(m, 0x15));
    return true;
}

} // namespace

bool parseInfo(std::span<const std::uint8_t> payload, Info& info, PinProtocol& protocol)
{
    info = Info{};
    protocol = PinProtocol::None;
    const bool ok = parse(payload, info, protocol);
    if (!ok)
        logLine("parseInfo: CBOR decode error");
    return ok;
}
