#pragma once

#include "platform/SecureBytes.h"
#include "softkey/SoftAuthenticator.h"
#include "softkey/VpcdCard.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

// The card front of a software key: ISO 7816-4 APDUs as a contactless FIDO card. It selects the FIDO applet
// (A0 00 00 06 47 2F 00 01), runs NFCCTAP_MSG requests through the SoftAuthenticator (short APDUs with
// chaining, or extended length), answers 91 00 with status 01 (processing) or 02 (touch needed) while the
// request runs and the final answer to NFCCTAP_GETRESPONSE, splits long answers with 61 xx / GET RESPONSE,
// honours DESELECT (80 12 01 00, which also cancels) and answers GET DATA FF CA 01 00 with its identity.
// handleApdu is the whole card; insert() puts it on a vpcd reader so pcscd sees it.
class NfcCardFront {
public:
    enum class Identity {
        Maker,       // GET DATA answers the maker's identity
        Foreign,     // GET DATA answers another card's identity
        Unavailable, // GET DATA answers 6A 81 (the host then tries the vendor command)
    };
    struct Options {
        std::string selectAnswer = "FIDO_2_0";
        bool appletPresent = true;
        Identity identity = Identity::Maker;
        // The client recognises the maker's cards by these bytes and keeps its own copy of them; the key does
        // not share it on purpose, so a mistyped value fails the card tests instead of agreeing with itself.
        Bytes makerIdentity{0x0E, 0x78, 0x33, 0x81, 0x02, 0x4A, 0x4F, 0x56, 0x20, 0x4B, 0x57, 0x4F, 0x30, 0x32};
        Bytes foreignIdentity{0x80, 0x73, 0x00, 0x21, 0x40, 0x54, 0x45, 0x53, 0x54, 0x43, 0x41, 0x52, 0x44};
        // Answer text of the vendor command 80 40 00 00 04 14 01 00 00; none: 6D 00.
        std::optional<std::string> vendorAnswer;
        // How long NFCCTAP_MSG and NFCCTAP_GETRESPONSE wait for the request before a 91 00 status answer.
        std::chrono::milliseconds pollWait{100};
        bool powerUpOnInsert = true; // entering the field is a power-up
    };

    explicit NfcCardFront(SoftAuthenticator& key);
    NfcCardFront(SoftAuthenticator& key, Options options);
    ~NfcCardFront();
    NfcCardFront(const NfcCardFront&) = delete;
    NfcCardFront& operator=(const NfcCardFront&) = delete;

    // The contactless-style ATR: 3B 8n 80 01, the identity as historical bytes, TCK.
    Bytes atr() const;
    // One command APDU in, one response APDU (data + SW1 SW2) out.
    Bytes handleApdu(const Bytes& apdu);
    // Reader power control: off (0), on (1), reset (2) deselect the applet and cancel a running request.
    void control(std::uint8_t code);

    // The card on a vpcd reader: insert (power-up), remove (a running request is cancelled), tap (both).
    bool insert(std::uint16_t port, std::chrono::milliseconds timeout = std::chrono::seconds(5));
    void remove();
    bool tap(std::uint16_t port, std::chrono::milliseconds timeout = std::chrono::seconds(5));
    bool inserted() const;

    void setStall(bool stall); // while set, APDUs get no answer (until cleared or the card leaves)
    std::vector<Bytes> receivedApdus() const;
    bool waitForApdus(std::size_t count, std::chrono::milliseconds timeout) const;

private:
    struct Pending;
    // What a look at the running request found. Kept apart from the answer's bytes: an answer may end in
    // anything, 91 00 included.
    struct Poll {
        enum class State { noRequest, running, done };
        State state = State::noRequest;
        std::uint8_t status = 0; // running: processing (01) or touch needed (02)
        Bytes answer;            // done
    };

    Bytes respond(Bytes data, std::size_t le, bool extended);
    Poll nfcctap(const Bytes& request, bool mayPoll);
    Poll awaitPending(bool mayPoll);
    void cancelPending();
    void deselect();

    SoftAuthenticator& key_;
    mutable std::mutex mutex_;
    mutable std::condition_variable cv_;
    Options options_;
    std::vector<Bytes> received_;
    bool stall_ = false;
    std::atomic<bool> leaving_{false};
    bool selected_ = false;
    Bytes chain_;
    Bytes outgoing_; // what is left for GET RESPONSE
    std::shared_ptr<Pending> pending_;
    std::unique_ptr<VpcdCard> card_;
    mutable std::mutex lifecycle_;
};
