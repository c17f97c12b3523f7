#include "softkey/CtaphidFront.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

namespace {

constexpr std::uint8_t CMD_PING = 0x01;
constexpr std::uint8_t CMD_MSG = 0x03;
constexpr std::uint8_t CMD_LOCK = 0x04;
constexpr std::uint8_t CMD_INIT = 0x06;
constexpr std::uint8_t CMD_WINK = 0x08;
constexpr std::uint8_t CMD_CBOR = 0x10;
constexpr std::uint8_t CMD_CANCEL = 0x11;
constexpr std::uint8_t CMD_KEEPALIVE = 0x3B;
constexpr std::uint8_t CMD_ERROR = 0x3F;

void putCid(Bytes& out, std::uint32_t cid)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<std::uint8_t>(cid >> shift));
}

// The packets of one message, each a full 64-byte input report.
std::vector<Bytes> frame(std::uint32_t cid, std::uint8_t cmd, std::span<const std::uint8_t> payload)
{
    std::vector<Bytes> packets;
    Bytes first;
    putCid(first, cid);
    first.push_back(static_cast<std::uint8_t>(cmd | 0x80));
    first.push_back(static_cast<std::uint8_t>(payload.size() >> 8));
    first.push_back(static_cast<std::uint8_t>(payload.size() & 0xFF));
    std::size_t pos = std::min<std::size_t>(57, payload.size());
    first.insert(first.end(), payload.begin(), payload.begin() + static_cast<std::ptrdiff_t>(pos));
    first.resize(64, 0);
    packets.push_back(std::move(first));
    std::uint8_t seq = 0;
    while (pos < payload.size() && seq < 0x80) {
        Bytes cont;
        putCid(cont, cid);
        cont.push_back(seq++);
        const std::size_t take = std::min<std::size_t>(59, payload.size() - pos);
        cont.insert(cont.end(), payload.begin() + static_cast<std::ptrdiff_t>(pos),
                    payload.begin() + static_cast<std::ptrdiff_t>(pos + take));
        cont.resize(64, 0);
        packets.push_back(std::move(cont));
        pos += take;
    }
    return packets;
}

void setCid(Bytes& packet, std::uint32_t cid)
{
    for (int i = 0; i < 4; ++i)
        packet[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(cid >> (24 - 8 * i));
}

} // namespace

struct CtaphidFront::Pending {
    struct Shared {
        std::atomic<bool> cancel{false};
        std::atomic<std::uint8_t> status{1};
        std::atomic<bool> done{false};
        std::mutex m;
        Bytes result;
    };
    std::uint32_t cid = 0;
    std::shared_ptr<Shared> shared = std::make_shared<Shared>();
    std::thread worker;
    bool discard = false;
};

CtaphidFront::CtaphidFront(SoftAuthenticator& key, int fd) : CtaphidFront(key, fd, Options{}) {}

CtaphidFront::CtaphidFront(SoftAuthenticator& key, int fd, Options options)
    : key_(key), options_(options), fd_(fd), wakeFd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      reassembler_(7609, options.continuationTimeout), nextChannel_(options.firstChannel)
{
    if (options_.powerUp)
        key_.powerUp();
    thread_ = std::thread([this] { run(); });
}

CtaphidFront::~CtaphidFront()
{
    hangUp();
    if (wakeFd_ >= 0)
        ::close(wakeFd_);
}

void CtaphidFront::hangUp()
{
    if (std::this_thread::get_id() == loopId_) {
        // From inside the loop (the HangUp fault): the peer sees the hang-up now, the rest happens on exit.
        connected_ = false;
        stopping_ = true;
        ::shutdown(fd_, SHUT_RDWR);
        return;
    }
    std::lock_guard guard(lifecycle_);
    stopping_ = true;
    connected_ = false;
    wake();
    if (thread_.joinable())
        thread_.join();
    std::lock_guard sending(sendMutex_);
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

bool CtaphidFront::connected() const { return connected_.load(); }

void CtaphidFront::injectFault(InjectedFault fault)
{
    std::lock_guard lk(mutex_);
    faults_.push_back(fault);
}

std::vector<CtaphidFront::Received> CtaphidFront::received() const
{
    std::lock_guard lk(mutex_);
    return received_;
}

bool CtaphidFront::waitForReceived(std::size_t count, std::chrono::milliseconds timeout) const
{
    std::unique_lock lk(mutex_);
    return cv_.wait_for(lk, timeout, [&] { return received_.size() >= count; });
}

std::vector<std::uint32_t> CtaphidFront::channels() const
{
    std::lock_guard lk(mutex_);
    return channels_;
}

bool CtaphidFront::sendRaw(std::span<const std::uint8_t> datagram) { return sendReport(datagram); }

void CtaphidFront::wake()
{
    const std::uint64_t one = 1;
    if (wakeFd_ >= 0)
        [[maybe_unused]] auto n = ::write(wakeFd_, &one, sizeof one);
}

void CtaphidFront::run()
{
    loopId_ = std::this_thread::get_id();
    while (!stopping_) {
        const auto now = Clock::now();
        // Sleep until the next thing due: a continuation deadline or a keepalive.
        std::optional<Clock::time_point> due = reassembler_.deadline();
        if (pending_ && (!due || nextKeepalive_ < *due))
            due = nextKeepalive_;
        int timeoutMs = -1;
        if (due)
            timeoutMs = static_cast<int>(
                std::clamp<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(*due - now).count() + 1, 0, 60000));

        pollfd fds[2] = {{fd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
        const int r = ::poll(fds, 2, timeoutMs);
        if (r < 0 && errno != EINTR)
            break;
        if (stopping_)
            break;
        if (fds[1].revents & POLLIN) {
            std::uint64_t v = 0;
            [[maybe_unused]] auto n = ::read(wakeFd_, &v, sizeof v);
        }
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            std::uint8_t buf[128];
            const ssize_t n = ::recv(fd_, buf, sizeof buf, MSG_DONTWAIT);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
                connected_ = false; // the host closed its end
                break;
            }
            if (n > 0) {
                ++reportsIn_;
                if (auto report = CtaphidReassembler::normalise(std::span(buf, static_cast<std::size_t>(n)))) {
                    if (auto event = reassembler_.feed(*report, Clock::now())) {
                        if (event->kind == CtaphidReassembler::Event::Kind::Error)
                            sendError(event->cid, event->error);
                        else
                            onMessage(*event);
                    }
                }
            }
        }
        const auto later = Clock::now();
        if (auto timedOut = reassembler_.tick(later))
            sendError(timedOut->cid, timedOut->error);
        if (pending_ && pending_->shared->done)
            finishCbor();
        if (pending_ && later >= nextKeepalive_) {
            sendKeepalive(pending_->cid, pending_->shared->status.load());
            nextKeepalive_ = later + options_.keepaliveInterval;
        }
    }
    stopPending();
}

void CtaphidFront::onMessage(const CtaphidReassembler::Event& m)
{
    {
        std::lock_guard lk(mutex_);
        received_.push_back({m.cid, m.cmd, m.payload});
    }
    cv_.notify_all();

    const auto now = Clock::now();
    if (lockedTo_ && now >= lockEnd_)
        lockedTo_.reset();
    const bool known = std::find(channels_.begin(), channels_.end(), m.cid) != channels_.end();

    if (m.cmd == CMD_INIT) {
        if (m.payload.size() != 8)
            return sendError(m.cid, CtaphidReassembler::ERR_INVALID_LEN);
        std::uint32_t cid = m.cid;
        if (m.cid == CtaphidReassembler::kBroadcast) {
            cid = nextChannel_++;
            if (cid == 0 || cid == CtaphidReassembler::kBroadcast)
                cid = nextChannel_++;
            std::lock_guard lk(mutex_);
            channels_.push_back(cid);
        } else if (!known) {
            return sendError(m.cid, CtaphidReassembler::ERR_INVALID_CHANNEL);
        } else if (pending_ && pending_->cid == cid) {
            pending_->discard = true; // resync drops what the channel was doing
            stopPending();
        }
        Bytes out(m.payload.begin(), m.payload.end());
        putCid(out, cid);
        out.insert(out.end(), {2, options_.deviceMajor, options_.deviceMinor, options_.deviceBuild, options_.capabilities});
        return sendMessage(m.cid, CMD_INIT, out);
    }
    if (m.cid == CtaphidReassembler::kBroadcast || !known)
        return sendError(m.cid, CtaphidReassembler::ERR_INVALID_CHANNEL);
    if (m.cmd == CMD_CANCEL) {
        if (pending_ && pending_->cid == m.cid)
            pending_->shared->cancel = true;
        return; // CANCEL itself is never answered
    }
    if (pending_ || (lockedTo_ && *lockedTo_ != m.cid) || turnsAway(m.cmd))
        return sendError(m.cid, CtaphidReassembler::ERR_CHANNEL_BUSY);

    switch (m.cmd) {
    case CMD_PING: return sendMessage(m.cid, CMD_PING, m.payload);
    case CMD_WINK: return sendMessage(m.cid, CMD_WINK, {});
    case CMD_LOCK:
        if (m.payload.size() != 1 || m.payload[0] > 10)
            return sendError(m.cid, CtaphidReassembler::ERR_INVALID_PAR);
        if (m.payload[0] == 0) {
            lockedTo_.reset();
        } else {
            lockedTo_ = m.cid;
            lockEnd_ = now + std::chrono::seconds(m.payload[0]);
        }
        return sendMessage(m.cid, CMD_LOCK, {});
    case CMD_CBOR:
        if (m.payload.empty())
            return sendError(m.cid, CtaphidReassembler::ERR_INVALID_LEN);
        return startCbor(m.cid, m.payload);
    case CMD_MSG:
    default: return sendError(m.cid, CtaphidReassembler::ERR_INVALID_CMD);
    }
}

void CtaphidFront::startCbor(std::uint32_t cid, Bytes payload)
{
    pending_ = std::make_unique<Pending>();
    pending_->cid = cid;
    nextKeepalive_ = Clock::now() + options_.keepaliveInterval;
    auto shared = pending_->shared;
    pending_->worker = std::thread([this, shared, request = std::move(payload)] {
        SoftAuthenticator::RequestContext ctx;
        ctx.cancelled = [this, shared] { return shared->cancel.load() || stopping_.load(); };
        ctx.status = [shared](SoftAuthenticator::Keepalive k) { shared->status = static_cast<std::uint8_t>(k); };
        Bytes result = key_.handle(request, ctx);
        {
            std::lock_guard lk(shared->m);
            shared->result = std::move(result);
        }
        shared->done = true;
        wake();
    });
}

void CtaphidFront::finishCbor()
{
    pending_->worker.join();
    Bytes result;
    {
        std::lock_guard lk(pending_->shared->m);
        result = std::move(pending_->shared->result);
    }
    const std::uint32_t cid = pending_->cid;
    const bool discard = pending_->discard;
    pending_.reset();
    if (!discard)
        sendMessage(cid, CMD_CBOR, result);
}

void CtaphidFront::stopPending()
{
    if (!pending_)
        return;
    pending_->shared->cancel = true;
    if (pending_->worker.joinable())
        pending_->worker.join();
    pending_.reset();
}

void CtaphidFront::sendError(std::uint32_t cid, std::uint8_t code)
{
    const Bytes payload{code};
    sendMessage(cid, CMD_ERROR, payload, false);
}

void CtaphidFront::sendKeepalive(std::uint32_t cid, std::uint8_t status)
{
    const Bytes payload{status};
    for (auto& p : frame(cid, CMD_KEEPALIVE, payload))
        sendReport(p);
}

void CtaphidFront::sendMessage(std::uint32_t cid, std::uint8_t cmd, std::span<const std::uint8_t> payload, bool faults)
{
    std::optional<InjectedFault> fault;
    if (faults) {
        std::lock_guard lk(mutex_);
        auto it = std::find_if(faults_.begin(), faults_.end(), [&](const InjectedFault& f) {
            return f.kind != Fault::TurnedAway && (!f.command || *f.command == cmd);
        });
        if (it != faults_.end()) {
            fault = *it;
            faults_.erase(it);
        }
    }
    std::vector<Bytes> packets = frame(cid, cmd, payload);
    // What a LateAnswer held back goes out after this message.
    const std::vector<Bytes> late = std::exchange(heldBack_, {});
    sendFaulted(fault, cid, std::move(packets));
    for (const Bytes& p : late)
        sendReport(p);
}

void CtaphidFront::sendFaulted(const std::optional<InjectedFault>& fault, std::uint32_t cid, std::vector<Bytes> packets)
{
    if (!fault) {
        for (auto& p : packets)
            sendReport(p);
        return;
    }
    const std::uint32_t foreign = cid ^ 0x01010101;
    switch (fault->kind) {
    case Fault::Silence: return;
    case Fault::ForeignChannel:
        for (auto& p : packets) {
            setCid(p, foreign);
            sendReport(p);
        }
        return;
    case Fault::ForeignChannelThenAnswer:
        for (auto p : packets) {
            setCid(p, foreign);
            sendReport(p);
        }
        for (auto& p : packets)
            sendReport(p);
        return;
    case Fault::WrongSequence:
        for (std::size_t i = 1; i < packets.size(); ++i)
            packets[i][4] = static_cast<std::uint8_t>((packets[i][4] + 1) & 0x7F);
        for (auto& p : packets)
            sendReport(p);
        return;
    case Fault::ShortReport: {
        const std::size_t n = std::clamp<std::size_t>(fault->value == 0 ? 4 : fault->value, 1, 64);
        sendReport(std::span(packets[0].data(), n));
        return;
    }
    case Fault::MidMessageInit: {
        Bytes again = packets[0];
        again[5] = static_cast<std::uint8_t>(fault->value >> 8);
        again[6] = static_cast<std::uint8_t>(fault->value & 0xFF);
        sendReport(packets[0]);
        sendReport(again);
        for (std::size_t i = 1; i < packets.size(); ++i)
            sendReport(packets[i]);
        return;
    }
    case Fault::LateAnswer: heldBack_ = std::move(packets); return;
    case Fault::HangUp: hangUp(); return;
    case Fault::KeepaliveThenErrorReply:
    case Fault::ErrorReply: {
        if (fault->kind == Fault::KeepaliveThenErrorReply)
            sendKeepalive(cid, 0x01);
        const Bytes code{static_cast<std::uint8_t>(fault->value)};
        for (auto& p : frame(cid, CMD_ERROR, code))
            sendReport(p);
        return;
    }
    case Fault::BadKeepalive:
        sendKeepalive(cid, static_cast<std::uint8_t>(fault->value == 0 ? 0x7F : fault->value));
        for (auto& p : packets)
            sendReport(p);
        return;
    case Fault::TurnedAway: // a request's fault, never an answer's
        for (auto& p : packets)
            sendReport(p);
        return;
    }
}

bool CtaphidFront::turnsAway(std::uint8_t cmd)
{
    std::lock_guard lk(mutex_);
    auto it = std::find_if(faults_.begin(), faults_.end(), [&](const InjectedFault& f) {
        return f.kind == Fault::TurnedAway && (!f.command || *f.command == cmd);
    });
    if (it == faults_.end())
        return false;
    if (it->value > 0) {
        --it->value;
        return false;
    }
    faults_.erase(it);
    return true;
}

bool CtaphidFront::sendReport(std::span<const std::uint8_t> report)
{
    std::lock_guard lk(sendMutex_);
    if (fd_ < 0 || !connected_)
        return false;
    // A host that does not read loses reports, as with a real HID device; the key never blocks on it.
    const bool sent =
        ::send(fd_, report.data(), report.size(), MSG_DONTWAIT | MSG_NOSIGNAL) == static_cast<ssize_t>(report.size());
    if (sent)
        ++reportsOut_;
    return sent;
}
