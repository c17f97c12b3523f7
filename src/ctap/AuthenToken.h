#pragma once

#include "ctap/Permission.h"
#include "ctap/SSecret.h"
#include "platform/IOReturn.h"

#include <optional>

class Ctap2;

// The PIN/UV auth token obtained for credential management, and the secret of the exchange that produced it.
class AuthenToken {
public:
    explicit AuthenToken(Ctap2& ctap2) : ctap2_(ctap2) {}

    const SecureBytes& getToken() const { return token_; }
    const std::optional<SSecret>& getSharedSecret() const { return sharedSecret_; }

    // A pre-2.1 key gets the legacy token request (no permission); others the permission request. The old
    // token and secret are replaced (and wiped) whatever the outcome.
    IOReturn requestToken(const SecureBytes& pin, Permission permission);
    // Drops (and wipes) the token and the secret.
    void clear();

private:
    Ctap2& ctap2_;
    SecureBytes token_;
    std::optional<SSecret> sharedSecret_;
};
