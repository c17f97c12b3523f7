#include "softkey/SoftAuthenticator.h"

#include "softkey/SoftAuthenticatorShared.h"

using namespace softauth;

// ---- clientPIN ----

Bytes SoftAuthenticator::clientPin(const cbor_item_t* p)
{
    std::uint64_t sub = 0;
    if (auto s = required(getUInt(p, 2, sub)); s != OK)
        return status(s);
    std::uint64_t protocol = 0;
    const Field protocolField = getUInt(p, 1, protocol);
    if (protocolField == Field::Wrong)
        return status(CBOR_UNEXPECTED_TYPE);
    const bool needsProtocol = sub != 1 && sub != 7;
    if (protocolField == Field::Absent && needsProtocol)
        return status(MISSING_PARAMETER);
    if (protocolField == Field::Present && !supportsProtocol(protocol))
        return status(INVALID_PARAMETER);

    const cbor_item_t* cose = nullptr;
    Bytes pinUvAuthParam, newPinEnc, pinHashEnc;
    const Field coseField = getMap(p, 3, cose);
    const Field authField = getBytes(p, 4, pinUvAuthParam);
    const Field newPinField = getBytes(p, 5, newPinEnc);
    const Field hashField = getBytes(p, 6, pinHashEnc);
    for (Field f : {coseField, authField, newPinField, hashField})
        if (f == Field::Wrong)
            return status(CBOR_UNEXPECTED_TYPE);

    // The PIN must be set and usable before the shared secret to check it with is worked out.
    auto secretForPinCheck = [&](SecureBytes& secret) -> std::uint8_t {
        if (!pinSet())
            return PIN_NOT_SET;
        if (pinRetries_ == 0)
            return PIN_BLOCKED;
        if (pinAuthBlocked_)
            return PIN_AUTH_BLOCKED;
        return decapsulate(protocol, cose, secret);
    };

    switch (sub) {
    case 1: { // getPINRetries
        std::vector<CtapCbor::Entry> out{{CtapCbor::uint(3), CtapCbor::uint(pinRetries_)}};
        if (config_.uvRetries)
            out.push_back({CtapCbor::uint(5), CtapCbor::uint(*config_.uvRetries)});
        return answer(CtapCbor::map(std::move(out)));
    }
    case 2: // getKeyAgreement
        return answer(CtapCbor::map(
            {{CtapCbor::uint(1), CtapCbor::coseP256(-25, keyAgreement_->x(), keyAgreement_->y())}}));
    case 3: { // setPIN
        for (Field f : {coseField, authField, newPinField})
            if (f != Field::Present)
                return status(MISSING_PARAMETER);
        if (pinSet())
            return status(isVersion21() ? NOT_ALLOWED : PIN_AUTH_INVALID);
        SecureBytes secret;
        if (auto s = decapsulate(protocol, cose, secret); s != OK)
            return status(s);
        const std::size_t macLen = protocol == 1 ? 16 : 32;
        auto mac = crypto::hmacSha256(std::span(secret.data(), 32), newPinEnc);
        if (!mac || !equalConstTime(std::span(mac->data(), macLen), pinUvAuthParam))
            return status(PIN_AUTH_INVALID);
        SecureBytes newHash;
        if (auto s = checkNewPin(protocol, secret, newPinEnc, newHash); s != OK)
            return status(s);
        pinHash_ = std::move(newHash);
        pinRetries_ = config_.maxPinRetries;
        consecutiveMismatches_ = 0;
        return status(OK);
    }
    case 4: { // changePIN
        for (Field f : {coseField, authField, newPinField, hashField})
            if (f != Field::Present)
                return status(MISSING_PARAMETER);
        SecureBytes secret;
        if (auto s = secretForPinCheck(secret); s != OK)
            return status(s);
        const std::size_t macLen = protocol == 1 ? 16 : 32;
        auto mac = crypto::hmacSha256(std::span(secret.data(), 32), concat(newPinEnc, pinHashEnc));
        if (!mac || !equalConstTime(std::span(mac->data(), macLen), pinUvAuthParam))
            return status(PIN_AUTH_INVALID);
        if (auto s = checkPinHash(protocol, secret, pinHashEnc); s != OK)
            return status(s);
        SecureBytes newHash;
        if (auto s = checkNewPin(protocol, secret, newPinEnc, newHash); s != OK)
            return status(s);
        pinHash_ = std::move(newHash);
        forgetToken();
        return status(OK);
    }
    case 5:   // getPinToken
    case 9: { // getPinUvAuthTokenUsingPinWithPermissions
        std::uint64_t permissions = 0;
        std::string rpId;
        const Field permField = getUInt(p, 9, permissions);
        const Field rpField = getText(p, 10, rpId);
        if (optional(permField) != OK || optional(rpField) != OK)
            return status(CBOR_UNEXPECTED_TYPE);
        if (sub == 9 && !supportsPermissions())
            return status(INVALID_SUBCOMMAND);
        if (coseField != Field::Present || hashField != Field::Present)
            return status(MISSING_PARAMETER);
        if (sub == 5 && (permField == Field::Present || rpField == Field::Present))
            return status(INVALID_PARAMETER);
        if (sub == 9) {
            if (permField != Field::Present)
                return status(MISSING_PARAMETER);
            if (permissions == 0)
                return status(INVALID_PARAMETER);
            const std::uint64_t allowed = PERM_MC | PERM_GA | ((config_.credMgmt || config_.credMgmtPreview) ? PERM_CM : 0);
            if ((permissions & ~allowed) != 0)
                return status(UNAUTHORIZED_PERMISSION);
        }
        SecureBytes secret;
        if (auto s = secretForPinCheck(secret); s != OK)
            return status(s);
        if (auto s = checkPinHash(protocol, secret, pinHashEnc); s != OK)
            return status(s);
        Bytes out;
        const auto perms = sub == 5 ? static_cast<std::uint8_t>(PERM_MC | PERM_GA) : static_cast<std::uint8_t>(permissions);
        std::optional<std::string> bound;
        if (rpField == Field::Present)
            bound = rpId;
        if (auto s = issueToken(protocol, secret, perms, bound, sub == 5, out); s != OK)
            return status(s);
        return answer(out);
    }
    case 7: // getUVRetries
        if (!config_.uvRetries)
            return status(INVALID_SUBCOMMAND);
        return answer(CtapCbor::map({{CtapCbor::uint(5), CtapCbor::uint(*config_.uvRetries)}}));
    default: return status(INVALID_SUBCOMMAND);
    }
}

std::uint8_t SoftAuthenticator::decapsulate(std::uint64_t protocol, const cbor_item_t* cose, SecureBytes& secret)
{
    std::uint64_t kty = 0;
    Bytes x, y;
    if (getUInt(cose, 1, kty) != Field::Present || kty != 2 || getBytes(cose, -2, x) != Field::Present ||
        getBytes(cose, -3, y) != Field::Present)
        return INVALID_PARAMETER;
    if (!crypto::isValidP256Point(x, y))
        return INVALID_PARAMETER;
    auto z = keyAgreement_->ecdh(x, y);
    if (!z)
        return INVALID_PARAMETER;
    if (protocol == 1) {
        auto s = crypto::sha256(*z);
        if (!s)
            return INVALID_PARAMETER;
        secret = std::move(*s);
        return OK;
    }
    const Bytes zeroSalt(32, 0);
    auto hmacKey = crypto::hkdfSha256(*z, zeroSalt, toBytes("CTAP2 HMAC key"), 32);
    auto aesKey = crypto::hkdfSha256(*z, zeroSalt, toBytes("CTAP2 AES key"), 32);
    if (!hmacKey || !aesKey)
        return INVALID_PARAMETER;
    secret = std::move(*hmacKey);
    secret.append(*aesKey);
    return OK;
}

std::optional<Bytes> SoftAuthenticator::encrypt(std::uint64_t protocol, const SecureBytes& secret,
                                                std::span<const std::uint8_t> data)
{
    if (protocol == 1) {
        const Bytes iv(16, 0);
        auto ct = crypto::aes256CbcEncrypt(secret, iv, data);
        if (!ct)
            return std::nullopt;
        return ct->toBytes();
    }
    const Bytes iv = randomBytes(16);
    auto ct = crypto::aes256CbcEncrypt(std::span(secret.data() + 32, 32), iv, data);
    if (!ct)
        return std::nullopt;
    return concat(iv, ct->span());
}

namespace {

std::optional<SecureBytes> decryptWith(std::uint64_t protocol, const SecureBytes& secret,
                                       std::span<const std::uint8_t> data)
{
    if (protocol == 1) {
        const Bytes iv(16, 0);
        return crypto::aes256CbcDecrypt(secret, iv, data);
    }
    if (data.size() < 32)
        return std::nullopt;
    return crypto::aes256CbcDecrypt(std::span(secret.data() + 32, 32), data.first(16), data.subspan(16));
}

} // namespace

std::uint8_t SoftAuthenticator::checkPinHash(std::uint64_t protocol, const SecureBytes& secret,
                                             std::span<const std::uint8_t> pinHashEnc)
{
    if (pinHashEnc.size() != (protocol == 1 ? 16u : 32u))
        return INVALID_PARAMETER;
    --pinRetries_;
    auto plain = decryptWith(protocol, secret, pinHashEnc);
    if (!plain || !equalConstTime(*plain, pinHash_)) {
        newKeyAgreementKey();
        ++consecutiveMismatches_;
        if (pinRetries_ == 0)
            return PIN_BLOCKED;
        if (consecutiveMismatches_ >= 3) {
            pinAuthBlocked_ = true;
            return PIN_AUTH_BLOCKED;
        }
        return PIN_INVALID;
    }
    pinRetries_ = config_.maxPinRetries;
    consecutiveMismatches_ = 0;
    return OK;
}

std::uint8_t SoftAuthenticator::checkNewPin(std::uint64_t protocol, const SecureBytes& secret,
                                            std::span<const std::uint8_t> newPinEnc, SecureBytes& pinHash) const
{
    if (newPinEnc.size() != (protocol == 1 ? 64u : 80u))
        return INVALID_PARAMETER;
    auto padded = decryptWith(protocol, secret, newPinEnc);
    if (!padded || padded->size() != 64)
        return INVALID_PARAMETER;
    std::size_t len = 64;
    while (len > 0 && (*padded)[len - 1] == 0)
        --len;
    const std::span<const std::uint8_t> pin(padded->data(), len);
    if (len > 63 || codePoints(pin) < minPinLength())
        return PIN_POLICY_VIOLATION;
    auto h = crypto::sha256(pin);
    if (!h)
        return INVALID_PARAMETER;
    h->resize(16);
    pinHash = std::move(*h);
    return OK;
}

std::uint8_t SoftAuthenticator::issueToken(std::uint64_t protocol, const SecureBytes& secret, std::uint8_t permissions,
                                           std::optional<std::string> rpId, bool legacy, Bytes& out)
{
    auto token = std::make_unique<Token>();
    token->value = SecureBytes(randomBytes(config_.pinTokenLength));
    token->protocol = protocol;
    token->permissions = permissions;
    token->rpId = std::move(rpId);
    token->legacy = legacy;
    auto enc = encrypt(protocol, secret, token->value);
    if (!enc)
        return INVALID_PARAMETER;
    token_ = std::move(token);
    out = CtapCbor::map({{CtapCbor::uint(2), CtapCbor::bytes(*enc)}});
    return OK;
}

bool SoftAuthenticator::supportsProtocol(std::uint64_t protocol) const
{
    if (protocol != 1 && protocol != 2)
        return false;
    if (!config_.pinUvAuthProtocols)
        return protocol == 1;
    const auto& list = *config_.pinUvAuthProtocols;
    return std::find(list.begin(), list.end(), protocol) != list.end();
}

bool SoftAuthenticator::supportsPermissions() const
{
    if (config_.pinUvAuthToken.value_or(false))
        return true;
    return config_.versions && std::find(config_.versions->begin(), config_.versions->end(), "FIDO_2_1") !=
                                   config_.versions->end();
}

bool SoftAuthenticator::isVersion21() const
{
    if (!config_.versions)
        return false;
    const auto& v = *config_.versions;
    return std::find(v.begin(), v.end(), "FIDO_2_1") != v.end() ||
           std::find(v.begin(), v.end(), "FIDO_2_1_PRE") != v.end();
}

std::uint64_t SoftAuthenticator::minPinLength() const { return config_.minPINLength.value_or(4); }
