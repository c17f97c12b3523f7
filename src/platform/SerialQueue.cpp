#include "platform/SerialQueue.h"

#include <cstdlib>
#include <future>
#include <utility>
#include <memory>
#include <vector>

namespace {

// Set on a queue's thread when a block destroyed that queue: run() must not touch the queue after the block.
thread_local bool queueDestroyedByItsBlock = false;

// Threads of queues destroyed by one of their own blocks. A thread cannot join itself, and nobody else owns it
// any more; it leaves its loop right after that block. Each such thread is joined by the next one that is
// left here (which by then has finished its block), so at most one is ever waiting. The list is never
// destroyed: a thread arriving while the process exits must not find it gone.
struct OrphanThreads {
    std::mutex mutex;
    std::thread last;

    static OrphanThreads& instance()
    {
        static auto* orphans = [] {
            auto* made = new OrphanThreads; // deliberately immortal, see above
            // The one still waiting is joined as the process ends.
            std::atexit([] { instance().adopt(std::thread()); });
            return made;
        }();
        return *orphans;
    }

    void adopt(std::thread thread)
    {
        std::thread previous;
        {
            std::lock_guard lock(mutex);
            previous = std::exchange(last, std::move(thread));
            // The process ends on that very thread: it stays here, never destroyed while joinable.
            if (previous.joinable() && previous.get_id() == std::this_thread::get_id())
                std::swap(last, previous);
        }
        if (previous.joinable() && previous.get_id() != std::this_thread::get_id())
            previous.join();
    }
};

} // namespace

SerialQueue::SerialQueue(std::string label)
    : label_(std::move(label)), thread_([this] { run(); }), threadId_(thread_.get_id())
{
}

SerialQueue::~SerialQueue()
{
    if (!isCurrent()) {
        stop();
        return;
    }
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        blocks_.clear();
    }
    queueDestroyedByItsBlock = true;
    OrphanThreads::instance().adopt(std::move(thread_));
}

bool SerialQueue::async(std::function<void()> block)
{
    {
        std::lock_guard lock(mutex_);
        if (stopping_)
            return false;
        blocks_.push_back(std::move(block));
    }
    cv_.notify_one();
    return true;
}

bool SerialQueue::sync(const std::function<void()>& block)
{
    if (isCurrent()) {
        block();
        return true;
    }
    // The promise lives in the queued block, so a block dropped by stop() breaks it and ends the wait too.
    auto done = std::make_shared<std::promise<void>>();
    auto future = done->get_future();
    if (!async([&block, done] {
            block();
            done->set_value();
        }))
        return false;
    try {
        future.get();
    } catch (const std::future_error&) {
        return false;
    }
    return true;
}

bool SerialQueue::isCurrent() const { return std::this_thread::get_id() == threadId_; }

void SerialQueue::stop()
{
    bool join = false;
    {
        std::unique_lock lock(mutex_);
        stopping_ = true;
        if (!isCurrent()) {
            join = !joinClaimed_;
            joinClaimed_ = true;
            // Another caller is joining: return only once the thread has ended, as that caller will.
            cv_.notify_all();
            if (!join)
                cv_.wait(lock, [this] { return joined_; });
        }
    }
    cv_.notify_all();
    if (!join)
        return;
    if (thread_.joinable())
        thread_.join();
    {
        std::lock_guard lock(mutex_);
        joined_ = true;
    }
    cv_.notify_all();
}

void SerialQueue::run()
{
    for (;;) {
        std::function<void()> block;
        {
            std::unique_lock lock(mutex_);
            cv_.wait(lock, [this] { return stopping_ || !blocks_.empty(); });
            if (stopping_) {
                blocks_.clear();
                return;
            }
            block = std::move(blocks_.front());
            blocks_.pop_front();
        }
        block();
        block = nullptr; // a block holding the last owner of its queue lets go here, still inside this check
        if (queueDestroyedByItsBlock)
            return;
    }
}
