#pragma once

#include "platform/SecureBytes.h"
#include "softkey/CtaphidReassembler.h"
#include "softkey/SoftAuthenticator.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <thread>
#include <vector>

// The USB front of a software key: CTAPHID on one end of a SOCK_SEQPACKET socket pair, one datagram per
// report, as hidraw carries them. The host writes 65-byte datagrams (report ID 0 + report) or bare 64-byte
// reports; the key sends 64-byte input reports. Closing the key's end is the key's removal.
//
// It answers INIT (on the broadcast channel with a fresh channel, on an open channel as a resync), PING, WINK,
// LOCK, CBOR (through the SoftAuthenticator, with PROCESSING / UPNEEDED keepalives while it works) and
// CANCEL (the pending CBOR request ends with KEEPALIVE_CANCEL); everything else gets an ERROR reply. Faults
// can be injected into its answers to test the host's framing.
class CtaphidFront {
public:
    enum class Fault {
        Silence,                  // the answer is never sent
        ForeignChannel,           // the answer goes out on another channel only
        ForeignChannelThenAnswer, // a copy on another channel first, then the answer
        WrongSequence,            // continuation packets numbered from 1 instead of 0
        ShortReport,              // the first packet is cut to `value` bytes (default 4) and nothing follows
        MidMessageInit,           // a second initialisation packet declaring `value` bytes follows the first
        LateAnswer,               // the answer is held back and sent after the answer to the host's next message
        HangUp,                   // the key is removed instead of answering
        ErrorReply,               // an ERROR reply with code `value` instead of the answer
        // A PROCESSING keepalive, then an ERROR reply with code `value` instead of the answer: a key that took the
        // request up (and did its work) before it failed.
        KeepaliveThenErrorReply,
        BadKeepalive,             // a keepalive with status `value` (default 0x7F) before the answer
        // A request (not an answer) is turned away with ERROR CHANNEL_BUSY before the key looks at it, as a key
        // busy on another program's channel does; `value` requests of that command are let through first.
        TurnedAway,
    };
    struct InjectedFault {
        InjectedFault(Fault k, std::uint32_t v = 0, std::optional<std::uint8_t> cmd = {})
            : kind(k), value(v), command(cmd)
        {
        }
        Fault kind;
        std::uint32_t value;
        std::optional<std::uint8_t> command; // only for an answer to this CTAPHID command (e.g. 0x10 CBOR)
    };
    struct Options {
        std::uint8_t deviceMajor = 5;
        std::uint8_t deviceMinor = 4;
        std::uint8_t deviceBuild = 3;
        std::uint8_t capabilities = 0x0D; // WINK, CBOR, no MSG
        std::uint32_t firstChannel = 0x4D540001;
        std::chrono::milliseconds keepaliveInterval{100};
        std::chrono::milliseconds continuationTimeout{500};
        bool powerUp = true; // attaching the front is a plug-in
    };
    struct Received {
        std::uint32_t cid;
        std::uint8_t cmd; // without the initialisation bit
        Bytes payload;
    };

    // Takes ownership of fd and starts answering at once.
    CtaphidFront(SoftAuthenticator& key, int fd);
    CtaphidFront(SoftAuthenticator& key, int fd, Options options);
    ~CtaphidFront();
    CtaphidFront(const CtaphidFront&) = delete;
    CtaphidFront& operator=(const CtaphidFront&) = delete;

    // Removes the key: a pending request is cancelled, the thread stops and the fd is closed.
    void hangUp();
    bool connected() const;

    void injectFault(InjectedFault fault); // applies to the next answer it matches; several queue up in order

    std::vector<Received> received() const; // every whole message the host sent, in order
    bool waitForReceived(std::size_t count, std::chrono::milliseconds timeout) const;
    std::vector<std::uint32_t> channels() const; // channels opened so far
    // Reports taken from the host and sent to it (keepalives included), for exchange counts.
    std::size_t reportsReceived() const { return reportsIn_.load(); }
    std::size_t reportsSent() const { return reportsOut_.load(); }
    // One raw datagram to the host, for cases the faults do not cover.
    bool sendRaw(std::span<const std::uint8_t> datagram);

private:
    struct Pending;
    using Clock = std::chrono::steady_clock;

    void run();
    void onMessage(const CtaphidReassembler::Event& m);
    void startCbor(std::uint32_t cid, Bytes payload);
    void finishCbor();
    void sendMessage(std::uint32_t cid, std::uint8_t cmd, std::span<const std::uint8_t> payload, bool faults = true);
    void sendFaulted(const std::optional<InjectedFault>& fault, std::uint32_t cid, std::vector<Bytes> packets);
    // Whether a queued TurnedAway fault takes this request.
    bool turnsAway(std::uint8_t cmd);
    void sendError(std::uint32_t cid, std::uint8_t code);
    void sendKeepalive(std::uint32_t cid, std::uint8_t status);
    bool sendReport(std::span<const std::uint8_t> report);
    void stopPending();
    void wake();

    SoftAuthenticator& key_;
    const Options options_;
    int fd_;
    int wakeFd_;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> connected_{true};
    std::atomic<std::size_t> reportsIn_{0};
    std::atomic<std::size_t> reportsOut_{0};
    std::thread thread_;
    std::atomic<std::thread::id> loopId_{};
    std::mutex lifecycle_;

    CtaphidReassembler reassembler_;

    mutable std::mutex mutex_; // guards what tests read and write: faults, received, channels, finished
    mutable std::condition_variable cv_;
    std::deque<InjectedFault> faults_;
    std::vector<Received> received_;
    std::vector<std::uint32_t> channels_;

    // Loop-thread state.
    std::uint32_t nextChannel_;
    std::optional<std::uint32_t> lockedTo_;
    Clock::time_point lockEnd_;
    std::unique_ptr<Pending> pending_;
    Clock::time_point nextKeepalive_;
    std::vector<Bytes> heldBack_; // a LateAnswer's packets
    std::mutex sendMutex_;
};
