#pragma once

#include "ctap/CredentialRecords.h"
#include "platform/SecureBytes.h"

#include <cstddef>
#include <functional>
#include <string>

// One row of the credential list: a discoverable credential with its relying party and user. A row is known
// by its credential ID alone, so a ticked and an unticked copy of one row are the same row.
struct RpItem {
    RpItem() = default;
    // The row of one credential as the key listed it: the IDs as upper-case hex, the user by name, not ticked.
    RpItem(const RpInfo& rpInfo, const CredentialInfo& credentialInfo);

    std::string id;           // relying party id
    std::string name;         // relying party name (the view model puts the id here when the name is blank)
    std::string idHash;       // upper-case hex
    Bytes userId;
    std::string userName;
    std::string credentialId; // upper-case hex
    std::string credType;
    bool isChecked = false;

    bool operator==(const RpItem& other) const { return credentialId == other.credentialId; }
};

template <> struct std::hash<RpItem> {
    std::size_t operator()(const RpItem& item) const noexcept { return std::hash<std::string>{}(item.credentialId); }
};
