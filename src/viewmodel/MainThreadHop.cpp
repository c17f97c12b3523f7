#include "viewmodel/MainThreadHop.h"

#include <QSocketNotifier>
#include <QThread>

#include <sys/eventfd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <memory>

namespace {
constexpr std::chrono::milliseconds kTurn{8};
} // namespace

MainThreadHop::MainThreadHop()
    : wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      notifier_(std::make_unique<QSocketNotifier>(wake_.get(), QSocketNotifier::Read))
{
    connect(notifier_.get(), &QSocketNotifier::activated, this, &MainThreadHop::runNext);
}

MainThreadHop::~MainThreadHop() = default;

void MainThreadHop::post(std::function<void()> block)
{
    // The block goes over under our own mutex and the main thread is woken through an eventfd: no thread but the
    // main one touches Qt's own event queue, whose lock the thread sanitizer cannot see.
    {
        std::lock_guard lock(blocksMutex_);
        blocks_.push_back(std::move(block));
    }
    wake();
}

void MainThreadHop::wake()
{
    const std::uint64_t one = 1;
    while (::write(wake_.get(), &one, sizeof one) < 0 && errno == EINTR) {
    }
}

void MainThreadHop::runNext()
{
    std::uint64_t count = 0;
    if (::read(wake_.get(), &count, sizeof count) < 0)
        return;
    // The blocks that are waiting run together, for one short turn at most: the rest wait for the next turn of the
    // event loop, so the window paints and takes input between them however many come.
    const auto until = std::chrono::steady_clock::now() + kTurn;
    for (;;) {
        std::function<void()> block;
        {
            std::lock_guard lock(blocksMutex_);
            if (blocks_.empty())
                return;
            if (std::chrono::steady_clock::now() >= until) {
                wake();
                return;
            }
            block = std::move(blocks_.front());
            blocks_.pop_front();
        }
        block();
    }
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
