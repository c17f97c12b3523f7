#include "platform/SmartCard.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <thread>
#include <variant>

namespace {

using Clock = std::chrono::steady_clock;

// A hand-over that puts a thread to sleep costs a futex call on each side and the sleeper's wake-up, several
// times the rest of our work on an APDU. So each side looks for the other's hand-over for a moment before it
// sleeps (the caller for the card's answer, the worker for the caller's next APDU), but only while that pays:
// while such hand-overs have lately come within the moment, and while CPUs are to spare. On a busy machine a
// spinning thread only burns time the others need, and loses the head start the scheduler gives a thread that
// wakes up.
constexpr auto kAnswerSpin = std::chrono::microseconds(1000);
constexpr auto kNextJobSpin = std::chrono::microseconds(200);
constexpr auto kLoadCheck = std::chrono::milliseconds(50);
// A card call (pcscd's answer) normally ends well within this; one that does not is stalled.
constexpr auto kStuckWorker = std::chrono::seconds(1);

void relax()
{
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

// Whether CPUs are idle enough for both sides to spin: the threads ready to run (/proc/loadavg, this one
// included) leave at least one CPU. Looked up at most every kLoadCheck.
bool cpusToSpare()
{
    static std::atomic<Clock::rep> checkedAt{0};
    static std::atomic<bool> spare{false};
    const auto now = Clock::now().time_since_epoch().count();
    auto last = checkedAt.load(std::memory_order_relaxed);
    if (now - last < std::chrono::duration_cast<Clock::duration>(kLoadCheck).count() ||
        !checkedAt.compare_exchange_strong(last, now))
        return spare.load(std::memory_order_relaxed);
    static const unsigned cpus = std::max(1u, std::thread::hardware_concurrency());
    bool fits = false;
    if (std::FILE* file = std::fopen("/proc/loadavg", "re")) {
        unsigned running = 0;
        fits = std::fscanf(file, "%*s %*s %*s %u", &running) == 1 && running < cpus;
        std::fclose(file);
    }
    spare.store(fits, std::memory_order_relaxed);
    return fits;
}

// One side's waits for hand-overs; used by one thread at a time.
class HandOverWait {
public:
    explicit HandOverWait(std::chrono::microseconds limit) : limit_(limit), usual_(limit) {}

    // Spins while `waiting` holds, if spinning looks worth it; true when the hand-over came. Otherwise the
    // caller sleeps; either way it then tells how long the whole wait took.
    template <typename Pred>
    bool spinWhile(Pred waiting, std::chrono::microseconds timeout)
    {
        if (2 * usual_ > limit_ || !cpusToSpare())
            return false;
        const auto until = Clock::now() + std::min({limit_, 2 * usual_, timeout});
        while (waiting()) {
            if (Clock::now() >= until)
                return false;
            relax();
        }
        return true;
    }

    void took(Clock::duration waited)
    {
        const auto sample = std::min(std::chrono::duration_cast<std::chrono::microseconds>(waited), 2 * limit_);
        usual_ += (sample - usual_) / 4;
    }

private:
    const std::chrono::microseconds limit_;
    std::chrono::microseconds usual_; // how long hand-overs have lately taken
};

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
// the worker itself, inside a reply, or while the worker is stuck in a card call) while the worker finishes.
struct SmartCard::Core {
    using Lock = std::unique_lock<std::mutex>;

    ChannelOpener opener;
    std::mutex mutex;
    std::condition_variable_any workToDo;
    std::condition_variable_any answerReady;
    std::deque<Job> jobs;
    std::atomic<std::size_t> queued{0}; // jobs.size(), for the worker to spin on without the lock
    std::condition_variable_any workerEnded;
    bool stopping = false;
    bool exited = false;
    Session session = Session::none;

    // One exchange at a time; `awaited` is the sequence number whose answer the waiting caller still wants
    // (0: none), so an answer for any other number is stale; `answered` is the latest sequence answered.
    std::mutex turn;
    HandOverWait answerWait{kAnswerSpin}; // under turn
    std::uint64_t lastSequence = 0;
    std::uint64_t awaited = 0;
    std::uint64_t handedOver = 0; // the latest sequence whose APDU went to the service
    std::atomic<std::uint64_t> answered{0};
    Response answer{{}, kIOReturnError};

    // Worker only.
    std::unique_ptr<CardChannel> channel;
    bool transaction = false;
    HandOverWait nextJobWait{kNextJobSpin};
    std::thread worker;

    // Under mutex; the caller notifies workToDo / answerReady once it has let the mutex go.
    void post(Job job);
    void deliver(std::uint64_t sequence, Response response);

    // Worker side.
    void run();
    bool waitForJob(Lock& lock);
    void openSession(BeginJob& job, Lock& lock);
    void carryOut(const ExchangeJob& job, Lock& lock);
    LONG perform(const ExchangeJob& job, Bytes& response);
    void endTransaction();
    // Leaves the mutex for a call into the service, where the worker stays for as long as the card stalls.
    template <typename Call>
    void cardCall(Lock& lock, Call call)
    {
        lock.unlock();
        call();
        lock.lock();
    }
};

void SmartCard::Core::post(Job job)
{
    jobs.push_back(std::move(job));
    queued.store(jobs.size(), std::memory_order_release);
}

void SmartCard::Core::deliver(std::uint64_t sequence, Response response)
{
    awaited = 0;
    answer = std::move(response);
    answered.store(sequence, std::memory_order_release);
}

void SmartCard::Core::run()
{
    Lock lock(mutex);
    while (waitForJob(lock)) {
        Job job = std::move(jobs.front());
        jobs.pop_front();
        queued.store(jobs.size(), std::memory_order_release);
        if (auto* begin = std::get_if<BeginJob>(&job)) {
            openSession(*begin, lock);
        } else if (auto* exchange = std::get_if<ExchangeJob>(&job)) {
            carryOut(*exchange, lock);
        } else {
            cardCall(lock, [&] {
                endTransaction();
                if (std::holds_alternative<EndJob>(job))
                    channel.reset();
            });
        }
    }
    cardCall(lock, [this] {
        endTransaction();
        channel.reset();
    });
    exited = true;
    workerEnded.notify_all();
}

bool SmartCard::Core::waitForJob(Lock& lock)
{
    if (jobs.empty() && !stopping) {
        const auto idle = Clock::now();
        lock.unlock();
        nextJobWait.spinWhile([this] { return queued.load(std::memory_order_acquire) == 0; }, kNextJobSpin);
        lock.lock();
        workToDo.wait(lock, [this] { return stopping || !jobs.empty(); });
        nextJobWait.took(Clock::now() - idle);
    }
    return !stopping;
}

void SmartCard::Core::openSession(BeginJob& job, Lock& lock)
{
    // Only the first begin finds the session opening; later ones carry a refusing reply.
    bool opened = false;
    if (session == Session::opening && !channel) {
        std::unique_ptr<CardChannel> made;
        cardCall(lock, [&] { made = opener ? opener() : nullptr; });
        opened = made && session == Session::opening; // not ended meanwhile
        if (session == Session::opening)
            session = opened ? Session::open : Session::ended;
        if (opened)
            channel = std::move(made);
        else
            cardCall(lock, [&] { made.reset(); });
    }
    if (job.reply) {
        lock.unlock();
        job.reply(opened);
        lock.lock();
    }
}

void SmartCard::Core::carryOut(const ExchangeJob& job, Lock& lock)
{
    if (job.sequence != awaited || !channel)
        return; // its caller has given up: never send an APDU nobody waits for
    Bytes response;
    LONG rv = SCARD_S_SUCCESS;
    handedOver = job.sequence;
    cardCall(lock, [&] { rv = perform(job, response); });
    if (job.sequence == awaited) {
        const bool ok = rv == SCARD_S_SUCCESS && (job.beginTransaction || !response.empty());
        deliver(job.sequence, ok ? Response{std::move(response), kIOReturnSuccess} : Response{{}, kIOReturnError});
        lock.unlock();
        answerReady.notify_all();
        lock.lock();
    } else if (job.beginTransaction) {
        // Late: dropped. A transaction nobody waits for any more would keep the card from everyone.
        cardCall(lock, [&] { endTransaction(); });
    }
}

LONG SmartCard::Core::perform(const ExchangeJob& job, Bytes& response)
{
    if (!job.beginTransaction)
        return channel->transmit(job.apdu, response);
    // Another program's reset or power-down shows when our transaction begins (none can happen inside one):
    // from then on every call on the connection fails until it is made again.
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

SmartCard::SmartCard(ChannelOpener opener) : core_(std::make_shared<Core>())
{
    core_->opener = std::move(opener);
    core_->worker = std::thread([core = core_] { core->run(); });
}

SmartCard::~SmartCard()
{
    Core& core = *core_;
    std::unique_lock lock(core.mutex);
    core.stopping = true;
    core.workToDo.notify_all();
    // A worker inside a card call cannot be hurried (the service has no time-out there): one that does not
    // end in a moment is left to end by itself, holding what it uses.
    const bool ended = core.worker.get_id() != std::this_thread::get_id() &&
                       core.workerEnded.wait_for(lock, kStuckWorker, [&core] { return core.exited; });
    lock.unlock();
    if (ended)
        core.worker.join();
    else
        core.worker.detach();
}

void SmartCard::beginSession(SessionReply reply)
{
    {
        std::lock_guard lock(core_->mutex);
        if (core_->session == Session::none) {
            core_->session = Session::opening;
            core_->post(BeginJob{std::move(reply)});
        } else if (reply) {
            core_->post(BeginJob{[reply = std::move(reply)](bool) { reply(false); }});
        }
    }
    core_->workToDo.notify_all();
}

void SmartCard::endSession()
{
    {
        std::lock_guard lock(core_->mutex);
        if (core_->session == Session::ended)
            return;
        core_->session = Session::ended;
        if (core_->awaited != 0)
            core_->deliver(core_->awaited, {{}, kIOReturnError});
        core_->post(EndJob{});
    }
    core_->workToDo.notify_all();
    core_->answerReady.notify_all();
}

SmartCard::Response SmartCard::transmit(std::span<const std::uint8_t> apdu, std::chrono::milliseconds timeout,
                                        std::stop_token stop, bool* handedOver)
{
    return exchange(false, apdu, timeout, std::move(stop), handedOver);
}

IOReturn SmartCard::beginTransaction(std::chrono::milliseconds timeout, std::stop_token stop)
{
    return exchange(true, {}, timeout, std::move(stop)).second;
}

void SmartCard::endTransaction()
{
    {
        std::lock_guard lock(core_->mutex);
        core_->post(EndTransactionJob{});
    }
    core_->workToDo.notify_all();
}

SmartCard::Response SmartCard::exchange(bool beginTransaction, std::span<const std::uint8_t> apdu,
                                        std::chrono::milliseconds timeout, std::stop_token stop, bool* handedOver)
{
    Core& core = *core_;
    if (handedOver)
        *handedOver = false;
    const auto posted = Clock::now();
    std::lock_guard turn(core.turn);
    std::uint64_t sequence = 0;
    {
        std::lock_guard lock(core.mutex);
        if (core.session != Session::open || core.stopping)
            return {{}, kIOReturnError};
        if (stop.stop_requested())
            return {{}, kIOReturnAborted};
        sequence = ++core.lastSequence;
        core.awaited = sequence;
        core.post(ExchangeJob{sequence, beginTransaction, Bytes(apdu.begin(), apdu.end())});
    }
    core.workToDo.notify_all();
    auto isAnswered = [&core, sequence] { return core.answered.load(std::memory_order_acquire) == sequence; };
    core.answerWait.spinWhile([&] { return !isAnswered(); }, timeout);
    std::unique_lock lock(core.mutex);
    const bool answered = core.answerReady.wait_until(lock, stop, posted + timeout, isAnswered);
    core.answerWait.took(Clock::now() - posted);
    if (handedOver)
        *handedOver = core.handedOver == sequence;
    if (!answered) {
        core.awaited = 0; // whatever comes back for this sequence now is stale
        return {{}, stop.stop_requested() ? kIOReturnAborted : kIOReturnTimeout};
    }
    return std::exchange(core.answer, {{}, kIOReturnError});
}
