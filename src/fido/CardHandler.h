#pragma once

#include "platform/Observation.h"
#include "platform/SerialQueue.h"
#include "platform/SmartCard.h"
#include "platform/SmartCardSlot.h"

#include <functional>
#include <memory>
#include <string>

// Follows the slot of one reader: opens a session on a card that becomes valid and reports it present, and
// reports it gone when it leaves, through the card callback (present, reader name).
class CardHandler : public std::enable_shared_from_this<CardHandler> {
public:
    using CardAction = std::function<void(bool present, const std::string& readerName)>;

    // A handler that already watches its slot (a card lying on the reader is found at once). Without a slot it
    // watches nothing.
    static std::shared_ptr<CardHandler> create(std::shared_ptr<SmartCardSlot> slot, CardAction cardAction);
    ~CardHandler();
    CardHandler(const CardHandler&) = delete;
    CardHandler& operator=(const CardHandler&) = delete;

    const CardAction& cardAction() const { return cardAction_; }
    std::shared_ptr<SmartCardSlot> currentSlot() const { return currentSlot_; }
    // The card while one is valid on the reader and its session is open or opening.
    std::shared_ptr<SmartCard> activeCard();
    bool isObserving();

    void observeSlot();
    // Ends the session, reports the card gone (if it was reported present) and stops watching.
    void cleanup();
    // cleanup, on the handler's queue.
    void stop();

private:
    CardHandler(std::shared_ptr<SmartCardSlot> slot, CardAction cardAction);
    void handleSlotState(SmartCardSlotState state);
    void sessionOpened(const std::shared_ptr<SmartCard>& card, bool opened);
    void endActiveCard();
    std::string readerName() const;

    const CardAction cardAction_;
    const std::shared_ptr<SmartCardSlot> currentSlot_;
    // Queue state: touched only on queue_.
    std::shared_ptr<SmartCard> activeCard_;
    bool presentReported_ = false;
    bool finished_ = false;
    Observation slotObservation_;
    SerialQueue queue_{"thread-safe-cardHandler"};
};
