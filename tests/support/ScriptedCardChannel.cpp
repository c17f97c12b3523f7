#include "support/ScriptedCardChannel.h"

#include <future>

LONG ScriptedCardChannel::transmit(std::span<const std::uint8_t> apdu, Bytes& response)
{
    response = handler_ ? handler_(Bytes(apdu.begin(), apdu.end())) : Bytes{};
    return response.empty() ? SCARD_E_NOT_TRANSACTED : SCARD_S_SUCCESS;
}

std::shared_ptr<SmartCard> ScriptedCardChannel::openCard(Handler handler)
{
    auto opener = [handler = std::move(handler)]() -> std::unique_ptr<CardChannel> {
        return std::make_unique<ScriptedCardChannel>(handler);
    };
    auto card = std::make_shared<SmartCard>(std::move(opener));
    auto opened = std::make_shared<std::promise<bool>>();
    auto result = opened->get_future();
    card->beginSession([opened](bool ok) { opened->set_value(ok); });
    return result.get() ? card : nullptr;
}
