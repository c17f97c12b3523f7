#pragma once

#include "platform/CardChannel.h"
#include "platform/SmartCard.h"

#include <functional>
#include <future>
#include <memory>

// A card channel answering through a function of the test (an empty answer: the exchange failed). A transaction
// is granted at once, unless a function of the test handles its beginning (true) and end (false).
class ScriptedCardChannel : public CardChannel {
public:
    using Handler = std::function<Bytes(const Bytes& apdu)>;
    using Transactions = std::function<LONG(bool begin)>;

    explicit ScriptedCardChannel(Handler handler, Transactions transactions = {})
        : handler_(std::move(handler)), transactions_(std::move(transactions))
    {
    }
    LONG transmit(std::span<const std::uint8_t> apdu, Bytes& response) override
    {
        response = handler_(Bytes(apdu.begin(), apdu.end()));
        return response.empty() ? SCARD_E_NOT_TRANSACTED : SCARD_S_SUCCESS;
    }
    LONG reconnect() override { return SCARD_S_SUCCESS; }
    LONG beginTransaction() override { return transactions_ ? transactions_(true) : SCARD_S_SUCCESS; }
    LONG endTransaction() override { return transactions_ ? transactions_(false) : SCARD_S_SUCCESS; }

    // Answers an APDU with itself and 90 00.
    static Bytes echo(const Bytes& apdu)
    {
        Bytes reply = apdu;
        reply.insert(reply.end(), {0x90, 0x00});
        return reply;
    }
    // A card whose session is open on a scripted channel.
    static std::shared_ptr<SmartCard> openCard(Handler handler, Transactions transactions = {})
    {
        auto card =
            std::make_shared<SmartCard>([=] { return std::make_unique<ScriptedCardChannel>(handler, transactions); });
        auto opened = std::make_shared<std::promise<bool>>();
        card->beginSession([opened](bool ok) { opened->set_value(ok); });
        return opened->get_future().get() ? card : nullptr;
    }

private:
    Handler handler_;
    Transactions transactions_;
};
