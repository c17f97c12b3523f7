#include "ctap/CredentialManagementResponse.h"

#include "platform/Log.h"

namespace {

template <typename T>
void readInto(std::optional<T> value, T& field)
{
    if (value)
        field = std::move(*value);
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
    bool found = false;
    if (auto item = cborDecode(data)) {
        const cbor_item_t* map = item->get();
        if (const cbor_item_t* rpMap = cborMapFind(map, 3)) {
            readInto(cborStringValue(cborMapFind(rpMap, "id")), rp.id);
            readInto(cborStringValue(cborMapFind(rpMap, "name")), rp.name);
            found = true;
        }
        if (const cbor_item_t* hash = cborMapFind(map, 4)) {
            readInto(cborBytesValue(hash), rp.idHash);
            found = true;
        }
        if (const cbor_item_t* total = cborMapFind(map, 5)) {
            readInto(cborUInt64Value(total), totalRPs);
            found = true;
        }
    }
    if (!found)
        logLine("ParseCborEnumerateRPs: CBOR decode error");
    else if (totalRPs > 0)
        list.push_back(std::move(rp));
    return found;
}

bool CredentialManagementResponse::ParseCborEnumerateCredentials(std::span<const std::uint8_t> data,
                                                                 std::vector<CredentialInfo>& list,
                                                                 std::uint64_t& totalCredentials)
{
    CredentialInfo cred;
    bool found = false;
    if (auto item = cborDecode(data)) {
        const cbor_item_t* map = item->get();
        if (const cbor_item_t* user = cborMapFind(map, 6)) {
            found = true;
            readInto(cborBytesValue(cborMapFind(user, "id")), cred.userEntity.id);
            readInto(cborStringValue(cborMapFind(user, "name")), cred.userEntity.name);
            readInto(cborStringValue(cborMapFind(user, "icon")), cred.userEntity.icon);
            readInto(cborStringValue(cborMapFind(user, "displayName")), cred.userEntity.displayName);
        }
        if (const cbor_item_t* id = cborMapFind(map, 7)) {
            readInto(cborBytesValue(cborMapFind(id, "id")), cred.publicKeyCredentialDescriptor.id);
            readInto(cborStringValue(cborMapFind(id, "type")), cred.publicKeyCredentialDescriptor.type);
        }
        cred.keyAgreement.readCbor(cborMapFind(map, 8));
        readInto(cborUInt64Value(cborMapFind(map, 9)), totalCredentials);
        readInto(cborUInt64Value(cborMapFind(map, 10)), cred.credProtect);
    }
    if (found)
        list.push_back(std::move(cred));
    else
        logLine("ParseCborEnumerateCredentials: CBOR decode error");
    return found;
}
