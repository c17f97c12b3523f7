#include "fido/PcscMonitor.h"

#include "fido/PcscHelper.h"

#include <algorithm>

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
    : mngr_(std::move(manager)), cardAction_(std::move(cardAction))
{
}

PcscMonitor::~PcscMonitor()
{
    managerObservation_.reset();
    std::map<std::string, std::shared_ptr<CardHandler>> handlers;
    {
        std::lock_guard guard(queue_);
        handlers.swap(readers_);
    }
    for (auto& [name, handler] : handlers)
        handler->stop();
}

std::vector<std::string> PcscMonitor::readers()
{
    std::vector<std::string> names;
    std::lock_guard guard(queue_);
    for (const auto& [name, handler] : readers_)
        names.push_back(name);
    return names;
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
        {
            std::lock_guard guard(queue_);
            if (readers_.count(name))
                continue;
        }
        // Made outside the guard: its first slot state is handled at once, under the handler's own lock.
        auto handler = CardHandler::create(mngr_ ? mngr_->getSlotWithName(name) : nullptr, cardAction_);
        std::lock_guard guard(queue_);
        readers_.try_emplace(name, std::move(handler)); // the reader lists come one at a time
    }
}
