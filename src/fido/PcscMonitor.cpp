#include "fido/PcscMonitor.h"

#include "fido/PcscHelper.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>

// Passes the handlers' reports on to the card callback until it is closed. Closing waits for the reports under
// way to end, so the receiver may go once it returns. The callback runs outside the gate's mutex: reports of
// several readers do not wait for one another.
struct PcscMonitor::ReportGate {
    explicit ReportGate(CardAction callback) : action(std::move(callback)) {}

    void report(bool present, const std::string& reader)
    {
        {
            std::lock_guard lock(mutex);
            if (closed || !action)
                return;
            ++underWay;
        }
        action(present, reader); // not cleared while a report is under way
        std::lock_guard lock(mutex);
        if (--underWay == 0)
            idle.notify_all();
    }

    void close()
    {
        std::unique_lock lock(mutex);
        closed = true;
        idle.wait(lock, [this] { return underWay == 0; });
        action = nullptr;
    }

    std::mutex mutex;
    std::condition_variable idle;
    CardAction action;
    bool closed = false;
    int underWay = 0;
};

std::shared_ptr<PcscMonitor> PcscMonitor::create(CardAction cardAction)
{
    return create(std::move(cardAction), SmartCardSlotManager::defaultManager());
}

std::shared_ptr<PcscMonitor> PcscMonitor::create(CardAction cardAction, std::shared_ptr<SmartCardSlotManager> manager)
{
    return std::shared_ptr<PcscMonitor>(new PcscMonitor(std::move(cardAction), std::move(manager)));
}

void PcscMonitor::startWatching()
{
    if (!mngr_ || managerObservation_)
        return;
    managerObservation_ = mngr_->observeSlotNames([weak = weak_from_this()](const std::vector<std::string>& names) {
        if (auto self = weak.lock())
            self->slotNamesChanged(names);
    });
}

PcscMonitor::PcscMonitor(CardAction cardAction, std::shared_ptr<SmartCardSlotManager> manager)
    : mngr_(std::move(manager)), cardAction_(std::move(cardAction)), gate_(std::make_shared<ReportGate>(cardAction_))
{
}

void PcscMonitor::stop()
{
    managerObservation_.reset();
    gate_->close();
    stopHandlers();
}

PcscMonitor::~PcscMonitor()
{
    managerObservation_.reset();
    stopHandlers();
}

void PcscMonitor::stopHandlers()
{
    Readers handlers;
    {
        std::lock_guard guard(queue_);
        handlers.swap(readers_);
    }
    for (auto& [name, handler] : handlers)
        handler->stop();
}

PcscMonitor::Readers PcscMonitor::readers()
{
    std::lock_guard guard(queue_);
    return readers_;
}

std::shared_ptr<SmartCard> PcscMonitor::getActiveCard(const std::string& readerName)
{
    std::lock_guard guard(queue_);
    const auto it = readers_.find(readerName);
    return it == readers_.end() ? nullptr : it->second->activeCard();
}

void PcscMonitor::slotNamesChanged(const std::vector<std::string>& slotNames)
{
    std::vector<std::string> names;
    std::copy_if(slotNames.begin(), slotNames.end(), std::back_inserter(names),
                 [](const std::string& name) { return PcscHelper::isValidReaderName(name); });

    std::vector<std::shared_ptr<CardHandler>> dropped;
    {
        std::lock_guard guard(queue_);
        for (auto it = readers_.begin(); it != readers_.end();) {
            if (std::find(names.begin(), names.end(), it->first) != names.end()) {
                ++it;
                continue;
            }
            dropped.push_back(std::move(it->second));
            it = readers_.erase(it);
        }
    }
    // Normally the reader's missing state has already reported its card gone; if the watcher never saw that,
    // stopping the handler reports it now (a handler reports a card gone at most once).
    for (const auto& handler : dropped)
        handler->stop();

    for (const std::string& name : names) {
        // The handler is findable before it watches: the receiver of a card it reports at once asks for that
        // card at once.
        std::shared_ptr<CardHandler> handler;
        {
            std::lock_guard guard(queue_);
            if (readers_.count(name))
                continue;
            handler = CardHandler::createIdle(
                mngr_ ? mngr_->getSlotWithName(name) : nullptr,
                [gate = gate_](bool present, const std::string& reader) { gate->report(present, reader); });
            readers_.emplace(name, handler);
        }
        // Outside the guard: the first slot state is handled at once, under the handler's own lock. A stop that
        // took the handler meanwhile has finished it, and it then watches nothing.
        handler->observeSlot();
        if (readerWatchedHook_)
            readerWatchedHook_(name);
    }
}
