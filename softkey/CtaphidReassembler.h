#pragma once

#include "platform/SecureBytes.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <span>

// The key side of CTAPHID framing: turns the host's 64-byte output reports into whole messages, one
// transaction at a time, and says which CTAPHID error a broken sequence deserves. No I/O and no channel
// bookkeeping; CtaphidFront decides what a finished message means.
class CtaphidReassembler {
public:
    using Clock = std::chrono::steady_clock;
    using Report = std::array<std::uint8_t, 64>;

    static constexpr std::uint32_t kBroadcast = 0xFFFFFFFF;
    static constexpr std::uint8_t kCmdInit = 0x06;
    static constexpr std::uint8_t kCmdCancel = 0x11;

    // CTAPHID ERROR codes.
    static constexpr std::uint8_t ERR_INVALID_CMD = 0x01;
    static constexpr std::uint8_t ERR_INVALID_PAR = 0x02;
    static constexpr std::uint8_t ERR_INVALID_LEN = 0x03;
    static constexpr std::uint8_t ERR_INVALID_SEQ = 0x04;
    static constexpr std::uint8_t ERR_MSG_TIMEOUT = 0x05;
    static constexpr std::uint8_t ERR_CHANNEL_BUSY = 0x06;
    static constexpr std::uint8_t ERR_INVALID_CHANNEL = 0x0B;

    struct Event {
        enum class Kind { Message, Error } kind;
        std::uint32_t cid = 0;
        std::uint8_t cmd = 0;   // for a message: the command without the initialisation bit
        Bytes payload;          // for a message
        std::uint8_t error = 0; // for an error: the CTAPHID error code
    };

    explicit CtaphidReassembler(std::size_t maxMessage = 7609,
                                std::chrono::milliseconds timeout = std::chrono::milliseconds(500))
        : maxMessage_(maxMessage), timeout_(timeout)
    {
    }

    // One datagram as the host wrote it: 65 bytes (report ID 0 and the report) or a bare report of at most 64
    // bytes, zero-padded like a short HID output report. Anything else is no report.
    static std::optional<Report> normalise(std::span<const std::uint8_t> datagram);

    std::optional<Event> feed(const Report& report, Clock::time_point now);
    // An error when a started message has waited too long for its next packet.
    std::optional<Event> tick(Clock::time_point now);
    std::optional<Clock::time_point> deadline() const;
    bool receiving() const { return active_; }
    void abort() { active_ = false; }

private:
    std::size_t maxMessage_;
    std::chrono::milliseconds timeout_;
    bool active_ = false;
    std::uint32_t cid_ = 0;
    std::uint8_t cmd_ = 0;
    std::size_t expected_ = 0;
    std::uint8_t nextSeq_ = 0;
    Bytes buffer_;
    Clock::time_point deadline_;
};
