#include "fido/CardHandler.h"

std::shared_ptr<CardHandler> CardHandler::create(std::shared_ptr<SmartCardSlot> slot, CardAction cardAction)
{
    std::shared_ptr<CardHandler> handler(new CardHandler(std::move(slot), std::move(cardAction)));
    handler->observeSlot();
    return handler;
}

CardHandler::CardHandler(std::shared_ptr<SmartCardSlot> slot, CardAction cardAction)
    : cardAction_(std::move(cardAction)), currentSlot_(std::move(slot))
{
}

CardHandler::~CardHandler()
{
    // Unregister before the queue goes, so no late slot change can reach a half-destroyed handler.
    slotObservation_.reset();
    queue_.stop();
    if (activeCard_)
        activeCard_->endSession();
}

std::shared_ptr<SmartCard> CardHandler::activeCard()
{
    std::shared_ptr<SmartCard> card;
    queue_.sync([&] { card = activeCard_; });
    return card;
}

bool CardHandler::isObserving()
{
    bool observing = false;
    queue_.sync([&] { observing = static_cast<bool>(slotObservation_); });
    return observing;
}

void CardHandler::observeSlot()
{
    if (!currentSlot_)
        return;
    // The observer holds the handler weakly, and the handler is kept alive by the observer's caller for the
    // length of one call, never released on its own queue.
    slotObservation_ = currentSlot_->observeState([weak = weak_from_this()](SmartCardSlotState state) {
        if (auto self = weak.lock())
            self->queue_.sync([&] { self->handleSlotState(state); });
    });
}

void CardHandler::handleSlotState(SmartCardSlotState state)
{
    if (finished_)
        return;
    switch (state) {
    case SmartCardSlotState::missing:
        cleanup();
        break;
    case SmartCardSlotState::empty:
        endActiveCard();
        break;
    case SmartCardSlotState::validCard: {
        if (activeCard_)
            break; // the same card seen valid again: its session is already under way
        activeCard_ = currentSlot_->makeSmartCard();
        if (!activeCard_)
            break;
        presentReported_ = false;
        std::weak_ptr<CardHandler> weak = weak_from_this();
        std::weak_ptr<SmartCard> weakCard = activeCard_;
        activeCard_->beginSession([weak, weakCard](bool opened) {
            auto self = weak.lock();
            auto card = weakCard.lock();
            if (self && card)
                self->queue_.sync([&] { self->sessionOpened(card, opened); });
        });
        break;
    }
    case SmartCardSlotState::probing:
    case SmartCardSlotState::muteCard:
        break;
    }
}

void CardHandler::sessionOpened(const std::shared_ptr<SmartCard>& card, bool opened)
{
    if (card != activeCard_)
        return; // that card has left, or another took its place
    if (!opened) {
        activeCard_.reset();
        return;
    }
    presentReported_ = true;
    if (cardAction_)
        cardAction_(true, readerName());
}

void CardHandler::endActiveCard()
{
    if (!activeCard_)
        return;
    activeCard_->endSession();
    activeCard_.reset();
    const bool reported = presentReported_;
    presentReported_ = false;
    if (reported && cardAction_)
        cardAction_(false, readerName());
}

void CardHandler::cleanup()
{
    endActiveCard();
    slotObservation_.reset();
    finished_ = true;
}

void CardHandler::stop()
{
    queue_.sync([this] { cleanup(); });
}

std::string CardHandler::readerName() const { return currentSlot_ ? currentSlot_->name() : std::string(); }
