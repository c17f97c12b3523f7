#include "ctap/AuthenToken.h"

#include "ctap/Ctap2.h"

IOReturn AuthenToken::requestToken(const SecureBytes& pin, Permission permission)
{
    auto [token, secret, status] = ctap2_.fido2Pre() ? ctap2_.getPinToken(pin)
                                                     : ctap2_.getPinUvAuthTokenUsingPinWithPermissions(pin, permission, "");
    token_ = std::move(token);
    sharedSecret_ = std::move(secret);
    return status;
}

void AuthenToken::clear()
{
    token_.clear();
    sharedSecret_.reset();
}
