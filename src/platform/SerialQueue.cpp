#include "platform/SerialQueue.h"

#include <cstdio>
#include <cstdlib>

SerialQueue::SerialQueue(std::string label) : label_(std::move(label)), thread_([this] { run(); }) {}

SerialQueue::~SerialQueue()
{
    if (thread_.get_id() == std::this_thread::get_id()) {
        std::fprintf(stderr, "SerialQueue %s destroyed by one of its own blocks\n", label_.c_str());
        std::abort();
    }
    stop();
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

void SerialQueue::stop()
{
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    cv_.notify_all();
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id())
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
