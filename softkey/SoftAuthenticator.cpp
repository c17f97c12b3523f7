#include "softkey/SoftAuthenticator.h"

#include "fido/Cbor.h"
#include "softkey/CtapCbor.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <thread>

namespace {

// CTAP status bytes, as the key sends them.
constexpr std::uint8_t OK = 0x00;
constexpr std::uint8_t INVALID_COMMAND = 0x01;
constexpr std::uint8_t INVALID_PARAMETER = 0x02;
constexpr std::uint8_t INVALID_LENGTH = 0x03;
constexpr std::uint8_t CBOR_UNEXPECTED_TYPE = 0x11;
constexpr std::uint8_t INVALID_CBOR = 0x12;
constexpr std::uint8_t MISSING_PARAMETER = 0x14;
constexpr std::uint8_t CREDENTIAL_EXCLUDED = 0x19;
constexpr std::uint8_t UNSUPPORTED_ALGORITHM = 0x26;
constexpr std::uint8_t OPERATION_DENIED = 0x27;
constexpr std::uint8_t KEY_STORE_FULL = 0x28;
constexpr std::uint8_t UNSUPPORTED_OPTION = 0x2B;
constexpr std::uint8_t INVALID_OPTION = 0x2C;
constexpr std::uint8_t KEEPALIVE_CANCEL = 0x2D;
constexpr std::uint8_t NO_CREDENTIALS = 0x2E;
constexpr std::uint8_t USER_ACTION_TIMEOUT = 0x2F;
constexpr std::uint8_t NOT_ALLOWED = 0x30;
constexpr std::uint8_t PIN_INVALID = 0x31;
constexpr std::uint8_t PIN_BLOCKED = 0x32;
constexpr std::uint8_t PIN_AUTH_INVALID = 0x33;
constexpr std::uint8_t PIN_AUTH_BLOCKED = 0x34;
constexpr std::uint8_t PIN_NOT_SET = 0x35;
constexpr std::uint8_t PUAT_REQUIRED = 0x36;
constexpr std::uint8_t PIN_POLICY_VIOLATION = 0x37;
constexpr std::uint8_t REQUEST_TOO_LARGE = 0x39;
constexpr std::uint8_t INVALID_SUBCOMMAND = 0x3E;
constexpr std::uint8_t UNAUTHORIZED_PERMISSION = 0x40;

constexpr std::uint8_t CMD_MAKE_CREDENTIAL = 0x01;
constexpr std::uint8_t CMD_GET_INFO = 0x04;
constexpr std::uint8_t CMD_CLIENT_PIN = 0x06;
constexpr std::uint8_t CMD_RESET = 0x07;
constexpr std::uint8_t CMD_CRED_MGMT = 0x0A;
constexpr std::uint8_t CMD_SELECTION = 0x0B;
constexpr std::uint8_t CMD_CRED_MGMT_PRE = 0x41;

constexpr std::uint8_t PERM_MC = 0x01;
constexpr std::uint8_t PERM_GA = 0x02;
constexpr std::uint8_t PERM_CM = 0x04;

constexpr auto kTouchLimit = std::chrono::seconds(60);
constexpr auto kPoll = std::chrono::milliseconds(5);
constexpr std::size_t kMaxRequest = 7609;

Bytes status(std::uint8_t code) { return Bytes{code}; }

Bytes answer(const Bytes& cbor)
{
    Bytes out{OK};
    out.insert(out.end(), cbor.begin(), cbor.end());
    return out;
}

Bytes toBytes(std::string_view s) { return Bytes(s.begin(), s.end()); }
std::string toString(const Bytes& b) { return std::string(b.begin(), b.end()); }

Bytes concat(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b)
{
    Bytes out(a.begin(), a.end());
    out.insert(out.end(), b.begin(), b.end());
    return out;
}

bool equalConstTime(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b)
{
    return a.size() == b.size() && (a.empty() || CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0);
}

Bytes hash(std::span<const std::uint8_t> data)
{
    auto d = crypto::sha256(data);
    return d ? d->toBytes() : Bytes(32, 0);
}

// A looked-up request parameter: absent, of the wrong type, or present.
enum class Field { Absent, Wrong, Present };

Field getUInt(const cbor_item_t* map, std::int64_t key, std::uint64_t& out)
{
    const cbor_item_t* v = cborMapFind(map, key);
    if (!v)
        return Field::Absent;
    auto u = cborUInt64Value(v);
    if (!u)
        return Field::Wrong;
    out = *u;
    return Field::Present;
}

Field getBytes(const cbor_item_t* map, std::int64_t key, Bytes& out)
{
    const cbor_item_t* v = cborMapFind(map, key);
    if (!v)
        return Field::Absent;
    auto b = cborBytesValue(v);
    if (!b)
        return Field::Wrong;
    out = std::move(*b);
    return Field::Present;
}

template <class Key> Field getText(const cbor_item_t* map, Key key, std::string& out)
{
    const cbor_item_t* v = cborMapFind(map, key);
    if (!v)
        return Field::Absent;
    auto s = cborStringValue(v);
    if (!s)
        return Field::Wrong;
    out = std::move(*s);
    return Field::Present;
}

Field getMap(const cbor_item_t* map, std::int64_t key, const cbor_item_t*& out)
{
    const cbor_item_t* v = cborMapFind(map, key);
    if (!v)
        return Field::Absent;
    if (!cbor_isa_map(v))
        return Field::Wrong;
    out = v;
    return Field::Present;
}

// The status for a required field: OK when present.
std::uint8_t required(Field f)
{
    switch (f) {
    case Field::Absent: return MISSING_PARAMETER;
    case Field::Wrong: return CBOR_UNEXPECTED_TYPE;
    default: return OK;
    }
}

std::uint8_t optional(Field f) { return f == Field::Wrong ? CBOR_UNEXPECTED_TYPE : OK; }

std::size_t codePoints(std::span<const std::uint8_t> utf8)
{
    return static_cast<std::size_t>(
        std::count_if(utf8.begin(), utf8.end(), [](std::uint8_t b) { return (b & 0xC0) != 0x80; }));
}

// The sub-command of a clientPIN (key 2) or credential-management (key 1) request, for matching and logs.
std::optional<std::uint8_t> peekSubCommand(std::span<const std::uint8_t> request)
{
    if (request.size() < 2)
        return std::nullopt;
    const std::int64_t key = request[0] == CMD_CLIENT_PIN ? 2
                             : (request[0] == CMD_CRED_MGMT || request[0] == CMD_CRED_MGMT_PRE) ? 1
                                                                                                  : 0;
    if (key == 0)
        return std::nullopt;
    auto item = cborDecode(request.subspan(1));
    if (!item)
        return std::nullopt;
    std::uint64_t sub = 0;
    if (getUInt(item->get(), key, sub) != Field::Present || sub > 0xFF)
        return std::nullopt;
    return static_cast<std::uint8_t>(sub);
}

} // namespace

struct SoftAuthenticator::StoredCredential {
    std::string rpId;
    std::string rpName;
    Bytes userId;
    std::string userName;
    std::string userDisplayName;
    Bytes credentialId;
    Bytes privateKey;
    std::uint64_t credProtect = 1;
    std::optional<crypto::P256KeyPair> key;
};

struct SoftAuthenticator::Token {
    SecureBytes value;
    std::uint64_t protocol = 0;
    std::uint8_t permissions = 0;
    std::optional<std::string> rpId;
    bool legacy = false; // from getPinToken: no permissions of its own, good for the prototype commands
};

SoftAuthenticator::SoftAuthenticator(SoftKeyConfig config)
    : config_(std::move(config)), pinRetries_(config_.maxPinRetries)
{
    Lock lk(mutex_);
    resetWindowEnd_ = std::chrono::steady_clock::now() + config_.resetWindow;
    newKeyAgreementKey();
}

SoftAuthenticator::~SoftAuthenticator() = default;

// ---- public scripting and state ----

void SoftAuthenticator::powerUp()
{
    Lock lk(mutex_);
    resetWindowEnd_ = std::chrono::steady_clock::now() + config_.resetWindow;
    consecutiveMismatches_ = 0;
    pinAuthBlocked_ = false;
    forgetToken();
    newKeyAgreementKey();
    enumeration_ = Enumeration::None;
}

void SoftAuthenticator::openResetWindow()
{
    Lock lk(mutex_);
    resetWindowEnd_ = std::chrono::steady_clock::time_point::max();
}

void SoftAuthenticator::closeResetWindow()
{
    Lock lk(mutex_);
    resetWindowEnd_ = std::chrono::steady_clock::time_point::min();
}

void SoftAuthenticator::setTouch(Touch mode, std::chrono::milliseconds after)
{
    Lock lk(mutex_);
    defaultTouch_ = {mode, after};
}

void SoftAuthenticator::queueTouch(Touch mode, std::chrono::milliseconds after)
{
    Lock lk(mutex_);
    touchQueue_.push_back({mode, after});
}

void SoftAuthenticator::giveTouch(bool accepted)
{
    Lock lk(mutex_);
    manualTouch_ = accepted;
    cv_.notify_all();
}

bool SoftAuthenticator::touchPending() const
{
    Lock lk(mutex_);
    return touchPending_;
}

std::size_t SoftAuthenticator::touchRequests() const
{
    Lock lk(mutex_);
    return touchRequests_;
}

bool SoftAuthenticator::waitForTouchRequest(std::chrono::milliseconds timeout)
{
    Lock lk(mutex_);
    return cv_.wait_for(lk, timeout, [this] { return touchPending_; });
}

void SoftAuthenticator::setProcessingDelay(std::chrono::milliseconds delay)
{
    Lock lk(mutex_);
    processingDelay_ = delay;
}

void SoftAuthenticator::queueRawReply(RawReply reply)
{
    Lock lk(mutex_);
    rawReplies_.push_back(std::move(reply));
}

void SoftAuthenticator::clearRawReplies()
{
    Lock lk(mutex_);
    rawReplies_.clear();
}

std::vector<SoftAuthenticator::LoggedRequest> SoftAuthenticator::requestLog() const
{
    Lock lk(mutex_);
    return log_;
}

void SoftAuthenticator::clearRequestLog()
{
    Lock lk(mutex_);
    log_.clear();
}

bool SoftAuthenticator::setPin(std::string_view pin)
{
    Lock lk(mutex_);
    const Bytes utf8 = toBytes(pin);
    if (utf8.size() > 63 || codePoints(utf8) < minPinLength())
        return false;
    pinHash_ = SecureBytes(std::span<const std::uint8_t>(hash(utf8).data(), 16));
    pinRetries_ = config_.maxPinRetries;
    consecutiveMismatches_ = 0;
    return true;
}

bool SoftAuthenticator::pinIs(std::string_view pin) const
{
    Lock lk(mutex_);
    const Bytes utf8 = toBytes(pin);
    return pinSet() && equalConstTime(SecureBytes(std::span<const std::uint8_t>(hash(utf8).data(), 16)), pinHash_);
}

bool SoftAuthenticator::hasPin() const
{
    Lock lk(mutex_);
    return pinSet();
}

std::uint64_t SoftAuthenticator::pinRetries() const
{
    Lock lk(mutex_);
    return pinRetries_;
}

void SoftAuthenticator::setPinRetries(std::uint64_t retries)
{
    Lock lk(mutex_);
    pinRetries_ = retries;
}

bool SoftAuthenticator::addCredential(SoftKeyCredential c)
{
    Lock lk(mutex_);
    StoredCredential s;
    s.rpId = std::move(c.rpId);
    s.rpName = std::move(c.rpName);
    s.userId = std::move(c.userId);
    s.userName = std::move(c.userName);
    s.userDisplayName = std::move(c.userDisplayName);
    s.credentialId = c.credentialId.empty() ? randomBytes(32) : std::move(c.credentialId);
    s.credProtect = c.credProtect;
    if (c.privateKey.empty())
        c.privateKey = randomBytes(32);
    s.key = newKeyPair(c.privateKey);
    if (!s.key || s.rpId.empty())
        return false;
    s.privateKey = std::move(c.privateKey);
    return storeCredential(std::move(s));
}

std::vector<SoftKeyCredential> SoftAuthenticator::credentials() const
{
    Lock lk(mutex_);
    std::vector<SoftKeyCredential> out;
    for (const auto& s : credentials_) {
        SoftKeyCredential c;
        c.rpId = s.rpId;
        c.rpName = s.rpName;
        c.userId = s.userId;
        c.userName = s.userName;
        c.userDisplayName = s.userDisplayName;
        c.credentialId = s.credentialId;
        c.privateKey = s.privateKey;
        c.credProtect = s.credProtect;
        c.publicX = s.key->x();
        c.publicY = s.key->y();
        out.push_back(std::move(c));
    }
    return out;
}

SoftKeyConfig SoftAuthenticator::config() const
{
    Lock lk(mutex_);
    return config_;
}

void SoftAuthenticator::updateConfig(const std::function<void(SoftKeyConfig&)>& change)
{
    Lock lk(mutex_);
    change(config_);
}

// ---- request entry ----

Bytes SoftAuthenticator::handle(std::span<const std::uint8_t> request, const RequestContext& ctx)
{
    std::lock_guard serial(requestMutex_);
    Lock lk(mutex_);
    const std::uint8_t command = request.empty() ? 0 : request[0];
    const auto sub = peekSubCommand(request);

    std::optional<Bytes> reply;
    for (auto it = rawReplies_.begin(); it != rawReplies_.end(); ++it) {
        if ((!it->command || *it->command == command) && (!it->subCommand || it->subCommand == sub)) {
            reply = std::move(it->reply);
            rawReplies_.erase(it);
            break;
        }
    }
    if (processingDelay_.count() > 0 && !waitFor(lk, processingDelay_, ctx))
        reply = status(KEEPALIVE_CANCEL);
    if (!reply)
        reply = dispatch(lk, request, ctx);
    log_.push_back({Bytes(request.begin(), request.end()), *reply});
    return std::move(*reply);
}

Bytes SoftAuthenticator::dispatch(Lock& lk, std::span<const std::uint8_t> request, const RequestContext& ctx)
{
    if (request.empty())
        return status(INVALID_LENGTH);
    if (request.size() > kMaxRequest)
        return status(REQUEST_TOO_LARGE);
    const std::uint8_t command = request[0];
    const auto rawParams = request.subspan(1);

    // An enumeration lives only as long as its get-next requests follow one another.
    const auto sub = peekSubCommand(request);
    const bool isGetNext = (command == CMD_CRED_MGMT || command == CMD_CRED_MGMT_PRE) && (sub == 3 || sub == 5);
    if (!isGetNext)
        enumeration_ = Enumeration::None;

    std::optional<CborItem> params;
    if (!rawParams.empty()) {
        params = cborDecode(rawParams);
        if (!params)
            return status(INVALID_CBOR);
        if (!cbor_isa_map(params->get()))
            return status(CBOR_UNEXPECTED_TYPE);
    }
    const cbor_item_t* p = params ? params->get() : nullptr;

    switch (command) {
    case CMD_GET_INFO: return rawParams.empty() ? answer(getInfo()) : status(INVALID_LENGTH);
    case CMD_CLIENT_PIN:
        if (config_.clientPin == SoftKeyConfig::Option::Absent)
            return status(INVALID_COMMAND);
        return p ? clientPin(p) : status(MISSING_PARAMETER);
    case CMD_MAKE_CREDENTIAL: return p ? makeCredential(lk, p, ctx) : status(MISSING_PARAMETER);
    case CMD_RESET: return reset(lk, ctx);
    case CMD_SELECTION: return selection(lk, ctx);
    case CMD_CRED_MGMT:
        if (!config_.credMgmt)
            return status(INVALID_COMMAND);
        return p ? credentialManagement(command, p, rawParams) : status(MISSING_PARAMETER);
    case CMD_CRED_MGMT_PRE:
        if (!config_.credMgmtPreview)
            return status(INVALID_COMMAND);
        return p ? credentialManagement(command, p, rawParams) : status(MISSING_PARAMETER);
    default: return status(INVALID_COMMAND);
    }
}

// ---- getInfo ----

Bytes SoftAuthenticator::getInfo() const
{
    std::vector<CtapCbor::Entry> info;
    if (config_.versions) {
        std::vector<Bytes> v;
        for (const auto& s : *config_.versions)
            v.push_back(CtapCbor::text(s));
        info.push_back({CtapCbor::uint(1), CtapCbor::array(v)});
    }
    if (config_.aaguid)
        info.push_back({CtapCbor::uint(3), CtapCbor::bytes(*config_.aaguid)});
    if (!config_.omitOptions) {
        std::vector<CtapCbor::Entry> options;
        auto add = [&](std::string_view name, bool value) {
            options.push_back({CtapCbor::text(name), CtapCbor::boolean(value)});
        };
        if (config_.rk)
            add("rk", *config_.rk);
        if (config_.up)
            add("up", *config_.up);
        switch (config_.clientPin) {
        case SoftKeyConfig::Option::Auto: add("clientPin", pinSet()); break;
        case SoftKeyConfig::Option::True: add("clientPin", true); break;
        case SoftKeyConfig::Option::False: add("clientPin", false); break;
        case SoftKeyConfig::Option::Absent: break;
        }
        if (config_.credMgmt)
            add("credMgmt", true);
        if (config_.credMgmtPreview)
            add("credentialMgmtPreview", true);
        if (config_.pinUvAuthToken)
            add("pinUvAuthToken", *config_.pinUvAuthToken);
        for (const auto& [name, value] : config_.extraOptions)
            add(name, value);
        info.push_back({CtapCbor::uint(4), CtapCbor::map(std::move(options))});
    }
    if (config_.maxMsgSize)
        info.push_back({CtapCbor::uint(5), CtapCbor::uint(*config_.maxMsgSize)});
    if (config_.pinUvAuthProtocols) {
        std::vector<Bytes> v;
        for (auto p : *config_.pinUvAuthProtocols)
            v.push_back(CtapCbor::uint(p));
        info.push_back({CtapCbor::uint(6), CtapCbor::array(v)});
    }
    if (isVersion21()) {
        const Bytes es256 = CtapCbor::map({{CtapCbor::text("alg"), CtapCbor::integer(-7)},
                                           {CtapCbor::text("type"), CtapCbor::text("public-key")}});
        info.push_back({CtapCbor::uint(0x0A), CtapCbor::array({es256})});
    }
    if (config_.minPINLength)
        info.push_back({CtapCbor::uint(0x0D), CtapCbor::uint(*config_.minPINLength)});
    if (config_.firmwareVersion)
        info.push_back({CtapCbor::uint(0x0E), CtapCbor::uint(*config_.firmwareVersion)});
    if (config_.announceRemainingDiscoverableCredentials) {
        const std::size_t used = credentials_.size();
        const std::size_t left = used >= config_.maxDiscoverableCredentials ? 0 : config_.maxDiscoverableCredentials - used;
        info.push_back({CtapCbor::uint(0x14), CtapCbor::uint(left)});
    }
    return CtapCbor::map(std::move(info));
}

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
        if (!pinSet())
            return status(PIN_NOT_SET);
        if (pinRetries_ == 0)
            return status(PIN_BLOCKED);
        if (pinAuthBlocked_)
            return status(PIN_AUTH_BLOCKED);
        SecureBytes secret;
        if (auto s = decapsulate(protocol, cose, secret); s != OK)
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
        if (!pinSet())
            return status(PIN_NOT_SET);
        if (pinRetries_ == 0)
            return status(PIN_BLOCKED);
        if (pinAuthBlocked_)
            return status(PIN_AUTH_BLOCKED);
        SecureBytes secret;
        if (auto s = decapsulate(protocol, cose, secret); s != OK)
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
    token->value = SecureBytes(randomBytes(32));
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

// ---- makeCredential ----

Bytes SoftAuthenticator::makeCredential(Lock& lk, const cbor_item_t* p, const RequestContext& ctx)
{
    Bytes pinUvAuthParam;
    const Field authField = getBytes(p, 8, pinUvAuthParam);
    if (authField == Field::Wrong)
        return status(CBOR_UNEXPECTED_TYPE);
    // The touch form: an empty pinUvAuthParam asks only for a touch, then tells whether a PIN is set.
    if (authField == Field::Present && pinUvAuthParam.empty()) {
        switch (awaitTouch(lk, ctx)) {
        case TouchOutcome::Given: return status(pinSet() ? PIN_INVALID : PIN_NOT_SET);
        case TouchOutcome::Denied: return status(OPERATION_DENIED);
        case TouchOutcome::TimedOut: return status(USER_ACTION_TIMEOUT);
        case TouchOutcome::Cancelled: return status(KEEPALIVE_CANCEL);
        }
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
    const cbor_item_t* uid = cborMapFind(user, "id");
    if (!uid)
        return status(MISSING_PARAMETER);
    auto uidBytes = cborBytesValue(uid);
    if (!uidBytes)
        return status(CBOR_UNEXPECTED_TYPE);
    userId = std::move(*uidBytes);
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
        auto mac = crypto::hmacSha256(token_->value, clientDataHash);
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

    switch (awaitTouch(lk, ctx)) {
    case TouchOutcome::Given: break;
    case TouchOutcome::Denied: return status(OPERATION_DENIED);
    case TouchOutcome::TimedOut: return status(USER_ACTION_TIMEOUT);
    case TouchOutcome::Cancelled: return status(KEEPALIVE_CANCEL);
    }
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
    if (rk) {
        std::erase_if(credentials_, [&](const StoredCredential& old) { return old.rpId == rpId && old.userId == userId; });
        credentials_.push_back(std::move(c));
    }
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
    switch (awaitTouch(lk, ctx)) {
    case TouchOutcome::Given: break;
    case TouchOutcome::Denied: return status(OPERATION_DENIED);
    case TouchOutcome::TimedOut: return status(USER_ACTION_TIMEOUT);
    case TouchOutcome::Cancelled: return status(KEEPALIVE_CANCEL);
    }
    credentials_.clear();
    pinHash_.clear();
    pinRetries_ = config_.maxPinRetries;
    consecutiveMismatches_ = 0;
    pinAuthBlocked_ = false;
    forgetToken();
    newKeyAgreementKey();
    enumeration_ = Enumeration::None;
    return status(OK);
}

Bytes SoftAuthenticator::selection(Lock& lk, const RequestContext& ctx)
{
    if (!isVersion21())
        return status(INVALID_COMMAND);
    switch (awaitTouch(lk, ctx)) {
    case TouchOutcome::Given: return status(OK);
    case TouchOutcome::Denied: return status(OPERATION_DENIED);
    case TouchOutcome::TimedOut: return status(USER_ACTION_TIMEOUT);
    case TouchOutcome::Cancelled: return status(KEEPALIVE_CANCEL);
    }
    return status(OK);
}

// ---- credential management ----

Bytes SoftAuthenticator::credentialManagement(std::uint8_t command, const cbor_item_t* p,
                                              std::span<const std::uint8_t> rawParams)
{
    std::uint64_t sub = 0;
    if (auto s = required(getUInt(p, 1, sub)); s != OK)
        return status(s);
    const cbor_item_t* subParams = nullptr;
    const Field subParamsField = getMap(p, 2, subParams);
    if (subParamsField == Field::Wrong)
        return status(CBOR_UNEXPECTED_TYPE);

    const bool authenticated = sub == 1 || sub == 2 || sub == 4 || sub == 6;
    if (sub == 0 || sub > 6)
        return status(INVALID_SUBCOMMAND);
    if (authenticated) {
        std::uint64_t protocol = 0;
        Bytes param;
        if (auto s = required(getUInt(p, 3, protocol)); s != OK)
            return status(s);
        const Field paramField = getBytes(p, 4, param);
        if (paramField == Field::Wrong)
            return status(CBOR_UNEXPECTED_TYPE);
        if (paramField == Field::Absent)
            return status(PUAT_REQUIRED);
        if (!supportsProtocol(protocol))
            return status(INVALID_PARAMETER);
        if (!token_)
            return status(PIN_AUTH_INVALID);
        Bytes message{static_cast<std::uint8_t>(sub)};
        if (subParamsField == Field::Present) {
            auto raw = CtapCbor::rawMapValue(rawParams, 2);
            if (!raw)
                return status(INVALID_CBOR);
            message.insert(message.end(), raw->begin(), raw->end());
        }
        auto mac = crypto::hmacSha256(token_->value, message);
        const std::size_t macLen = protocol == 1 ? 16 : 32;
        if (!mac || !equalConstTime(std::span(mac->data(), macLen), param) || token_->protocol != protocol)
            return status(PIN_AUTH_INVALID);
        const bool permitted = (token_->permissions & PERM_CM) != 0 || (command == CMD_CRED_MGMT_PRE && token_->legacy);
        if (!permitted)
            return status(PIN_AUTH_INVALID);
        if ((sub == 1 || sub == 2) && token_->rpId)
            return status(PIN_AUTH_INVALID);
    }

    auto credentialAnswer = [&](const StoredCredential& c, std::optional<std::size_t> total) {
        std::vector<CtapCbor::Entry> userEntity{{CtapCbor::text("id"), CtapCbor::bytes(c.userId)}};
        if (!c.userName.empty())
            userEntity.push_back({CtapCbor::text("name"), CtapCbor::text(c.userName)});
        if (!c.userDisplayName.empty())
            userEntity.push_back({CtapCbor::text("displayName"), CtapCbor::text(c.userDisplayName)});
        std::vector<CtapCbor::Entry> out{
            {CtapCbor::uint(6), CtapCbor::map(std::move(userEntity))},
            {CtapCbor::uint(7), CtapCbor::map({{CtapCbor::text("id"), CtapCbor::bytes(c.credentialId)},
                                               {CtapCbor::text("type"), CtapCbor::text("public-key")}})},
            {CtapCbor::uint(8), CtapCbor::coseP256(-7, c.key->x(), c.key->y())},
            {CtapCbor::uint(10), CtapCbor::uint(c.credProtect)}};
        if (total)
            out.push_back({CtapCbor::uint(9), CtapCbor::uint(*total)});
        return answer(CtapCbor::map(std::move(out)));
    };
    auto rpAnswer = [&](const std::string& rpId, std::optional<std::size_t> total) {
        std::string name;
        for (const auto& c : credentials_)
            if (c.rpId == rpId && !c.rpName.empty())
                name = c.rpName;
        std::vector<CtapCbor::Entry> rpEntity{{CtapCbor::text("id"), CtapCbor::text(rpId)}};
        if (!name.empty())
            rpEntity.push_back({CtapCbor::text("name"), CtapCbor::text(name)});
        std::vector<CtapCbor::Entry> out{{CtapCbor::uint(3), CtapCbor::map(std::move(rpEntity))},
                                         {CtapCbor::uint(4), CtapCbor::bytes(hash(toBytes(rpId)))}};
        if (total)
            out.push_back({CtapCbor::uint(5), CtapCbor::uint(*total)});
        return answer(CtapCbor::map(std::move(out)));
    };
    auto findCredential = [&](const Bytes& id) {
        return std::find_if(credentials_.begin(), credentials_.end(),
                            [&](const StoredCredential& c) { return c.credentialId == id; });
    };

    switch (sub) {
    case 1: {
        const std::size_t used = credentials_.size();
        const std::size_t left = used >= config_.maxDiscoverableCredentials ? 0 : config_.maxDiscoverableCredentials - used;
        return answer(CtapCbor::map({{CtapCbor::uint(1), CtapCbor::uint(used)}, {CtapCbor::uint(2), CtapCbor::uint(left)}}));
    }
    case 2: {
        const auto ids = rpIds();
        if (ids.empty())
            return status(NO_CREDENTIALS);
        enumeration_ = Enumeration::Rps;
        enumerationItems_.clear();
        for (std::size_t i = 1; i < ids.size(); ++i)
            enumerationItems_.push_back(toBytes(ids[i]));
        return rpAnswer(ids.front(), ids.size());
    }
    case 3: {
        if (enumeration_ != Enumeration::Rps || enumerationItems_.empty())
            return status(NOT_ALLOWED);
        const std::string rpId = toString(enumerationItems_.front());
        enumerationItems_.erase(enumerationItems_.begin());
        if (enumerationItems_.empty())
            enumeration_ = Enumeration::None;
        return rpAnswer(rpId, std::nullopt);
    }
    case 4: {
        Bytes rpIdHash;
        if (subParamsField != Field::Present)
            return status(MISSING_PARAMETER);
        if (auto s = required(getBytes(subParams, 1, rpIdHash)); s != OK)
            return status(s);
        if (token_->rpId && hash(toBytes(*token_->rpId)) != rpIdHash)
            return status(PIN_AUTH_INVALID);
        std::vector<const StoredCredential*> matches;
        for (const auto& c : credentials_)
            if (hash(toBytes(c.rpId)) == rpIdHash)
                matches.push_back(&c);
        if (matches.empty())
            return status(NO_CREDENTIALS);
        enumeration_ = Enumeration::Credentials;
        enumerationItems_.clear();
        for (std::size_t i = 1; i < matches.size(); ++i)
            enumerationItems_.push_back(matches[i]->credentialId);
        return credentialAnswer(*matches.front(), matches.size());
    }
    case 5: {
        if (enumeration_ != Enumeration::Credentials || enumerationItems_.empty())
            return status(NOT_ALLOWED);
        const Bytes id = enumerationItems_.front();
        enumerationItems_.erase(enumerationItems_.begin());
        if (enumerationItems_.empty())
            enumeration_ = Enumeration::None;
        auto it = findCredential(id);
        if (it == credentials_.end())
            return status(NO_CREDENTIALS);
        return credentialAnswer(*it, std::nullopt);
    }
    case 6: {
        const cbor_item_t* descriptor = nullptr;
        Bytes id;
        if (subParamsField != Field::Present)
            return status(MISSING_PARAMETER);
        if (auto s = required(getMap(subParams, 2, descriptor)); s != OK)
            return status(s);
        const cbor_item_t* idItem = cborMapFind(descriptor, std::string_view("id"));
        if (!idItem)
            return status(MISSING_PARAMETER);
        auto idBytes = cborBytesValue(idItem);
        if (!idBytes)
            return status(CBOR_UNEXPECTED_TYPE);
        id = std::move(*idBytes);
        auto it = findCredential(id);
        if (it == credentials_.end())
            return status(NO_CREDENTIALS);
        if (token_->rpId && *token_->rpId != it->rpId)
            return status(PIN_AUTH_INVALID);
        credentials_.erase(it);
        return status(OK);
    }
    default: return status(INVALID_SUBCOMMAND);
    }
}

// ---- helpers ----

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

bool SoftAuthenticator::waitFor(Lock& lk, std::chrono::milliseconds duration, const RequestContext& ctx)
{
    if (ctx.status)
        ctx.status(Keepalive::Processing);
    const auto end = std::chrono::steady_clock::now() + duration;
    while (std::chrono::steady_clock::now() < end) {
        if (ctx.cancelled && ctx.cancelled())
            return false;
        cv_.wait_for(lk, kPoll);
    }
    return true;
}

Bytes SoftAuthenticator::randomBytes(std::size_t n)
{
    Bytes out(n);
    if (!config_.seed) {
        if (!crypto::randomFill(out))
            std::fill(out.begin(), out.end(), std::uint8_t{0});
        return out;
    }
    // A reproducible stream: SHA-256 over the seed and a running counter.
    std::size_t filled = 0;
    while (filled < n) {
        Bytes block(16);
        for (int i = 0; i < 8; ++i) {
            block[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(*config_.seed >> (8 * i));
            block[static_cast<std::size_t>(8 + i)] = static_cast<std::uint8_t>(rngCounter_ >> (8 * i));
        }
        ++rngCounter_;
        const Bytes h = hash(block);
        const std::size_t take = std::min(h.size(), n - filled);
        std::copy_n(h.begin(), take, out.begin() + static_cast<std::ptrdiff_t>(filled));
        filled += take;
    }
    return out;
}

std::optional<crypto::P256KeyPair> SoftAuthenticator::newKeyPair(std::span<const std::uint8_t> scalar)
{
    if (!scalar.empty())
        return crypto::P256KeyPair::fromPrivateKey(scalar);
    // A random scalar is out of range with a chance of about 2^-32; a few draws always suffice.
    for (int attempt = 0; attempt < 8; ++attempt) {
        const Bytes d = randomBytes(32);
        if (auto k = crypto::P256KeyPair::fromPrivateKey(d))
            return k;
    }
    return std::nullopt;
}

void SoftAuthenticator::newKeyAgreementKey()
{
    auto k = newKeyPair();
    if (k)
        keyAgreement_ = std::move(k);
}

void SoftAuthenticator::forgetToken() { token_.reset(); }

std::vector<std::string> SoftAuthenticator::rpIds() const
{
    std::vector<std::string> ids;
    for (const auto& c : credentials_)
        if (std::find(ids.begin(), ids.end(), c.rpId) == ids.end())
            ids.push_back(c.rpId);
    return ids;
}

bool SoftAuthenticator::storeCredential(StoredCredential credential)
{
    std::erase_if(credentials_, [&](const StoredCredential& old) {
        return old.rpId == credential.rpId && old.userId == credential.userId;
    });
    if (credentials_.size() >= config_.maxDiscoverableCredentials)
        return false;
    credentials_.push_back(std::move(credential));
    return true;
}
