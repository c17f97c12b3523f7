#include "platform/PcscLiteApi.h"

#include <cstring>

namespace {

// Short APDUs answer at most 256 bytes plus the status word; extended ones up to 65,536 plus it.
constexpr std::size_t kMaxResponse = 65536 + 2;

} // namespace

std::shared_ptr<PcscApi> PcscApi::system()
{
    static const std::shared_ptr<PcscApi> api = std::make_shared<PcscLiteApi>();
    return api;
}

LONG PcscLiteApi::establishContext(SCARDCONTEXT& context)
{
    return SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context);
}

LONG PcscLiteApi::releaseContext(SCARDCONTEXT context) { return SCardReleaseContext(context); }

LONG PcscLiteApi::listReaders(SCARDCONTEXT context, std::vector<std::string>& readers)
{
    readers.clear();
    // The list can change between the size query and the read; a few rounds settle it.
    for (int round = 0; round < 4; ++round) {
        DWORD size = 0;
        LONG rv = SCardListReaders(context, nullptr, nullptr, &size);
        if (rv == SCARD_E_NO_READERS_AVAILABLE)
            return SCARD_S_SUCCESS;
        if (rv != SCARD_S_SUCCESS)
            return rv;
        std::vector<char> buffer(static_cast<std::size_t>(size) + 1, '\0');
        DWORD filled = size;
        rv = SCardListReaders(context, nullptr, buffer.data(), &filled);
        if (rv == SCARD_E_NO_READERS_AVAILABLE)
            return SCARD_S_SUCCESS;
        if (rv == SCARD_E_INSUFFICIENT_BUFFER)
            continue;
        if (rv != SCARD_S_SUCCESS)
            return rv;
        const std::size_t used = filled <= size ? static_cast<std::size_t>(filled) : static_cast<std::size_t>(size);
        readers = splitMultiString(buffer.data(), used);
        return SCARD_S_SUCCESS;
    }
    return SCARD_E_INSUFFICIENT_BUFFER;
}

LONG PcscLiteApi::getStatusChange(SCARDCONTEXT context, DWORD timeoutMs, std::span<SCARD_READERSTATE> states)
{
    return SCardGetStatusChange(context, timeoutMs, states.data(), static_cast<DWORD>(states.size()));
}

LONG PcscLiteApi::cancel(SCARDCONTEXT context) { return SCardCancel(context); }

LONG PcscLiteApi::connect(SCARDCONTEXT context, const std::string& reader, SCARDHANDLE& card, DWORD& protocol)
{
    return SCardConnect(context, reader.c_str(), SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &card,
                        &protocol);
}

LONG PcscLiteApi::reconnect(SCARDHANDLE card, DWORD& protocol)
{
    return SCardReconnect(card, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, SCARD_LEAVE_CARD, &protocol);
}

LONG PcscLiteApi::disconnect(SCARDHANDLE card) { return SCardDisconnect(card, SCARD_LEAVE_CARD); }

LONG PcscLiteApi::beginTransaction(SCARDHANDLE card) { return SCardBeginTransaction(card); }

LONG PcscLiteApi::endTransaction(SCARDHANDLE card) { return SCardEndTransaction(card, SCARD_LEAVE_CARD); }

LONG PcscLiteApi::transmit(SCARDHANDLE card, DWORD protocol, std::span<const std::uint8_t> apdu, Bytes& response)
{
    response.clear();
    const SCARD_IO_REQUEST* pci = protocol == SCARD_PROTOCOL_T0 ? SCARD_PCI_T0 : SCARD_PCI_T1;
    Bytes buffer(kMaxResponse);
    DWORD length = static_cast<DWORD>(buffer.size());
    const LONG rv =
        SCardTransmit(card, pci, apdu.data(), static_cast<DWORD>(apdu.size()), nullptr, buffer.data(), &length);
    if (rv != SCARD_S_SUCCESS)
        return rv;
    if (length > buffer.size())
        return SCARD_E_INSUFFICIENT_BUFFER;
    buffer.resize(static_cast<std::size_t>(length));
    response = std::move(buffer);
    return SCARD_S_SUCCESS;
}

std::vector<std::string> PcscLiteApi::splitMultiString(const char* data, std::size_t size)
{
    std::vector<std::string> names;
    std::size_t start = 0;
    while (start < size) {
        const void* nul = std::memchr(data + start, '\0', size - start);
        const std::size_t end = nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - data) : size;
        if (end == start)
            break; // the empty name closes the list
        names.emplace_back(data + start, end - start);
        start = end + 1;
    }
    return names;
}
