#pragma once

#include "platform/Crypto.h"
#include "platform/SecureBytes.h"
#include "softkey/SoftKeyConfig.h"
#include "softkey/SoftKeyCredential.h"

#include <cbor.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

// A CTAP 2.1 authenticator in software, for tests: getInfo, clientPIN (protocols One and Two), reset,
// selection, makeCredential (the touch form, and ES256 credentials with rk), and credential management
// (0x0A and the prototype 0x41). A front (CtaphidFront, NfcCardFront) feeds it whole CTAP requests (command
// byte + CBOR) and carries the answers (status byte + CBOR). Everything public is thread-safe: tests script
// the key from their own thread while a front runs requests on another.
class SoftAuthenticator {
public:
    enum class Touch { Given, Denied, TimedOut, HeldUntilCancel, Manual };
    enum class Keepalive : std::uint8_t { Processing = 1, UpNeeded = 2 };

    // How a front takes part in one request: it reports the host's cancel (or the key's removal) and is told
    // what the key is doing, for its keepalives or status answers. Both may be empty.
    struct RequestContext {
        std::function<bool()> cancelled;
        std::function<void(Keepalive)> status;
    };

    struct LoggedRequest {
        Bytes request;  // command byte + CBOR, as received
        Bytes response; // status byte + CBOR, as answered
        std::uint8_t command() const { return request.empty() ? 0 : request[0]; }
        std::uint8_t status() const { return response.empty() ? 0xFF : response[0]; }
    };

    // A scripted answer given instead of processing the next matching request (which then changes nothing), or,
    // when `processed`, instead of the answer of a request that still takes effect (an answer lost on its way).
    struct RawReply {
        RawReply(Bytes r, std::optional<std::uint8_t> cmd = {}, std::optional<std::uint8_t> sub = {},
                 bool afterProcessing = false)
            : reply(std::move(r)), command(cmd), subCommand(sub), processed(afterProcessing)
        {
        }
        Bytes reply;                            // may be empty, truncated, wrongly typed, any status byte
        std::optional<std::uint8_t> command;    // match only this command byte
        std::optional<std::uint8_t> subCommand; // and only this clientPIN / credential-management sub-command
        bool processed = false;
    };

    explicit SoftAuthenticator(SoftKeyConfig config = {});
    ~SoftAuthenticator();
    SoftAuthenticator(const SoftAuthenticator&) = delete;
    SoftAuthenticator& operator=(const SoftAuthenticator&) = delete;

    // Runs one request to its end (touch waits included) and returns the answer. Requests are serialised.
    Bytes handle(std::span<const std::uint8_t> request, const RequestContext& context);
    Bytes handle(std::span<const std::uint8_t> request) { return handle(request, RequestContext{}); }

    // Power-up (plug-in, card entering the field): opens the reset window, lifts the PIN_AUTH_BLOCKED state,
    // makes a new key-agreement key and forgets the PIN token. Fronts call it; tests may too.
    void powerUp();
    void openResetWindow();  // reset allowed until the next closeResetWindow or power-up window end
    void closeResetWindow(); // reset answers NOT_ALLOWED

    // Touch script: the default for every touch, and one-shot entries used first, in order. `after` is how
    // long the simulated user takes (Given, Denied, TimedOut); HeldUntilCancel and Manual wait for a cancel or
    // giveTouch (at most a minute, then the touch times out).
    void setTouch(Touch mode, std::chrono::milliseconds after = std::chrono::milliseconds(0));
    void queueTouch(Touch mode, std::chrono::milliseconds after = std::chrono::milliseconds(0));
    void giveTouch(bool accepted = true); // answers a Manual touch in progress
    bool touchPending() const;
    std::size_t touchRequests() const;    // touches asked for so far
    // Waits until a touch is being asked for (true) or the time is up (false).
    bool waitForTouchRequest(std::chrono::milliseconds timeout);

    // Every request takes at least this long; a request under way follows a change at once, so a long delay holds
    // requests until it is set back to 0.
    void setProcessingDelay(std::chrono::milliseconds delay);
    void queueRawReply(RawReply reply);
    void clearRawReplies();
    std::vector<LoggedRequest> requestLog() const;
    void clearRequestLog();

    // Direct state access for test set-up and checks.
    bool setPin(std::string_view pin); // as if set through clientPIN (the length policy applies)
    bool hasPin() const;
    bool pinIs(std::string_view pin) const; // the PIN set is exactly this one
    std::uint64_t pinRetries() const;
    void setPinRetries(std::uint64_t retries);
    bool addCredential(SoftKeyCredential credential); // false when the store is full or the key is invalid
    std::vector<SoftKeyCredential> credentials() const;
    SoftKeyConfig config() const;
    void updateConfig(const std::function<void(SoftKeyConfig&)>& change);

private:
    struct StoredCredential;
    struct RpIndex;
    struct Token;
    struct TouchStep {
        Touch mode;
        std::chrono::milliseconds after;
    };
    enum class TouchOutcome { Given, Denied, TimedOut, Cancelled };
    enum class Enumeration { None, Rps, Credentials };

    using Lock = std::unique_lock<std::mutex>;

    Bytes dispatch(Lock& lk, std::span<const std::uint8_t> request, const RequestContext& ctx);
    Bytes getInfo() const;
    Bytes clientPin(const cbor_item_t* params);
    Bytes makeCredential(Lock& lk, const cbor_item_t* params, const RequestContext& ctx);
    Bytes reset(Lock& lk, const RequestContext& ctx);
    Bytes selection(Lock& lk, const RequestContext& ctx);
    Bytes credentialManagement(std::uint8_t command, const cbor_item_t* params,
                               std::span<const std::uint8_t> rawParams);

    std::uint8_t decapsulate(std::uint64_t protocol, const cbor_item_t* cose, SecureBytes& secret);
    std::optional<Bytes> encrypt(std::uint64_t protocol, const SecureBytes& secret, std::span<const std::uint8_t> data);
    std::uint8_t checkPinHash(std::uint64_t protocol, const SecureBytes& secret, std::span<const std::uint8_t> pinHashEnc);
    std::uint8_t checkNewPin(std::uint64_t protocol, const SecureBytes& secret, std::span<const std::uint8_t> newPinEnc,
                             SecureBytes& pinHash) const;
    std::uint8_t issueToken(std::uint64_t protocol, const SecureBytes& secret, std::uint8_t permissions,
                            std::optional<std::string> rpId, bool legacy, Bytes& answer);
    bool supportsProtocol(std::uint64_t protocol) const;
    bool isVersion21() const;         // FIDO_2_1 or its prototype FIDO_2_1_PRE
    bool supportsPermissions() const; // getPinUvAuthTokenUsingPinWithPermissions
    bool pinSet() const { return !pinHash_.empty(); }
    std::uint64_t minPinLength() const;

    TouchOutcome awaitTouch(Lock& lk, const RequestContext& ctx);
    std::uint8_t awaitTouchStatus(Lock& lk, const RequestContext& ctx); // OK once touched, else the answer's status
    // Waits for duration, read again at each turn (it may be a member another thread changes), or a cancel.
    bool waitFor(Lock& lk, const std::chrono::milliseconds& duration, const RequestContext& ctx);
    Bytes randomBytes(std::size_t n);
    std::optional<crypto::P256KeyPair> newKeyPair(std::span<const std::uint8_t> scalar = {});
    void newKeyAgreementKey();
    void forgetToken();
    bool storeCredential(StoredCredential credential);
    // Every change of the stored credentials goes through here: it ends an enumeration and drops the index.
    void credentialsChanged();
    const RpIndex& rpIndex();

    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::mutex requestMutex_;
    SoftKeyConfig config_;

    // Authenticator state.
    SecureBytes pinHash_; // LEFT(SHA-256(PIN), 16); empty when no PIN is set
    std::uint64_t pinRetries_;
    int consecutiveMismatches_ = 0;
    bool pinAuthBlocked_ = false;
    std::optional<crypto::P256KeyPair> keyAgreement_;
    std::unique_ptr<Token> token_;
    std::vector<StoredCredential> credentials_;
    std::unique_ptr<RpIndex> rpIndex_; // built when an enumeration needs it
    std::uint32_t signCount_ = 0;
    Enumeration enumeration_ = Enumeration::None;
    std::size_t enumerationRp_ = 0;   // the relying party whose credentials are handed out (in the index)
    std::size_t enumerationNext_ = 0; // the next relying party, or the next of that relying party's credentials
    std::chrono::steady_clock::time_point resetWindowEnd_;
    std::uint64_t rngCounter_ = 0;

    // Script.
    TouchStep defaultTouch_{Touch::Given, std::chrono::milliseconds(0)};
    std::deque<TouchStep> touchQueue_;
    bool touchPending_ = false;
    std::size_t touchRequests_ = 0;
    std::optional<bool> manualTouch_;
    std::chrono::milliseconds processingDelay_{0};
    std::deque<RawReply> rawReplies_;
    std::vector<LoggedRequest> log_;
};
