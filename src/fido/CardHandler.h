#pragma once

#include "platform/LabelledMutex.h"
#include "platform/Observation.h"
#include "platform/SmartCard.h"
#include "platform/SmartCardSlot.h"

#include <functional>
#include <memory>
#include <mutex>
#include <string>

// Follows the slot of one reader: opens a session on a card that becomes valid and reports it present, and
// reports it gone when it leaves, through the card callback (present, reader name).
//
// Slot states, session replies and stop are handled one at a time under the handler's guard, their reports
// included, so the callback hears them in order and never two at once. The callback runs with that guard held
// and nothing else of the watcher's: it may ask the monitor for a card, but must hand any other work to its own
// queue and return (calling back into this handler aborts, see LabelledMutex).
class CardHandler : public std::enable_shared_from_this<CardHandler> {
public:
    using CardAction = std::function<void(bool present, const std::string& readerName)>;

    // A handler that already watches its slot (a card lying on the reader is found at once). Without a slot it
    // watches nothing.
    static std::shared_ptr<CardHandler> create(std::shared_ptr<SmartCardSlot> slot, CardAction cardAction);
    // A handler that watches nothing until observeSlot, for an owner that must be able to find it before it can
    // report a card.
    static std::shared_ptr<CardHandler> createIdle(std::shared_ptr<SmartCardSlot> slot, CardAction cardAction);
    // Drops the watching and the session without a report.
    ~CardHandler();
    CardHandler(const CardHandler&) = delete;
    CardHandler& operator=(const CardHandler&) = delete;

    const CardAction& cardAction() const { return cardAction_; }
    std::shared_ptr<SmartCardSlot> currentSlot() const { return currentSlot_; }
    // The card while one is valid on the reader and its session is open or opening.
    std::shared_ptr<SmartCard> activeCard() const;
    // Whether the slot's state is being watched: from observeSlot (with a slot) until cleanup.
    bool slotObservation() const;

    // Starts watching the slot; its current state is handled before this returns. Does nothing once the
    // handler is cleaned up, so a stop that comes first stays final.
    void observeSlot();
    // Ends the session, reports the card gone (if it was reported present) and stops watching, for good.
    void cleanup();
    // cleanup, for an owner that lets the handler go.
    void stop();

private:
    CardHandler(std::shared_ptr<SmartCardSlot> slot, CardAction cardAction);
    // Under queue_. Each returns the card it let go, to be released once queue_ is: a card's end may wait
    // for its worker, which may be waiting for queue_ with a session reply.
    std::shared_ptr<SmartCard> handleSlotState(SmartCardSlotState state);
    void sessionOpened(const std::shared_ptr<SmartCard>& card, bool opened);
    std::shared_ptr<SmartCard> cleanupUnderGuard();
    std::shared_ptr<SmartCard> endActiveCard();
    void report(bool present);
    std::string readerName() const;

    const CardAction cardAction_;
    const std::shared_ptr<SmartCardSlot> currentSlot_;
    LabelledMutex queue_{"thread-safe-cardHandler"};
    // Under queue_.
    bool presentReported_ = false;
    bool finished_ = false;
    // Under queue_ and mutex_ to change, under mutex_ alone to read.
    mutable std::mutex mutex_;
    std::shared_ptr<SmartCard> activeCard_;
    Observation slotObservation_;
};
