#include "fido/CardHandler.h"

#include <utility>

std::shared_ptr<CardHandler> CardHandler::create(std::shared_ptr<SmartCardSlot> slot, CardAction cardAction)
{
    std::shared_ptr<CardHandler> handler = createIdle(std::move(slot), std::move(cardAction));
    handler->observeSlot();
    return handler;
}

std::shared_ptr<CardHandler> CardHandler::createIdle(std::shared_ptr<SmartCardSlot> slot, CardAction cardAction)
{
    return std::shared_ptr<CardHandler>(new CardHandler(std::move(slot), std::move(cardAction)));
}

CardHandler::CardHandler(std::shared_ptr<SmartCardSlot> slot, CardAction cardAction)
    : cardAction_(std::move(cardAction)), currentSlot_(std::move(slot))
{
}

CardHandler::~CardHandler()
{
    // Unregister first, so no late slot change can reach a half-destroyed handler.
    slotObservation_.reset();
    if (activeCard_)
        activeCard_->endSession();
}

std::shared_ptr<SmartCard> CardHandler::activeCard() const
{
    std::lock_guard lock(mutex_);
    return activeCard_;
}

bool CardHandler::slotObservation() const
{
    std::lock_guard lock(mutex_);
    return static_cast<bool>(slotObservation_);
}

void CardHandler::observeSlot()
{
    if (!currentSlot_)
        return;
    // The observer holds the handler weakly, and the handler is kept alive by the observer's caller for the
    // length of one call.
    Observation observation = currentSlot_->observeState([weak = weak_from_this()](SmartCardSlotState state) {
        if (auto self = weak.lock()) {
            std::shared_ptr<SmartCard> dropped;
            std::lock_guard guard(self->queue_);
            dropped = self->handleSlotState(state);
        }
    });
    std::lock_guard guard(queue_);
    if (finished_)
        return;
    std::lock_guard lock(mutex_);
    std::swap(slotObservation_, observation); // one observed before is unregistered once mutex_ is let go
}

std::shared_ptr<SmartCard> CardHandler::handleSlotState(SmartCardSlotState state)
{
    if (finished_)
        return nullptr;
    switch (state) {
    case SmartCardSlotState::missing: return cleanupUnderGuard();
    case SmartCardSlotState::empty: return endActiveCard();
    case SmartCardSlotState::validCard: {
        if (activeCard_)
            break; // the same card seen valid again: its session is already under way
        std::shared_ptr<SmartCard> card = currentSlot_->makeSmartCard();
        if (!card)
            break;
        {
            std::lock_guard lock(mutex_);
            activeCard_ = card;
        }
        presentReported_ = false;
        card->beginSession([weak = weak_from_this(), weakCard = std::weak_ptr<SmartCard>(card)](bool opened) {
            auto self = weak.lock();
            auto opening = weakCard.lock();
            if (self && opening) {
                std::lock_guard guard(self->queue_);
                self->sessionOpened(opening, opened);
            }
        });
        break;
    }
    case SmartCardSlotState::probing:
    case SmartCardSlotState::muteCard: break;
    }
    return nullptr;
}

void CardHandler::sessionOpened(const std::shared_ptr<SmartCard>& card, bool opened)
{
    if (card != activeCard_)
        return; // that card has left, or another took its place
    if (!opened) {
        std::lock_guard lock(mutex_);
        activeCard_.reset(); // released by the reply's caller, the card's own worker
        return;
    }
    presentReported_ = true;
    report(true);
}

std::shared_ptr<SmartCard> CardHandler::endActiveCard()
{
    std::shared_ptr<SmartCard> card;
    {
        std::lock_guard lock(mutex_);
        card = std::move(activeCard_);
    }
    if (!card)
        return nullptr;
    card->endSession();
    if (std::exchange(presentReported_, false))
        report(false);
    return card;
}

std::shared_ptr<SmartCard> CardHandler::cleanupUnderGuard()
{
    std::shared_ptr<SmartCard> card = endActiveCard();
    Observation observation;
    {
        std::lock_guard lock(mutex_);
        std::swap(slotObservation_, observation);
    }
    observation.reset();
    finished_ = true;
    return card;
}

void CardHandler::cleanup()
{
    std::shared_ptr<SmartCard> dropped;
    std::lock_guard guard(queue_);
    dropped = cleanupUnderGuard();
}

void CardHandler::stop()
{
    cleanup();
}

void CardHandler::report(bool present)
{
    if (cardAction_)
        cardAction_(present, readerName());
}

std::string CardHandler::readerName() const { return currentSlot_ ? currentSlot_->name() : std::string(); }
