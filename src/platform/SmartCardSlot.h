#pragma once

#include "platform/Observation.h"
#include "platform/SmartCard.h"
#include "platform/SmartCardSlotState.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

class SmartCardSlotManager;

// One reader as the watcher sees it: its name and the state of what lies on it. The watcher thread moves the
// state; observers hear every change one at a time, in order.
class SmartCardSlot : public std::enable_shared_from_this<SmartCardSlot> {
public:
    using StateObserver = std::function<void(SmartCardSlotState)>;

    SmartCardSlot(std::string name, SmartCard::ChannelOpener opener);
    SmartCardSlot(const SmartCardSlot&) = delete;
    SmartCardSlot& operator=(const SmartCardSlot&) = delete;

    const std::string& name() const { return name_; }
    SmartCardSlotState state() const;

    // Registers an observer and calls it at once, on the calling thread, with the current state; later calls
    // come from the watcher thread. Changes are never delivered concurrently or out of order.
    Observation observeState(StateObserver observer);

    // A card object for what lies on the reader (its session not yet begun), or nullptr unless the slot holds a
    // valid card.
    std::shared_ptr<SmartCard> makeSmartCard() const;

private:
    friend class SmartCardSlotManager;
    // Watcher side. A swap (a new card seen where a card already was) is told as empty, then the new state.
    void setState(SmartCardSlotState state);
    void swapCard(SmartCardSlotState state);
    void notify(SmartCardSlotState state);
    void removeObserver(std::uint64_t id);

    const std::string name_;
    const SmartCard::ChannelOpener opener_;
    std::mutex notifying_; // one delivery round at a time, registration with its first call included
    mutable std::mutex mutex_;
    SmartCardSlotState state_ = SmartCardSlotState::probing;
    std::uint64_t nextObserver_ = 0;
    std::map<std::uint64_t, std::shared_ptr<StateObserver>> observers_;
};
