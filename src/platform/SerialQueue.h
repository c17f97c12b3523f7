#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

// A serial work queue: one thread runs the submitted blocks one at a time, in submission order. Used by its
// owner's thread only, but for async, which any thread may call.
class SerialQueue {
public:
    explicit SerialQueue(std::string label);
    // Stops the queue. Destroying it from one of its own blocks (the thread cannot join itself) is a
    // programming error: the process aborts at once with a message that names the queue.
    ~SerialQueue();
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    // Queues a block; returns false (and drops it) once the queue is stopping.
    bool async(std::function<void()> block);

    // Lets the running block finish, drops the blocks not yet started and joins the thread. Idempotent. From a
    // block on the queue it only stops the queue; the owner's destructor joins the thread.
    void stop();

private:
    void run();

    const std::string label_;
    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<std::function<void()>> blocks_;
    bool stopping_ = false;
    std::thread thread_;
};
