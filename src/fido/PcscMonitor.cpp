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
    queue_.sync([this] {
        for (auto& [name, handler] : readers_)
            handler->stop();
        readers_.clear();
    });
    queue_.stop();
}

std::vector<std::string> PcscMonitor::readers()
{
    std::vector<std::string> names;
    queue_.sync([&] {
        for (const auto& [name, handler] : readers_)
            names.push_back(name);
    });
    return names;
}

std::shared_ptr<SmartCard> PcscMonitor::getActiveCard(const std::string& readerName)
{
    std::shared_ptr<SmartCard> card;
    queue_.sync([&] {
        const auto it = readers_.find(readerName);
        if (it != readers_.end())
            card = it->second->activeCard();
    });
    return card;
}

void PcscMonitor::slotNamesChanged(const std::vector<std::string>& slotNames)
{
    std::vector<std::string> names;
    std::copy_if(slotNames.begin(), slotNames.end(), std::back_inserter(names),
                 [](const std::string& name) { return PcscHelper::isValidReaderName(name); });

    queue_.sync([&] {
        for (auto it = readers_.begin(); it != readers_.end();) {
            if (std::find(names.begin(), names.end(), it->first) != names.end()) {
                ++it;
                continue;
            }
            // Normally the reader's missing state has already reported its card gone; if the watcher never saw
            // that, stopping the handler reports it now (a handler reports a card gone at most once).
            it->second->stop();
            it = readers_.erase(it);
        }
    });
    for (const std::string& name : names) {
        bool known = false;
        queue_.sync([&] { known = readers_.count(name) != 0; });
        if (known)
            continue;
        std::shared_ptr<SmartCardSlot> slot = mngr_ ? mngr_->getSlotWithName(name) : nullptr;
        queue_.sync([&] {
            // Two list changes can both ask for the slot of a new reader; only the first reply gets a handler.
            if (!readers_.count(name))
                readers_.emplace(name, CardHandler::create(slot, cardAction_));
        });
    }
}
