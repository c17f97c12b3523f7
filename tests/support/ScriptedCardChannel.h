#pragma once

#include "platform/CardChannel.h"
#include "platform/SmartCard.h"

#include <functional>
#include <memory>

// A card channel whose answers come from a function of the test. An empty answer stands for an exchange the
// service could not carry out.
class ScriptedCardChannel : public CardChannel {
public:
    using Handler = std::function<Bytes(const Bytes& apdu)>;

    explicit ScriptedCardChannel(Handler handler) : handler_(std::move(handler)) {}
    LONG transmit(std::span<const std::uint8_t> apdu, Bytes& response) override;
    // No other program shares a scripted card.
    LONG reconnect() override { return SCARD_S_SUCCESS; }
    LONG beginTransaction() override { return SCARD_S_SUCCESS; }
    LONG endTransaction() override { return SCARD_S_SUCCESS; }

    // A card whose session is already open on a scripted channel.
    static std::shared_ptr<SmartCard> openCard(Handler handler);

private:
    Handler handler_;
};
