#include "viewmodel/MainThreadHop.h"

#include <QMetaObject>
#include <QThread>

#include <memory>

void MainThreadHop::post(std::function<void()> block)
{
    // The block goes over under our own mutex and the queued call carries nothing: a hand-over inside Qt's event
    // queue is invisible to the thread sanitizer, which would take every block run on the main thread for a race.
    {
        std::lock_guard lock(blocksMutex_);
        blocks_.push_back(std::move(block));
    }
    QMetaObject::invokeMethod(this, "runNext", Qt::QueuedConnection);
}

void MainThreadHop::runNext()
{
    std::function<void()> block;
    {
        std::lock_guard lock(blocksMutex_);
        if (blocks_.empty())
            return;
        block = std::move(blocks_.front());
        blocks_.pop_front();
    }
    block();
}

void MainThreadHop::runSync(const std::function<void()>& block)
{
    if (QThread::currentThread() == thread()) {
        block();
        return;
    }
    // The block may reach into the waiting caller's frame, so it either runs while the caller waits or not at
    // all: once stopped, a block that has not started is skipped and the caller stops waiting.
    struct Hop {
        bool started = false;
        bool done = false;
    };
    auto hop = std::make_shared<Hop>();
    post([this, block, hop] {
        {
            std::lock_guard lock(syncMutex_);
            if (stopped_)
                return;
            hop->started = true;
        }
        block();
        {
            std::lock_guard lock(syncMutex_);
            hop->done = true;
        }
        syncCv_.notify_all();
    });
    std::unique_lock lock(syncMutex_);
    syncCv_.wait(lock, [&] { return hop->done || (stopped_ && !hop->started); });
}

void MainThreadHop::stop()
{
    {
        std::lock_guard lock(syncMutex_);
        stopped_ = true;
    }
    syncCv_.notify_all();
}
