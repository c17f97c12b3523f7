#pragma once

#include "ctap/KeyAgreement.h"

#include <cstdint>
#include <string>

// The key's answers about its discoverable credentials, as handed to the view model.

struct RpInfo {
    std::string id;
    std::string name;
    Bytes idHash;
    bool operator==(const RpInfo&) const = default;
};

struct PublicKeyCredentialUserEntity {
    Bytes id;
    std::string name;
    std::string icon;
    std::string displayName;
    bool operator==(const PublicKeyCredentialUserEntity&) const = default;
};

struct PublicKeyCredentialDescriptor {
    Bytes id;
    std::string type;
    bool operator==(const PublicKeyCredentialDescriptor&) const = default;
};

struct CredentialInfo {
    PublicKeyCredentialUserEntity userEntity;
    PublicKeyCredentialDescriptor publicKeyCredentialDescriptor;
    KeyAgreement keyAgreement;
    std::uint64_t credProtect = 0;
    bool operator==(const CredentialInfo&) const = default;
};
