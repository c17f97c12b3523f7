#include "platform/PcscCardChannel.h"

PcscCardChannel::~PcscCardChannel()
{
    if (connected_)
        context_.api()->disconnect(card_);
}

std::unique_ptr<PcscCardChannel> PcscCardChannel::open(std::shared_ptr<PcscApi> api, const std::string& reader,
                                                       LONG& error)
{
    std::unique_ptr<PcscCardChannel> channel(new PcscCardChannel());
    error = channel->context_.establish(std::move(api));
    if (error != SCARD_S_SUCCESS)
        return nullptr;
    SCARDHANDLE card = 0;
    DWORD protocol = 0;
    error = channel->context_.api()->connect(channel->context_.get(), reader, card, protocol);
    if (error != SCARD_S_SUCCESS)
        return nullptr;
    channel->card_ = card;
    channel->protocol_ = protocol;
    channel->connected_ = true;
    return channel;
}

LONG PcscCardChannel::transmit(std::span<const std::uint8_t> apdu, Bytes& response)
{
    return context_.api()->transmit(card_, protocol_, apdu, response);
}

LONG PcscCardChannel::reconnect() { return context_.api()->reconnect(card_, protocol_); }

LONG PcscCardChannel::beginTransaction() { return context_.api()->beginTransaction(card_); }

LONG PcscCardChannel::endTransaction() { return context_.api()->endTransaction(card_); }
