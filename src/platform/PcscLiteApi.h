#pragma once

#include "platform/PcscApi.h"

// PcscApi on the pcsc-lite client library (talks to pcscd over its socket).
class PcscLiteApi : public PcscApi {
public:
    LONG establishContext(SCARDCONTEXT& context) override;
    LONG releaseContext(SCARDCONTEXT context) override;
    LONG listReaders(SCARDCONTEXT context, std::vector<std::string>& readers) override;
    LONG getStatusChange(SCARDCONTEXT context, DWORD timeoutMs, std::span<SCARD_READERSTATE> states) override;
    LONG cancel(SCARDCONTEXT context) override;
    LONG connect(SCARDCONTEXT context, const std::string& reader, SCARDHANDLE& card, DWORD& protocol) override;
    LONG reconnect(SCARDHANDLE card, DWORD& protocol) override;
    LONG disconnect(SCARDHANDLE card) override;
    LONG beginTransaction(SCARDHANDLE card) override;
    LONG endTransaction(SCARDHANDLE card) override;
    LONG transmit(SCARDHANDLE card, DWORD protocol, std::span<const std::uint8_t> apdu, Bytes& response) override;

    // Splits a PC/SC multi-string ("a\0b\0\0") into its names. Reads at most size bytes, tolerates a missing
    // final terminator and stops at the first empty name.
    static std::vector<std::string> splitMultiString(const char* data, std::size_t size);
};
