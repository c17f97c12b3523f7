#pragma once

#include "platform/CardChannel.h"
#include "platform/IOReturn.h"
#include "platform/SecureBytes.h"

#include <chrono>
#include <functional>
#include <memory>
#include <span>
#include <stop_token>
#include <utility>

// The card on one reader and its session. Every card call runs on a worker thread of the card's own, because
// a call into the service cannot be cut short once it has begun (pcsc-lite waits for pcscd without a
// time-out): a card or service that stalls blocks only that worker, the caller waits with a deadline (or until
// its stop token is triggered), and an answer that arrives after its caller gave up is dropped by its sequence
// number instead of answering the next exchange. A stalled worker does not hold up the card object's end
// either. Shared by the watcher and the transport, so a session stays usable for an operation in progress.
class SmartCard {
public:
    using ChannelOpener = std::function<std::unique_ptr<CardChannel>()>;
    using SessionReply = std::function<void(bool opened)>;
    using Response = std::pair<Bytes, IOReturn>;

    explicit SmartCard(ChannelOpener opener);
    ~SmartCard();
    SmartCard(const SmartCard&) = delete;
    SmartCard& operator=(const SmartCard&) = delete;

    // Opens the session on the worker; reply runs there, with false when the card could not be reached or
    // the session was ended before it opened. Only the first call opens anything.
    void beginSession(SessionReply reply);
    // Closes the connection once the exchange in progress is over; a caller waiting for an answer is released
    // at once with kIOReturnError, and every later exchange fails the same way.
    void endSession();

    // Sends one complete APDU and waits at most timeout for the answer (status word included).
    // kIOReturnError: no open session, the service reported an error or the answer was empty;
    // kIOReturnTimeout: no answer in time; kIOReturnAborted: stop was requested first.
    // handedOver, when given, tells whether the APDU went to the service at all (an APDU given up before the
    // worker reached it never does), whatever became of its answer.
    Response transmit(std::span<const std::uint8_t> apdu, std::chrono::milliseconds timeout, std::stop_token stop = {},
                      bool* handedOver = nullptr);

    // Keeps other programs away from the card until endTransaction, so none of their commands lands between
    // two of ours. Waits at most timeout while another program keeps the card (kIOReturnTimeout); a card that
    // another program reset or powered down is connected again first, so the caller's next exchange reaches it
    // (its applet is no longer selected).
    IOReturn beginTransaction(std::chrono::milliseconds timeout, std::stop_token stop = {});
    // Does not wait: the card is let go once the exchange in progress is over.
    void endTransaction();

private:
    struct Core;
    Response exchange(bool beginTransaction, std::span<const std::uint8_t> apdu, std::chrono::milliseconds timeout,
                      std::stop_token stop, bool* handedOver = nullptr);

    std::shared_ptr<Core> core_;
};
