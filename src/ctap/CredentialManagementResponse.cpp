#include "ctap/CredentialManagementResponse.h"

#include "platform/Log.h"

namespace {

// Reads an optional entry: absent leaves the field as it is; present with the kind the field needs stores it;
// present with another kind makes the whole answer malformed (false), never a silently empty field.
template <typename T, typename Convert>
bool readOptional(const cbor_item_t* entry, Convert convert, T& field)
{
    if (!entry)
        return true;
    auto value = convert(entry);
    if (!value)
        return false;
    field = std::move(*value);
    return true;
}

bool readOptionalText(const cbor_item_t* map, const char* key, std::string& field)
{
    return readOptional(cborMapFind(map, key), cborStringValue, field);
}

} // namespace

std::tuple<std::uint64_t, std::uint64_t, bool>
CredentialManagementResponse::ParseCborGetCredsMetaData(std::span<const std::uint8_t> data)
{
    std::uint64_t existing = 0;
    std::uint64_t remaining = 0;
    int tally = 0;
    if (auto item = cborDecode(data)) {
        if (auto v = cborUInt64Value(cborMapFind(item->get(), 1))) {
            existing = *v;
            ++tally;
        }
        if (auto v = cborUInt64Value(cborMapFind(item->get(), 2))) {
            remaining = *v;
            ++tally;
        }
    }
    const bool ok = tally == 2;
    if (!ok)
        logLine("ParseCborGetCredsMetaData: CBOR decode error");
    return {existing, remaining, ok};
}

bool CredentialManagementResponse::ParseCborEnumerateRPs(std::span<const std::uint8_t> data, std::vector<RpInfo>& list,
                                                         std::uint64_t& totalRPs)
{
    RpInfo rp;
    std::uint64_t total = totalRPs;
    bool ok = false;
    if (auto item = cborDecode(data); item && cbor_isa_map(item->get())) {
        const cbor_item_t* map = item->get();
        const cbor_item_t* rpMap = cborMapFind(map, 3);
        const cbor_item_t* hash = cborMapFind(map, 4);
        const cbor_item_t* count = cborMapFind(map, 5);
        ok = (rpMap || hash || count) && (!rpMap || cbor_isa_map(rpMap)) &&
             (!rpMap || (readOptionalText(rpMap, "id", rp.id) && readOptionalText(rpMap, "name", rp.name))) &&
             readOptional(hash, cborBytesValue, rp.idHash) && readOptional(count, cborUInt64Value, total);
    }
    if (!ok) {
        logLine("ParseCborEnumerateRPs: CBOR decode error");
        return false;
    }
    totalRPs = total;
    if (totalRPs > 0)
        list.push_back(std::move(rp));
    return true;
}

bool CredentialManagementResponse::ParseCborEnumerateCredentials(std::span<const std::uint8_t> data,
                                                                 std::vector<CredentialInfo>& list,
                                                                 std::uint64_t& totalCredentials)
{
    CredentialInfo cred;
    std::uint64_t total = totalCredentials;
    bool ok = false;
    if (auto item = cborDecode(data); item && cbor_isa_map(item->get())) {
        const cbor_item_t* map = item->get();
        const cbor_item_t* user = cborMapFind(map, 6);
        const cbor_item_t* id = cborMapFind(map, 7);
        const cbor_item_t* publicKey = cborMapFind(map, 8);
        // A row is known by its credential id: an answer without one is no credential.
        ok = user && cbor_isa_map(user) && id && cbor_isa_map(id) && cborMapFind(id, "id") &&
             readOptional(cborMapFind(user, "id"), cborBytesValue, cred.userEntity.id) &&
             readOptionalText(user, "name", cred.userEntity.name) &&
             readOptionalText(user, "icon", cred.userEntity.icon) &&
             readOptionalText(user, "displayName", cred.userEntity.displayName) &&
             readOptional(cborMapFind(id, "id"), cborBytesValue, cred.publicKeyCredentialDescriptor.id) &&
             readOptionalText(id, "type", cred.publicKeyCredentialDescriptor.type) &&
             (!publicKey || cbor_isa_map(publicKey)) &&
             readOptional(cborMapFind(map, 9), cborUInt64Value, total) &&
             readOptional(cborMapFind(map, 10), cborUInt64Value, cred.credProtect);
        if (ok)
            cred.keyAgreement.readCbor(publicKey);
    }
    if (!ok) {
        logLine("ParseCborEnumerateCredentials: CBOR decode error");
        return false;
    }
    totalCredentials = total;
    list.push_back(std::move(cred));
    return true;
}
