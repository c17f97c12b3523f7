#pragma once

#include "platform/CardChannel.h"
#include "platform/ScardContext.h"

#include <memory>
#include <string>

// A shared connection to the card of one reader, on a context of its own so a slow card never holds up the
// reader watching or another card. Disconnects leaving the card as it is.
class PcscCardChannel : public CardChannel {
public:
    ~PcscCardChannel() override;
    PcscCardChannel(const PcscCardChannel&) = delete;
    PcscCardChannel& operator=(const PcscCardChannel&) = delete;

    // Connects to the card of reader; nullptr (with the PC/SC result in error) when that fails.
    static std::unique_ptr<PcscCardChannel> open(std::shared_ptr<PcscApi> api, const std::string& reader,
                                                 LONG& error);

    LONG transmit(std::span<const std::uint8_t> apdu, Bytes& response) override;
    LONG reconnect() override;
    LONG beginTransaction() override;
    LONG endTransaction() override;

private:
    PcscCardChannel() = default;

    ScardContext context_;
    SCARDHANDLE card_ = 0;
    DWORD protocol_ = 0;
    bool connected_ = false;
};
