#pragma once

#include "platform/PcscApi.h"

#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

// A scripted PC/SC service for tests: readers come and go, cards are put on and taken off, the service stops
// and starts again, all from the test. getStatusChange blocks like pcscd's until something changes, the
// timeout passes or it is cancelled. Reader states carry an insert/remove counter in their upper 16 bits.
class FakePcscApi : public PcscApi {
public:
    using Responder = std::function<Bytes(const std::string& reader, const Bytes& apdu)>;

    // Scripting.
    void setServiceRunning(bool running);
    void addReader(const std::string& name, bool cardPresent = false);
    void removeReader(const std::string& name);
    void insertCard(const std::string& name, bool mute = false);
    void removeCard(const std::string& name);
    // Takes the card off and puts one on again without the watcher being able to see the empty reader.
    void swapCard(const std::string& name);
    void setResponder(Responder responder);
    void setConnectFails(bool fails);

    int establishCalls() const;
    int openContexts() const;

    LONG establishContext(SCARDCONTEXT& context) override;
    LONG releaseContext(SCARDCONTEXT context) override;
    LONG listReaders(SCARDCONTEXT context, std::vector<std::string>& readers) override;
    LONG getStatusChange(SCARDCONTEXT context, DWORD timeoutMs, std::span<SCARD_READERSTATE> states) override;
    LONG cancel(SCARDCONTEXT context) override;
    LONG connect(SCARDCONTEXT context, const std::string& reader, SCARDHANDLE& card, DWORD& protocol) override;
    LONG disconnect(SCARDHANDLE card) override;
    // Nobody else resets a scripted card or keeps it in a transaction.
    LONG reconnect(SCARDHANDLE, DWORD& protocol) override
    {
        protocol = SCARD_PROTOCOL_T1;
        return SCARD_S_SUCCESS;
    }
    LONG beginTransaction(SCARDHANDLE) override { return SCARD_S_SUCCESS; }
    LONG endTransaction(SCARDHANDLE) override { return SCARD_S_SUCCESS; }
    LONG transmit(SCARDHANDLE card, DWORD protocol, std::span<const std::uint8_t> apdu, Bytes& response) override;

private:
    struct Reader {
        DWORD flags = SCARD_STATE_EMPTY;
        DWORD counter = 0;
    };
    DWORD readerWord(const Reader& reader) const { return reader.flags | (reader.counter << 16); }
    void changed(); // under mutex_

    mutable std::mutex mutex_;
    std::condition_variable cv_;
    bool running_ = true;
    bool connectFails_ = false;
    std::vector<std::string> order_;
    std::map<std::string, Reader> readers_;
    std::set<SCARDCONTEXT> contexts_;
    std::set<SCARDCONTEXT> cancelled_;
    std::map<SCARDHANDLE, std::string> cards_;
    SCARDCONTEXT nextContext_ = 100;
    SCARDHANDLE nextCard_ = 500;
    int establishCalls_ = 0;
    Responder responder_;
};
