#pragma once

#include "platform/SecureBytes.h"

#include <PCSC/winscard.h>
#include <PCSC/wintypes.h>

#include <memory>
#include <span>
#include <string>
#include <vector>

// The handful of PC/SC calls the card watching and the card sessions make. The system implementation calls
// pcsc-lite; tests put a scripted service behind it to provoke what a live pcscd cannot (a service that
// stops, a reader that vanishes, a card swapped between two polls).
class PcscApi {
public:
    virtual ~PcscApi() = default;

    virtual LONG establishContext(SCARDCONTEXT& context) = 0;
    virtual LONG releaseContext(SCARDCONTEXT context) = 0;
    // No reader at all is success with an empty list.
    virtual LONG listReaders(SCARDCONTEXT context, std::vector<std::string>& readers) = 0;
    virtual LONG getStatusChange(SCARDCONTEXT context, DWORD timeoutMs, std::span<SCARD_READERSTATE> states) = 0;
    // Ends a getStatusChange blocked on the context; safe from any thread.
    virtual LONG cancel(SCARDCONTEXT context) = 0;
    virtual LONG connect(SCARDCONTEXT context, const std::string& reader, SCARDHANDLE& card, DWORD& protocol) = 0;
    // Acknowledges a reset or power-down by another program, leaving the card as it is.
    virtual LONG reconnect(SCARDHANDLE card, DWORD& protocol) = 0;
    virtual LONG disconnect(SCARDHANDLE card) = 0;
    // Exclusive use of the card against every other connection; begin blocks while another one holds it.
    virtual LONG beginTransaction(SCARDHANDLE card) = 0;
    virtual LONG endTransaction(SCARDHANDLE card) = 0;
    virtual LONG transmit(SCARDHANDLE card, DWORD protocol, std::span<const std::uint8_t> apdu, Bytes& response) = 0;

    // The pcsc-lite client library.
    static std::shared_ptr<PcscApi> system();
};
