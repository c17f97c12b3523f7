#pragma once

#include <atomic>
#include <mutex>
#include <thread>

// A mutex named after the state it guards. Locking it again from the thread that holds it is a programming
// error (a card callback that calls back into the watcher, say): instead of a silent deadlock the process
// aborts at once with a message that names the guard.
class LabelledMutex {
public:
    explicit LabelledMutex(const char* label) : label_(label) {}
    LabelledMutex(const LabelledMutex&) = delete;
    LabelledMutex& operator=(const LabelledMutex&) = delete;

    void lock();
    void unlock();

private:
    const char* const label_;
    std::mutex mutex_;
    std::atomic<std::thread::id> holder_;
};
