#include "platform/SmartCard.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <variant>

namespace {

enum class Session { none, opening, open, ended };

struct BeginJob {
    SmartCard::SessionReply reply;
};
// An APDU to send, or (beginTransaction) the start of a transaction; its caller waits for the answer.
struct ExchangeJob {
    std::uint64_t sequence;
    bool beginTransaction;
    Bytes apdu;
};
struct EndTransactionJob {};
struct EndJob {};
using Job = std::variant<BeginJob, ExchangeJob, EndTransactionJob, EndJob>;

// How PC/SC tells a connection that another program reset the card or powered it down.
bool resetByAnother(LONG rv) { return rv == SCARD_W_RESET_CARD || rv == SCARD_W_UNPOWERED_CARD; }

} // namespace

// Everything the worker touches lives here, held by the worker too, so the card object can go (even from
// the worker itself, inside a reply) while the worker finishes its current call.
struct SmartCard::Core {
    ChannelOpener opener;
    std::mutex mutex;
    std::condition_variable cv;
    std::deque<Job> jobs;
    bool stopping = false;
    Session session = Session::none;

    // One exchange at a time; `awaited` is the sequence number whose answer the waiting caller still wants
    // (0: none), so an answer for any other number is stale.
    std::mutex exchange;
    std::uint64_t lastSequence = 0;
    std::uint64_t awaited = 0;
    bool answered = false;
    std::pair<Bytes, IOReturn> answer{{}, kIOReturnError};

    // Worker only.
    std::unique_ptr<CardChannel> channel;
    bool transaction = false;
    std::thread worker;

    LONG perform(const ExchangeJob& job, Bytes& response);
    void endTransaction();
};

LONG SmartCard::Core::perform(const ExchangeJob& job, Bytes& response)
{
    if (!job.beginTransaction) {
        const LONG rv = channel->transmit(job.apdu, response);
        // The card lost what this exchange counted on (its selected applet): it fails, the next one gets through.
        if (resetByAnother(rv))
            channel->reconnect();
        return rv;
    }
    LONG rv = channel->beginTransaction();
    if (resetByAnother(rv) && channel->reconnect() == SCARD_S_SUCCESS)
        rv = channel->beginTransaction();
    transaction = rv == SCARD_S_SUCCESS;
    return rv;
}

void SmartCard::Core::endTransaction()
{
    if (transaction && channel)
        channel->endTransaction();
    transaction = false;
}

SmartCard::SmartCard(std::string readerName, ChannelOpener opener)
    : readerName_(std::move(readerName)), core_(std::make_shared<Core>())
{
    core_->opener = std::move(opener);
    core_->worker = std::thread([core = core_] { run(core); });
}

SmartCard::~SmartCard()
{
    {
        std::lock_guard lock(core_->mutex);
        core_->stopping = true;
    }
    core_->cv.notify_all();
    if (core_->worker.get_id() == std::this_thread::get_id())
        core_->worker.detach();
    else if (core_->worker.joinable())
        core_->worker.join();
}

void SmartCard::beginSession(SessionReply reply)
{
    {
        std::lock_guard lock(core_->mutex);
        if (core_->session != Session::none) {
            if (reply)
                core_->jobs.push_back(BeginJob{[reply = std::move(reply)](bool) { reply(false); }});
            core_->cv.notify_all();
            return;
        }
        core_->session = Session::opening;
        core_->jobs.push_back(BeginJob{std::move(reply)});
    }
    core_->cv.notify_all();
}

void SmartCard::endSession()
{
    {
        std::lock_guard lock(core_->mutex);
        if (core_->session == Session::ended)
            return;
        core_->session = Session::ended;
        if (core_->awaited != 0) {
            core_->awaited = 0;
            core_->answer = {{}, kIOReturnError};
            core_->answered = true;
        }
        core_->jobs.push_back(EndJob{});
    }
    core_->cv.notify_all();
}

bool SmartCard::sessionOpen() const
{
    std::lock_guard lock(core_->mutex);
    return core_->session == Session::open;
}

std::pair<Bytes, IOReturn> SmartCard::transmit(std::span<const std::uint8_t> apdu, std::chrono::milliseconds timeout)
{
    return exchange(false, apdu, timeout);
}

IOReturn SmartCard::beginTransaction(std::chrono::milliseconds timeout) { return exchange(true, {}, timeout).second; }

void SmartCard::endTransaction()
{
    {
        std::lock_guard lock(core_->mutex);
        core_->jobs.push_back(EndTransactionJob{});
    }
    core_->cv.notify_all();
}

std::pair<Bytes, IOReturn> SmartCard::exchange(bool beginTransaction, std::span<const std::uint8_t> apdu,
                                               std::chrono::milliseconds timeout)
{
    Core& core = *core_;
    std::lock_guard exchange(core.exchange);
    std::unique_lock lock(core.mutex);
    if (core.session != Session::open || core.stopping)
        return {{}, kIOReturnError};
    const std::uint64_t sequence = ++core.lastSequence;
    core.awaited = sequence;
    core.answered = false;
    core.jobs.push_back(ExchangeJob{sequence, beginTransaction, Bytes(apdu.begin(), apdu.end())});
    core.cv.notify_all();
    const bool done = core.cv.wait_for(lock, timeout, [&core] { return core.answered; });
    if (!done) {
        core.awaited = 0; // whatever comes back for this sequence now is stale
        return {{}, kIOReturnTimeout};
    }
    core.answered = false;
    return std::exchange(core.answer, {{}, kIOReturnError});
}

void SmartCard::run(const std::shared_ptr<Core>& core)
{
    for (;;) {
        Job job;
        {
            std::unique_lock lock(core->mutex);
            core->cv.wait(lock, [&] { return core->stopping || !core->jobs.empty(); });
            if (core->stopping)
                break;
            job = std::move(core->jobs.front());
            core->jobs.pop_front();
        }
        if (auto* begin = std::get_if<BeginJob>(&job)) {
            // Only the first begin reaches here with the session opening; later ones carry a refusing reply.
            bool opened = false;
            {
                std::lock_guard lock(core->mutex);
                opened = core->session == Session::opening && !core->channel;
            }
            if (opened) {
                std::unique_ptr<CardChannel> channel = core->opener ? core->opener() : nullptr;
                std::lock_guard lock(core->mutex);
                if (channel && core->session == Session::opening) {
                    core->channel = std::move(channel);
                    core->session = Session::open;
                } else {
                    opened = false;
                    if (core->session == Session::opening)
                        core->session = Session::ended;
                }
            }
            if (begin->reply)
                begin->reply(opened);
        } else if (auto* exchange = std::get_if<ExchangeJob>(&job)) {
            {
                std::lock_guard lock(core->mutex);
                if (exchange->sequence != core->awaited || !core->channel)
                    continue; // its caller has given up: never send an APDU nobody waits for
            }
            Bytes response;
            const LONG rv = core->perform(*exchange, response);
            std::unique_lock lock(core->mutex);
            if (exchange->sequence != core->awaited) {
                // Late: dropped. A transaction nobody waits for any more would keep the card from everyone.
                lock.unlock();
                if (exchange->beginTransaction)
                    core->endTransaction();
                continue;
            }
            core->awaited = 0;
            if (rv == SCARD_S_SUCCESS && (exchange->beginTransaction || !response.empty()))
                core->answer = {std::move(response), kIOReturnSuccess};
            else
                core->answer = {{}, kIOReturnError};
            core->answered = true;
            core->cv.notify_all();
        } else if (std::holds_alternative<EndTransactionJob>(job)) {
            core->endTransaction();
        } else {
            core->endTransaction();
            core->channel.reset();
        }
    }
    core->endTransaction();
    core->channel.reset();
}
