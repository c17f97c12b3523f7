#include "softkey/NfcCardFront.h"

#include <algorithm>
#include <thread>

namespace {

constexpr std::size_t kMaxChain = 8192;
const Bytes kAid{0xA0, 0x00, 0x00, 0x06, 0x47, 0x2F, 0x00, 0x01};

Bytes sw(std::uint8_t sw1, std::uint8_t sw2) { return Bytes{sw1, sw2}; }

Bytes withSw(Bytes data, std::uint8_t sw1, std::uint8_t sw2)
{
    data.push_back(sw1);
    data.push_back(sw2);
    return data;
}

// A parsed command APDU (ISO 7816-4 cases 1 to 4, short and extended).
struct Command {
    std::uint8_t cla = 0, ins = 0, p1 = 0, p2 = 0;
    Bytes data;
    std::size_t le = 0; // 0 when absent
    bool extended = false;
};

std::optional<Command> parse(const Bytes& a)
{
    if (a.size() < 4)
        return std::nullopt;
    Command c{a[0], a[1], a[2], a[3], {}, 0, false};
    const std::size_t n = a.size();
    if (n == 4)
        return c;
    if (n == 5) {
        c.le = a[4] == 0 ? 256 : a[4];
        return c;
    }
    if (a[4] != 0) {
        const std::size_t lc = a[4];
        if (n != 5 + lc && n != 6 + lc)
            return std::nullopt;
        c.data.assign(a.begin() + 5, a.begin() + 5 + static_cast<std::ptrdiff_t>(lc));
        if (n == 6 + lc)
            c.le = a[5 + lc] == 0 ? 256 : a[5 + lc];
        return c;
    }
    if (n < 7)
        return std::nullopt;
    c.extended = true;
    const std::size_t x = static_cast<std::size_t>(a[5]) << 8 | a[6];
    if (n == 7) {
        c.le = x == 0 ? 65536 : x;
        return c;
    }
    if (x == 0 || (n != 7 + x && n != 9 + x))
        return std::nullopt;
    c.data.assign(a.begin() + 7, a.begin() + 7 + static_cast<std::ptrdiff_t>(x));
    if (n == 9 + x) {
        const std::size_t le = static_cast<std::size_t>(a[7 + x]) << 8 | a[8 + x];
        c.le = le == 0 ? 65536 : le;
    }
    return c;
}

} // namespace

struct NfcCardFront::Pending {
    std::atomic<bool> cancel{false};
    std::atomic<std::uint8_t> status{1};
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    Bytes result;
    std::thread worker;
};

NfcCardFront::NfcCardFront(SoftAuthenticator& key) : NfcCardFront(key, Options{}) {}

NfcCardFront::NfcCardFront(SoftAuthenticator& key, Options options) : key_(key), options_(std::move(options)) {}

NfcCardFront::~NfcCardFront()
{
    remove();
    cancelPending();
}

Bytes NfcCardFront::atr() const
{
    std::lock_guard lk(mutex_);
    const Bytes& hist = options_.identity == Identity::Foreign ? options_.foreignIdentity : options_.makerIdentity;
    const std::size_t k = std::min<std::size_t>(hist.size(), 15);
    Bytes out(4 + k);
    out[0] = 0x3B;
    out[1] = static_cast<std::uint8_t>(0x80 | k);
    out[2] = 0x80;
    out[3] = 0x01;
    std::copy_n(hist.begin(), k, out.begin() + 4);
    std::uint8_t tck = 0;
    for (std::size_t i = 1; i < out.size(); ++i)
        tck ^= out[i];
    out.push_back(tck);
    return out;
}

Bytes NfcCardFront::handleApdu(const Bytes& apdu)
{
    std::unique_lock lk(mutex_);
    received_.push_back(apdu);
    cv_.notify_all();
    cv_.wait(lk, [&] { return !stall_ || leaving_.load(); });
    if (leaving_)
        return sw(0x6F, 0x00);

    auto cmd = parse(apdu);
    if (!cmd)
        return sw(0x67, 0x00);
    if (!(cmd->cla == 0x00 && cmd->ins == 0xC0))
        outgoing_.clear();

    // Command chaining: collect the pieces, act on the last. CLA FF (the reader's own class) has no chaining bit.
    if ((cmd->cla & 0x10) != 0 && cmd->cla != 0xFF) {
        if (chain_.size() + cmd->data.size() > kMaxChain) {
            chain_.clear();
            return sw(0x67, 0x00);
        }
        chain_.insert(chain_.end(), cmd->data.begin(), cmd->data.end());
        return sw(0x90, 0x00);
    }
    if (!chain_.empty()) {
        if (chain_.size() + cmd->data.size() > kMaxChain) {
            chain_.clear();
            return sw(0x67, 0x00);
        }
        cmd->data.insert(cmd->data.begin(), chain_.begin(), chain_.end());
        chain_.clear();
    }
    const std::size_t le = cmd->le == 0 ? 256 : cmd->le;

    if (cmd->cla == 0x00 && cmd->ins == 0xA4) {
        if (cmd->p1 != 0x04)
            return sw(0x6A, 0x86);
        if (!options_.appletPresent || cmd->data != kAid) {
            selected_ = false;
            return sw(0x6A, 0x82);
        }
        selected_ = true;
        return respond(Bytes(options_.selectAnswer.begin(), options_.selectAnswer.end()), le, cmd->extended);
    }
    if (cmd->cla == 0x00 && cmd->ins == 0xC0) {
        if (outgoing_.empty())
            return sw(0x69, 0x85);
        Bytes rest = std::move(outgoing_);
        outgoing_.clear();
        return respond(std::move(rest), le, cmd->extended);
    }
    if (cmd->cla == 0xFF && cmd->ins == 0xCA) {
        if (cmd->p1 == 0x00)
            return respond(Bytes{0x04, 0xA1, 0xB2, 0xC3}, le, false);
        if (cmd->p1 != 0x01)
            return sw(0x6A, 0x86);
        switch (options_.identity) {
        case Identity::Maker: return respond(options_.makerIdentity, le, false);
        case Identity::Foreign: return respond(options_.foreignIdentity, le, false);
        case Identity::Unavailable: return sw(0x6A, 0x81);
        }
    }
    if (cmd->cla == 0x80 && cmd->ins == 0x40) {
        if (!options_.vendorAnswer)
            return sw(0x6D, 0x00);
        return respond(Bytes(options_.vendorAnswer->begin(), options_.vendorAnswer->end()), le, false);
    }
    if (cmd->cla == 0x80 && cmd->ins == 0x12) {
        if (cmd->p1 != 0x01)
            return sw(0x6A, 0x86);
        lk.unlock();
        deselect();
        return sw(0x90, 0x00);
    }
    if (cmd->cla == 0x80 && (cmd->ins == 0x10 || cmd->ins == 0x11)) {
        if (!selected_)
            return sw(0x69, 0x85);
        const bool mayPoll = cmd->ins == 0x11 || (cmd->p1 & 0x80) != 0;
        const bool extended = cmd->extended;
        if (cmd->ins == 0x10 && cmd->data.empty())
            return sw(0x67, 0x00);
        lk.unlock();
        Poll poll = cmd->ins == 0x10 ? nfcctap(cmd->data, mayPoll) : awaitPending(true);
        lk.lock();
        switch (poll.state) {
        case Poll::State::noRequest: return sw(0x69, 0x85);
        case Poll::State::running: return Bytes{poll.status, 0x91, 0x00};
        case Poll::State::done: return respond(std::move(poll.answer), le, extended);
        }
    }
    if (cmd->cla != 0x00 && cmd->cla != 0x80)
        return sw(0x6E, 0x00);
    return sw(0x6D, 0x00);
}

Bytes NfcCardFront::respond(Bytes data, std::size_t le, bool extended)
{
    const std::size_t chunk = extended ? 65536 : std::min<std::size_t>(le, 256);
    if (data.size() <= chunk)
        return withSw(std::move(data), 0x90, 0x00);
    outgoing_.assign(data.begin() + static_cast<std::ptrdiff_t>(chunk), data.end());
    data.resize(chunk);
    const std::size_t left = outgoing_.size();
    return withSw(std::move(data), 0x61, static_cast<std::uint8_t>(left >= 256 ? 0 : left));
}

NfcCardFront::Poll NfcCardFront::nfcctap(const Bytes& request, bool mayPoll)
{
    cancelPending(); // a new request replaces one the host gave up on
    auto p = std::make_shared<Pending>();
    {
        std::lock_guard lk(mutex_);
        pending_ = p;
    }
    p->worker = std::thread([this, p, request] {
        SoftAuthenticator::RequestContext ctx;
        ctx.cancelled = [this, p] { return p->cancel.load() || leaving_.load(); };
        ctx.status = [p](SoftAuthenticator::Keepalive k) { p->status = static_cast<std::uint8_t>(k); };
        Bytes result = key_.handle(request, ctx);
        std::lock_guard lk(p->m);
        p->result = std::move(result);
        p->done = true;
        p->cv.notify_all();
    });
    return awaitPending(mayPoll);
}

NfcCardFront::Poll NfcCardFront::awaitPending(bool mayPoll)
{
    std::shared_ptr<Pending> p;
    std::chrono::milliseconds wait{};
    {
        std::lock_guard lk(mutex_);
        p = pending_;
        wait = options_.pollWait;
    }
    if (!p)
        return {};
    std::unique_lock lk(p->m);
    const bool done = mayPoll ? p->cv.wait_for(lk, wait, [&] { return p->done; })
                              : (p->cv.wait(lk, [&] { return p->done; }), true);
    if (!done)
        return {Poll::State::running, p->status.load(), {}};
    Poll poll{Poll::State::done, 0, std::move(p->result)};
    lk.unlock();
    if (p->worker.joinable())
        p->worker.join();
    std::lock_guard guard(mutex_);
    if (pending_ == p)
        pending_.reset();
    return poll;
}

void NfcCardFront::cancelPending()
{
    std::shared_ptr<Pending> p;
    {
        std::lock_guard lk(mutex_);
        p = std::move(pending_);
        pending_.reset();
    }
    if (!p)
        return;
    p->cancel = true;
    if (p->worker.joinable())
        p->worker.join();
}

void NfcCardFront::deselect()
{
    cancelPending();
    std::lock_guard lk(mutex_);
    selected_ = false;
    chain_.clear();
    outgoing_.clear();
}

void NfcCardFront::control(std::uint8_t code)
{
    if (code <= 2)
        deselect();
}

bool NfcCardFront::insert(std::uint16_t port, std::chrono::milliseconds timeout)
{
    std::lock_guard guard(lifecycle_);
    if (card_ && card_->inserted())
        return true;
    leaving_ = false;
    deselect();
    bool powerUp = false;
    {
        std::lock_guard lk(mutex_);
        powerUp = options_.powerUpOnInsert;
    }
    if (powerUp)
        key_.powerUp();
    card_ = std::make_unique<VpcdCard>(
        port, atr(), [this](const Bytes& apdu) { return handleApdu(apdu); },
        [this](std::uint8_t c) { control(c); });
    return card_->insert(timeout);
}

void NfcCardFront::remove()
{
    std::lock_guard guard(lifecycle_);
    {
        std::lock_guard lk(mutex_);
        leaving_ = true;
        cv_.notify_all();
    }
    if (card_) {
        card_->remove();
        card_.reset();
    }
    deselect();
}

bool NfcCardFront::tap(std::uint16_t port, std::chrono::milliseconds timeout)
{
    remove();
    return insert(port, timeout);
}

bool NfcCardFront::inserted() const
{
    std::lock_guard guard(lifecycle_);
    return card_ && card_->inserted();
}

void NfcCardFront::setStall(bool stall)
{
    std::lock_guard lk(mutex_);
    stall_ = stall;
    cv_.notify_all();
}

std::vector<Bytes> NfcCardFront::receivedApdus() const
{
    std::lock_guard lk(mutex_);
    return received_;
}

bool NfcCardFront::waitForApdus(std::size_t count, std::chrono::milliseconds timeout) const
{
    std::unique_lock lk(mutex_);
    return cv_.wait_for(lk, timeout, [&] { return received_.size() >= count; });
}
