#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

// A serial work queue: one thread runs the submitted blocks one at a time, in submission order.
class SerialQueue {
public:
    explicit SerialQueue(std::string label);
    // May run on the queue's own thread (a block releasing the last owner of its queue): the thread then ends
    // as soon as that block returns, touching nothing of the queue, and is joined by the next such thread.
    ~SerialQueue();
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    const std::string& label() const { return label_; }

    // Queues a block; returns false (and drops it) once the queue is stopping.
    bool async(std::function<void()> block);
    // Runs a block on the queue and waits for it. Called from the queue's own thread it runs inline, so a
    // block can never wait for itself.
    bool sync(const std::function<void()>& block);
    bool isCurrent() const;

    // Lets the running block finish, drops the blocks not yet started and joins the thread. Idempotent. From a
    // block on the queue it only stops the queue: the thread cannot join itself, so the destructor (or a later
    // stop from another thread) joins it.
    void stop();

private:
    void run();

    const std::string label_;
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<std::function<void()>> blocks_;
    bool stopping_ = false;
    bool joinClaimed_ = false; // one caller joins; the others wait for joined_
    bool joined_ = false;
    std::thread thread_;
    const std::thread::id threadId_; // thread_ itself changes while it is joined
};
