#include "ctap/InfoParser.h"

#include "fido/Cbor.h"
#include "fido/Utils.h"
#include "platform/Log.h"

namespace {

// Each reader leaves its field at the default when the key is absent, and notes in ok when the key is present
// with a value of the wrong kind: the answer is then malformed, though the fields that could be read stay read.
struct Reader {
    const cbor_item_t* answer;
    bool ok = true;

    const cbor_item_t* entry(std::int64_t key, bool (*isKind)(const cbor_item_t*))
    {
        const cbor_item_t* value = cborMapFind(answer, key);
        if (value && !isKind(value)) {
            ok = false;
            return nullptr;
        }
        return value;
    }

    void uint(std::int64_t key, std::uint64_t& field)
    {
        if (const cbor_item_t* value = entry(key, [](const cbor_item_t* v) { return cborUInt64Value(v).has_value(); }))
            field = *cborUInt64Value(value);
    }

    const cbor_item_t* array(std::int64_t key) { return entry(key, cbor_isa_array); }
    const cbor_item_t* submap(std::int64_t key) { return entry(key, cbor_isa_map); }
};

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
    Reader r{item->get()};

    info.versions = textList(r.array(0x01), true);
    info.extensions = textList(r.array(0x02), false);
    if (const cbor_item_t* aaguid = cborMapFind(r.answer, 0x03)) {
        auto bytes = cborBytesValue(aaguid);
        if (bytes && bytes->size() == 16)
            info.aaguid = bytesToHexString(*bytes);
        else
            r.ok = false;
    }
    if (auto options = cborMapValue(r.submap(0x04)))
        for (const auto& [k, v] : *options) {
            auto key = cborStringValue(k);
            auto value = cborBoolValue(v);
            if (key && value)
                info.options[*key] = *value;
        }
    r.uint(0x05, info.maxMsgSize);
    if (const cbor_item_t* protocols = r.array(0x06)) {
        info.pinUvAuthProtocols = uintList(protocols);
        // The highest protocol this client implements; a key may list newer ones first.
        for (std::uint64_t p : info.pinUvAuthProtocols)
            if (auto known = pinProtocolFromRaw(p); known && p > rawValue(protocol))
                protocol = *known;
    }
    r.uint(0x07, info.maxCredentialCountInList);
    r.uint(0x08, info.maxCredentialIdLength);
    info.transports = textList(r.array(0x09), false);
    if (auto algorithms = cborArrayValue(r.array(0x0A)))
        for (const cbor_item_t* e : *algorithms)
            if (cbor_isa_map(e))
                info.algorithms.push_back(textMap(e));
    r.uint(0x0B, info.maxSerializedLargeBlobArray);
    if (const cbor_item_t* force = r.entry(0x0C, [](const cbor_item_t* v) { return cborBoolValue(v).has_value(); }))
        info.forcePINChange = *cborBoolValue(force);
    r.uint(0x0D, info.minPINLength);
    r.uint(0x0E, info.firmwareVersion);
    r.uint(0x0F, info.maxCredBlobLength);
    r.uint(0x10, info.maxRPIDsForSetMinPINLength);
    r.uint(0x11, info.preferredPlatformUvAttempts);
    r.uint(0x12, info.uvModality);
    info.certifications = textMap(r.submap(0x13));
    r.uint(0x14, info.remainingDiscoverableCredentials);
    info.vendorPrototypeConfigCommands = uintList(r.array(0x15));
    return r.ok;
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
