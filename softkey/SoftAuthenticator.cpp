#include "softkey/SoftAuthenticator.h"

#include "softkey/SoftAuthenticatorShared.h"

#include <algorithm>

using namespace softauth;

namespace {

constexpr std::size_t kMaxRequest = 7609;

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
    {
        Lock lk(mutex_);
        processingDelay_ = delay;
    }
    cv_.notify_all(); // a request under way goes by the new delay: a long one holds it, 0 lets it go
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
    bool process = true;
    for (auto it = rawReplies_.begin(); it != rawReplies_.end(); ++it) {
        if ((!it->command || *it->command == command) && (!it->subCommand || it->subCommand == sub)) {
            reply = std::move(it->reply);
            process = it->processed;
            rawReplies_.erase(it);
            break;
        }
    }
    // The delay is read again while it runs (see setProcessingDelay).
    if (processingDelay_.count() > 0 && !waitFor(lk, processingDelay_, ctx)) {
        reply = status(KEEPALIVE_CANCEL);
        process = false;
    }
    if (process) {
        Bytes processed = dispatch(lk, request, ctx);
        if (!reply)
            reply = std::move(processed);
    }
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
    for (const auto& [key, value] : config_.rawInfoFields) {
        const Bytes encodedKey = CtapCbor::uint(key);
        auto it =
            std::find_if(info.begin(), info.end(), [&](const CtapCbor::Entry& e) { return e.first == encodedKey; });
        if (it != info.end())
            it->second = value;
        else
            info.push_back({encodedKey, value});
    }
    return CtapCbor::map(std::move(info));
}

// ---- helpers ----

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

bool SoftAuthenticator::storeCredential(StoredCredential credential)
{
    credentialsChanged();
    std::erase_if(credentials_, [&](const StoredCredential& old) {
        return old.rpId == credential.rpId && old.userId == credential.userId;
    });
    if (credentials_.size() >= config_.maxDiscoverableCredentials)
        return false;
    credential.rpIdHash = hash(toBytes(credential.rpId));
    credentials_.push_back(std::move(credential));
    return true;
}

void SoftAuthenticator::credentialsChanged()
{
    enumeration_ = Enumeration::None;
    rpIndex_.reset();
}

const SoftAuthenticator::RpIndex& SoftAuthenticator::rpIndex()
{
    if (rpIndex_)
        return *rpIndex_;
    rpIndex_ = std::make_unique<RpIndex>();
    for (std::size_t i = 0; i < credentials_.size(); ++i) {
        const StoredCredential& c = credentials_[i];
        auto [found, added] = rpIndex_->byHash.try_emplace(c.rpIdHash, rpIndex_->rps.size());
        if (added)
            rpIndex_->rps.push_back({c.rpId, {}, c.rpIdHash, {}});
        RpIndex::Rp& rp = rpIndex_->rps[found->second];
        if (!c.rpName.empty())
            rp.name = c.rpName;
        rp.credentials.push_back(i);
    }
    return *rpIndex_;
}
