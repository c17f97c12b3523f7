#include "platform/LabelledMutex.h"

#include <cstdio>
#include <cstdlib>

void LabelledMutex::lock()
{
    // Only this thread can have stored its own id, so a stale read cannot look like it.
    if (holder_.load(std::memory_order_relaxed) == std::this_thread::get_id()) {
        std::fprintf(stderr, "%s locked again by the thread that holds it\n", label_);
        std::abort();
    }
    mutex_.lock();
    holder_.store(std::this_thread::get_id(), std::memory_order_relaxed);
}

void LabelledMutex::unlock()
{
    holder_.store(std::thread::id(), std::memory_order_relaxed);
    mutex_.unlock();
}
