#include "platform/SmartCardSlot.h"

#include <vector>

SmartCardSlot::SmartCardSlot(std::string name, SmartCard::ChannelOpener opener)
    : name_(std::move(name)), opener_(std::move(opener))
{
}

SmartCardSlotState SmartCardSlot::state() const
{
    std::lock_guard lock(mutex_);
    return state_;
}

Observation SmartCardSlot::observeState(StateObserver observer)
{
    auto shared = std::make_shared<StateObserver>(std::move(observer));
    std::lock_guard round(notifying_);
    std::uint64_t id = 0;
    SmartCardSlotState current;
    {
        std::lock_guard lock(mutex_);
        id = ++nextObserver_;
        observers_[id] = shared;
        current = state_;
    }
    (*shared)(current);
    return Observation([weak = weak_from_this(), id] {
        if (auto slot = weak.lock())
            slot->removeObserver(id);
    });
}

std::shared_ptr<SmartCard> SmartCardSlot::makeSmartCard() const
{
    if (state() != SmartCardSlotState::validCard)
        return nullptr;
    return std::make_shared<SmartCard>(opener_);
}

void SmartCardSlot::setState(SmartCardSlotState state)
{
    std::lock_guard round(notifying_);
    {
        std::lock_guard lock(mutex_);
        if (state_ == state)
            return;
        state_ = state;
    }
    notify(state);
}

void SmartCardSlot::swapCard(SmartCardSlotState state)
{
    std::lock_guard round(notifying_);
    {
        std::lock_guard lock(mutex_);
        state_ = SmartCardSlotState::empty;
    }
    notify(SmartCardSlotState::empty);
    {
        std::lock_guard lock(mutex_);
        state_ = state;
    }
    notify(state);
}

void SmartCardSlot::notify(SmartCardSlotState state)
{
    std::vector<std::shared_ptr<StateObserver>> observers;
    {
        std::lock_guard lock(mutex_);
        for (const auto& [id, observer] : observers_)
            observers.push_back(observer);
    }
    for (const auto& observer : observers)
        (*observer)(state);
}

void SmartCardSlot::removeObserver(std::uint64_t id)
{
    std::lock_guard lock(mutex_);
    observers_.erase(id);
}
