#include "softkey/SoftAuthenticator.h"

#include "softkey/SoftAuthenticatorShared.h"

#include <algorithm>

using namespace softauth;

namespace {

constexpr auto kTouchLimit = std::chrono::seconds(60);
constexpr auto kPoll = std::chrono::milliseconds(5);

} // namespace

// ---- makeCredential ----

Bytes SoftAuthenticator::makeCredential(Lock& lk, const cbor_item_t* p, const RequestContext& ctx)
{
    Bytes pinUvAuthParam;
    const Field authField = getBytes(p, 8, pinUvAuthParam);
    if (authField == Field::Wrong)
        return status(CBOR_UNEXPECTED_TYPE);
    // The touch form: an empty pinUvAuthParam asks only for a touch, then tells whether a PIN is set.
    if (authField == Field::Present && pinUvAuthParam.empty()) {
        if (auto s = awaitTouchStatus(lk, ctx); s != OK)
            return status(s);
        return status(pinSet() ? PIN_INVALID : PIN_NOT_SET);
    }
    std::uint64_t protocol = 0;
    const Field protocolField = getUInt(p, 9, protocol);
    if (optional(protocolField) != OK)
        return status(CBOR_UNEXPECTED_TYPE);
    if (authField == Field::Present) {
        if (protocolField == Field::Absent)
            return status(MISSING_PARAMETER);
        if (!supportsProtocol(protocol))
            return status(INVALID_PARAMETER);
    }

    Bytes clientDataHash;
    const cbor_item_t* rp = nullptr;
    const cbor_item_t* user = nullptr;
    if (auto s = required(getBytes(p, 1, clientDataHash)); s != OK)
        return status(s);
    if (auto s = required(getMap(p, 2, rp)); s != OK)
        return status(s);
    if (auto s = required(getMap(p, 3, user)); s != OK)
        return status(s);
    const cbor_item_t* algs = cborMapFind(p, 4);
    if (!algs)
        return status(MISSING_PARAMETER);
    auto algList = cborArrayValue(algs);
    if (!algList)
        return status(CBOR_UNEXPECTED_TYPE);

    std::string rpId, rpName, userName, displayName;
    Bytes userId;
    if (auto s = required(getText(rp, "id", rpId)); s != OK)
        return status(s);
    if (optional(getText(rp, "name", rpName)) != OK)
        return status(CBOR_UNEXPECTED_TYPE);
    if (auto s = required(getBytes(user, "id", userId)); s != OK)
        return status(s);
    if (userId.size() > 64)
        return status(INVALID_LENGTH);
    if (optional(getText(user, "name", userName)) != OK || optional(getText(user, "displayName", displayName)) != OK)
        return status(CBOR_UNEXPECTED_TYPE);

    bool es256 = false;
    for (const cbor_item_t* a : *algList) {
        if (!cbor_isa_map(a))
            return status(CBOR_UNEXPECTED_TYPE);
        const cbor_item_t* algItem = cborMapFind(a, "alg");
        std::string type;
        auto alg = cborInt64Value(algItem);
        if (!alg || required(getText(a, "type", type)) != OK)
            return status(CBOR_UNEXPECTED_TYPE);
        if (*alg == -7 && type == "public-key")
            es256 = true;
    }
    if (!es256)
        return status(UNSUPPORTED_ALGORITHM);

    bool rk = false;
    const cbor_item_t* options = nullptr;
    const Field optionsField = getMap(p, 7, options);
    if (optionsField == Field::Wrong)
        return status(CBOR_UNEXPECTED_TYPE);
    if (optionsField == Field::Present) {
        for (const auto& [name, value] : {std::pair<const char*, int>{"rk", 0}, {"up", 1}, {"uv", 2}}) {
            const cbor_item_t* o = cborMapFind(options, std::string_view(name));
            if (!o)
                continue;
            auto b = cborBoolValue(o);
            if (!b)
                return status(CBOR_UNEXPECTED_TYPE);
            if (value == 0)
                rk = *b;
            if (value == 1 && !*b)
                return status(INVALID_OPTION);
            if (value == 2 && *b)
                return status(INVALID_OPTION);
        }
    }
    if (rk && !config_.rk.value_or(false))
        return status(UNSUPPORTED_OPTION);

    bool uv = false;
    if (authField == Field::Present) {
        if (!token_)
            return status(PIN_AUTH_INVALID);
        auto mac = crypto::hmacSha256(tokenMacKey(token_->value, protocol), clientDataHash);
        const std::size_t macLen = protocol == 1 ? 16 : 32;
        if (!mac || !equalConstTime(std::span(mac->data(), macLen), pinUvAuthParam) || token_->protocol != protocol)
            return status(PIN_AUTH_INVALID);
        if ((token_->permissions & PERM_MC) == 0 || (token_->rpId && *token_->rpId != rpId))
            return status(PIN_AUTH_INVALID);
        if (!token_->rpId)
            token_->rpId = rpId;
        uv = true;
    } else if (pinSet()) {
        return status(PUAT_REQUIRED);
    }

    // Excluded credentials still need the touch before the refusal.
    bool excluded = false;
    if (const cbor_item_t* exclude = cborMapFind(p, 5)) {
        auto list = cborArrayValue(exclude);
        if (!list)
            return status(CBOR_UNEXPECTED_TYPE);
        for (const cbor_item_t* d : *list) {
            auto id = cborBytesValue(cborMapFind(d, "id"));
            if (!id)
                continue;
            for (const auto& c : credentials_)
                if (c.rpId == rpId && c.credentialId == *id)
                    excluded = true;
        }
    }
    if (rk && !excluded) {
        const bool replaces = std::any_of(credentials_.begin(), credentials_.end(), [&](const StoredCredential& c) {
            return c.rpId == rpId && c.userId == userId;
        });
        if (!replaces && credentials_.size() >= config_.maxDiscoverableCredentials)
            return status(KEY_STORE_FULL);
    }

    if (auto s = awaitTouchStatus(lk, ctx); s != OK)
        return status(s);
    if (excluded)
        return status(CREDENTIAL_EXCLUDED);

    StoredCredential c;
    c.rpId = rpId;
    c.rpName = rpName;
    c.userId = userId;
    c.userName = userName;
    c.userDisplayName = displayName;
    c.credentialId = randomBytes(32);
    const Bytes scalar = randomBytes(32);
    c.key = newKeyPair(scalar);
    if (!c.key)
        return status(INVALID_PARAMETER);
    c.privateKey = scalar;

    Bytes authData = hash(toBytes(rpId));
    authData.push_back(static_cast<std::uint8_t>(0x01 | (uv ? 0x04 : 0x00) | 0x40));
    ++signCount_;
    for (int shift = 24; shift >= 0; shift -= 8)
        authData.push_back(static_cast<std::uint8_t>(signCount_ >> shift));
    const Bytes aaguid = config_.aaguid.value_or(Bytes(16, 0));
    authData.insert(authData.end(), aaguid.begin(), aaguid.end());
    authData.push_back(static_cast<std::uint8_t>(c.credentialId.size() >> 8));
    authData.push_back(static_cast<std::uint8_t>(c.credentialId.size() & 0xFF));
    authData.insert(authData.end(), c.credentialId.begin(), c.credentialId.end());
    const Bytes cose = CtapCbor::coseP256(-7, c.key->x(), c.key->y());
    authData.insert(authData.end(), cose.begin(), cose.end());

    auto sig = c.key->sign(concat(authData, clientDataHash));
    if (!sig)
        return status(INVALID_PARAMETER);
    if (rk)
        storeCredential(std::move(c)); // room was checked before the touch
    const Bytes attStmt = CtapCbor::map({{CtapCbor::text("alg"), CtapCbor::integer(-7)},
                                         {CtapCbor::text("sig"), CtapCbor::bytes(*sig)}});
    return answer(CtapCbor::map({{CtapCbor::uint(1), CtapCbor::text("packed")},
                                 {CtapCbor::uint(2), CtapCbor::bytes(authData)},
                                 {CtapCbor::uint(3), attStmt}}));
}

// ---- reset and selection ----

Bytes SoftAuthenticator::reset(Lock& lk, const RequestContext& ctx)
{
    if (std::chrono::steady_clock::now() > resetWindowEnd_)
        return status(NOT_ALLOWED);
    if (auto s = awaitTouchStatus(lk, ctx); s != OK)
        return status(s);
    credentialsChanged();
    credentials_.clear();
    pinHash_.clear();
    pinRetries_ = config_.maxPinRetries;
    consecutiveMismatches_ = 0;
    pinAuthBlocked_ = false;
    forgetToken();
    newKeyAgreementKey();
    return status(OK);
}

Bytes SoftAuthenticator::selection(Lock& lk, const RequestContext& ctx)
{
    if (!isVersion21())
        return status(INVALID_COMMAND);
    return status(awaitTouchStatus(lk, ctx));
}

// ---- touch and waits ----

SoftAuthenticator::TouchOutcome SoftAuthenticator::awaitTouch(Lock& lk, const RequestContext& ctx)
{
    TouchStep step = defaultTouch_;
    if (!touchQueue_.empty()) {
        step = touchQueue_.front();
        touchQueue_.pop_front();
    }
    ++touchRequests_;
    touchPending_ = true;
    manualTouch_.reset();
    cv_.notify_all();
    if (ctx.status)
        ctx.status(Keepalive::UpNeeded);

    const auto start = std::chrono::steady_clock::now();
    TouchOutcome outcome = TouchOutcome::TimedOut;
    for (;;) {
        if (ctx.cancelled && ctx.cancelled()) {
            outcome = TouchOutcome::Cancelled;
            break;
        }
        const auto now = std::chrono::steady_clock::now();
        if (step.mode == Touch::Given || step.mode == Touch::Denied || step.mode == Touch::TimedOut) {
            if (now - start >= step.after) {
                outcome = step.mode == Touch::Given    ? TouchOutcome::Given
                          : step.mode == Touch::Denied ? TouchOutcome::Denied
                                                       : TouchOutcome::TimedOut;
                break;
            }
        } else if (step.mode == Touch::Manual && manualTouch_) {
            outcome = *manualTouch_ ? TouchOutcome::Given : TouchOutcome::Denied;
            break;
        }
        if (now - start >= kTouchLimit) {
            outcome = TouchOutcome::TimedOut;
            break;
        }
        cv_.wait_for(lk, kPoll);
    }
    touchPending_ = false;
    manualTouch_.reset();
    if (ctx.status)
        ctx.status(Keepalive::Processing);
    return outcome;
}

std::uint8_t SoftAuthenticator::awaitTouchStatus(Lock& lk, const RequestContext& ctx)
{
    switch (awaitTouch(lk, ctx)) {
    case TouchOutcome::Given: return OK;
    case TouchOutcome::Denied: return OPERATION_DENIED;
    case TouchOutcome::TimedOut: return USER_ACTION_TIMEOUT;
    case TouchOutcome::Cancelled: return KEEPALIVE_CANCEL;
    }
    return KEEPALIVE_CANCEL;
}

bool SoftAuthenticator::waitFor(Lock& lk, const std::chrono::milliseconds& duration, const RequestContext& ctx)
{
    if (ctx.status)
        ctx.status(Keepalive::Processing);
    const auto start = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() < start + duration) {
        if (ctx.cancelled && ctx.cancelled())
            return false;
        cv_.wait_for(lk, kPoll);
    }
    return true;
}
