#include "softkey/CtaphidReassembler.h"

#include <algorithm>

namespace {

std::uint32_t readCid(const CtaphidReassembler::Report& r)
{
    return static_cast<std::uint32_t>(r[0]) << 24 | static_cast<std::uint32_t>(r[1]) << 16 |
           static_cast<std::uint32_t>(r[2]) << 8 | r[3];
}

CtaphidReassembler::Event error(std::uint32_t cid, std::uint8_t code)
{
    return {CtaphidReassembler::Event::Kind::Error, cid, 0, {}, code};
}

} // namespace

std::optional<CtaphidReassembler::Report> CtaphidReassembler::normalise(std::span<const std::uint8_t> datagram)
{
    Report r{};
    if (datagram.size() == 65) {
        if (datagram[0] != 0)
            return std::nullopt;
        std::copy(datagram.begin() + 1, datagram.end(), r.begin());
        return r;
    }
    if (datagram.empty() || datagram.size() > 64)
        return std::nullopt;
    std::copy(datagram.begin(), datagram.end(), r.begin());
    return r;
}

std::optional<CtaphidReassembler::Event> CtaphidReassembler::feed(const Report& r, Clock::time_point now)
{
    const std::uint32_t cid = readCid(r);
    if (r[4] & 0x80) {
        const auto cmd = static_cast<std::uint8_t>(r[4] & 0x7F);
        const std::size_t length = static_cast<std::size_t>(r[5]) << 8 | r[6];
        if (cid == 0)
            return error(cid, ERR_INVALID_CHANNEL);
        if (active_ && cid != cid_) {
            // INIT on the broadcast channel may always open a channel; anyone else waits its turn.
            if (!(cid == kBroadcast && cmd == kCmdInit))
                return error(cid, ERR_CHANNEL_BUSY);
        } else if (active_) {
            active_ = false;
            // INIT resynchronises and CANCEL abandons; any other new message in mid-sequence is an error.
            if (cmd != kCmdInit && cmd != kCmdCancel)
                return error(cid, ERR_INVALID_SEQ);
        }
        if (length > maxMessage_)
            return error(cid, ERR_INVALID_LEN);
        if (length <= 57)
            return Event{Event::Kind::Message, cid, cmd, Bytes(r.begin() + 7, r.begin() + 7 + static_cast<std::ptrdiff_t>(length)), 0};
        active_ = true;
        cid_ = cid;
        cmd_ = cmd;
        expected_ = length;
        nextSeq_ = 0;
        buffer_.assign(r.begin() + 7, r.end());
        deadline_ = now + timeout_;
        return std::nullopt;
    }
    // A continuation packet: only the channel being received may send one; strays are dropped.
    if (!active_ || cid != cid_)
        return std::nullopt;
    if (r[4] != nextSeq_) {
        active_ = false;
        return error(cid, ERR_INVALID_SEQ);
    }
    ++nextSeq_;
    const std::size_t take = std::min<std::size_t>(59, expected_ - buffer_.size());
    buffer_.insert(buffer_.end(), r.begin() + 5, r.begin() + 5 + static_cast<std::ptrdiff_t>(take));
    deadline_ = now + timeout_;
    if (buffer_.size() < expected_)
        return std::nullopt;
    active_ = false;
    return Event{Event::Kind::Message, cid_, cmd_, std::move(buffer_), 0};
}

std::optional<CtaphidReassembler::Event> CtaphidReassembler::tick(Clock::time_point now)
{
    if (!active_ || now < deadline_)
        return std::nullopt;
    active_ = false;
    return error(cid_, ERR_MSG_TIMEOUT);
}

std::optional<CtaphidReassembler::Clock::time_point> CtaphidReassembler::deadline() const
{
    if (!active_)
        return std::nullopt;
    return deadline_;
}
