#include "platform/SerialQueue.h"

#include <future>
#include <memory>

SerialQueue::SerialQueue(std::string label) : label_(std::move(label)), thread_([this] { run(); }) {}

SerialQueue::~SerialQueue() { stop(); }

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

bool SerialQueue::isCurrent() const { return std::this_thread::get_id() == thread_.get_id(); }

void SerialQueue::stop()
{
    {
        std::lock_guard lock(mutex_);
        if (stopping_ && !thread_.joinable())
            return;
        stopping_ = true;
    }
    cv_.notify_all();
    if (thread_.joinable() && !isCurrent())
        thread_.join();
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
    }
}
