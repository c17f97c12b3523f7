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
    // Another program resets the card: every connection to it fails with SCARD_W_RESET_CARD until reconnected.
    void resetCard(const std::string& name);
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
    LONG reconnect(SCARDHANDLE card, DWORD& protocol) override;
    LONG disconnect(SCARDHANDLE card) override;
    LONG beginTransaction(SCARDHANDLE card) override;
    LONG endTransaction(SCARDHANDLE card) override;
    LONG transmit(SCARDHANDLE card, DWORD protocol, std::span<const std::uint8_t> apdu, Bytes& response) override;

private:
    struct Reader {
        DWORD flags = SCARD_STATE_EMPTY;
        DWORD counter = 0;
    };
    DWORD readerWord(const Reader& reader) const { return reader.flags | (reader.counter << 16); }
    void changed(); // under mutex_
    LONG cardCall(SCARDHANDLE card, std::string* reader = nullptr) const; // under mutex_

    mutable std::mutex mutex_;
    std::condition_variable cv_;
    bool running_ = true;
    bool connectFails_ = false;
    std::vector<std::string> order_;
    std::map<std::string, Reader> readers_;
    std::set<SCARDCONTEXT> contexts_;
    std::set<SCARDCONTEXT> cancelled_;
    std::map<SCARDHANDLE, std::string> cards_;
    std::set<SCARDHANDLE> reset_;
    SCARDCONTEXT nextContext_ = 100;
    SCARDHANDLE nextCard_ = 500;
    int establishCalls_ = 0;
    Responder responder_;
};
