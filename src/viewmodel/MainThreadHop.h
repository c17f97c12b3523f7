#pragma once

#include "platform/UniqueFd.h"

#include <QObject>

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

class QSocketNotifier;

// Carries blocks from any thread to the thread that made it (the main thread), in the order they were posted.
// Blocks not yet run when it is destroyed are dropped with it.
class MainThreadHop : public QObject
{
    Q_OBJECT

public:
    MainThreadHop();
    ~MainThreadHop() override;

    // Queued even on the main thread, so blocks keep their order.
    void post(std::function<void()> block);

    // Runs a block on the main thread and waits for it; on the main thread it runs at once. Never called on
    // the main thread's behalf while the main thread waits for the caller. Gives up once stop() is called.
    void runSync(const std::function<void()>& block);

    // Releases every runSync caller whose block has not started, and skips such blocks from then on.
    void stop();

private:
    void wake();
    void runNext();

    UniqueFd wake_; // an eventfd counting the blocks not yet run
    std::unique_ptr<QSocketNotifier> notifier_; // goes before the eventfd it watches
    std::mutex blocksMutex_;
    std::deque<std::function<void()>> blocks_;

    std::mutex syncMutex_;
    std::condition_variable syncCv_;
    bool stopped_ = false;
};
