#pragma once

#include "platform/PcscApi.h"

#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string_view>
#include <utility>

// A scripted PC/SC service: readers come and go, cards are put on and taken off, the service stops and starts
// again. getStatusChange waits like pcscd's until something changes (which shows on the plug-and-play reader) or it
// is cancelled. A reader's state counts insertions and removals in its upper 16 bits. Every card answers 90 00
// unless a responder is set; a connection to a card that has gone since fails as pcscd's would.
class FakePcscApi : public PcscApi {
public:
    using Responder = std::function<Bytes(const std::string& reader, const Bytes& apdu)>;

    void setServiceRunning(bool running)
    {
        edit([&] {
            running_ = running;
            if (!running) {
                contexts_.clear();
                cards_.clear();
            }
        });
    }
    void addReader(const std::string& name, bool cardPresent = false, bool connectable = true)
    {
        edit([&] {
            readers_[name] = cardPresent ? SCARD_STATE_PRESENT | 1u << 16 : SCARD_STATE_EMPTY;
            if (!connectable)
                unconnectable_.insert(name);
        });
    }
    void removeReader(const std::string& name)
    {
        edit([&] {
            readers_.erase(name);
            dropCards(name);
        });
    }
    void insertCard(const std::string& name, bool mute = false)
    {
        setCard(name, SCARD_STATE_PRESENT | (mute ? SCARD_STATE_MUTE : 0), 1);
    }
    void removeCard(const std::string& name) { setCard(name, SCARD_STATE_EMPTY, 1); }
    // Takes the card off and puts one on again without the watcher being able to see the empty reader.
    void swapCard(const std::string& name) { setCard(name, SCARD_STATE_PRESENT, 2); }
    void setResponder(Responder responder)
    {
        std::lock_guard lock(mutex_);
        responder_ = std::move(responder);
    }
    // The next reader-list call fails with result, as when the service goes away just before it; the watcher is
    // woken to make that call.
    void failNextListReaders(LONG result)
    {
        edit([&] { listFailure_ = result; });
    }
    int establishCalls() const
    {
        std::lock_guard lock(mutex_);
        return establishCalls_;
    }
    int openContexts() const
    {
        std::lock_guard lock(mutex_);
        return static_cast<int>(contexts_.size());
    }

    LONG establishContext(SCARDCONTEXT& context) override
    {
        std::lock_guard lock(mutex_);
        ++establishCalls_;
        if (!running_)
            return SCARD_E_NO_SERVICE;
        contexts_.insert(context = nextContext_++);
        return SCARD_S_SUCCESS;
    }
    LONG releaseContext(SCARDCONTEXT context) override
    {
        std::lock_guard lock(mutex_);
        return contexts_.erase(context) ? SCARD_S_SUCCESS : SCARD_E_INVALID_HANDLE;
    }
    LONG listReaders(SCARDCONTEXT context, std::vector<std::string>& readers) override
    {
        std::lock_guard lock(mutex_);
        readers.clear();
        if (const LONG failure = std::exchange(listFailure_, SCARD_S_SUCCESS); failure != SCARD_S_SUCCESS)
            return failure;
        for (const auto& [name, state] : readers_)
            readers.push_back(name);
        return contexts_.count(context) ? SCARD_S_SUCCESS : SCARD_E_NO_SERVICE;
    }
    LONG getStatusChange(SCARDCONTEXT context, DWORD timeoutMs, std::span<SCARD_READERSTATE> states) override
    {
        std::unique_lock lock(mutex_);
        for (;;) {
            if (!contexts_.count(context))
                return SCARD_E_SERVICE_STOPPED;
            if (std::exchange(cancelled_, false))
                return SCARD_E_CANCELLED;
            bool any = false;
            for (SCARD_READERSTATE& state : states) {
                const auto it = readers_.find(state.szReader);
                const DWORD now = std::string_view(state.szReader) == "\\\\?PnP?\\Notification" ? changes_ << 16
                                  : it == readers_.end()                                        ? SCARD_STATE_UNKNOWN
                                                                                                : it->second;
                const bool differs = (state.dwCurrentState & ~static_cast<DWORD>(SCARD_STATE_CHANGED)) != now;
                state.dwEventState = now | (differs ? SCARD_STATE_CHANGED : 0);
                any = any || differs;
            }
            if (any || timeoutMs != INFINITE)
                return any ? SCARD_S_SUCCESS : SCARD_E_TIMEOUT;
            changed_.wait(lock);
        }
    }
    LONG cancel(SCARDCONTEXT) override
    {
        edit([&] { cancelled_ = true; });
        return SCARD_S_SUCCESS;
    }
    LONG connect(SCARDCONTEXT context, const std::string& reader, SCARDHANDLE& card, DWORD& protocol) override
    {
        std::lock_guard lock(mutex_);
        const auto it = readers_.find(reader);
        if (!contexts_.count(context) || unconnectable_.count(reader) || it == readers_.end() ||
            !(it->second & SCARD_STATE_PRESENT))
            return SCARD_E_NO_SMARTCARD;
        card = nextCard_++;
        cards_[card] = reader;
        protocol = SCARD_PROTOCOL_T1;
        return SCARD_S_SUCCESS;
    }
    LONG reconnect(SCARDHANDLE, DWORD&) override { return SCARD_S_SUCCESS; }
    LONG disconnect(SCARDHANDLE card) override
    {
        std::lock_guard lock(mutex_);
        cards_.erase(card);
        return SCARD_S_SUCCESS;
    }
    LONG beginTransaction(SCARDHANDLE) override { return SCARD_S_SUCCESS; }
    LONG endTransaction(SCARDHANDLE) override { return SCARD_S_SUCCESS; }
    LONG transmit(SCARDHANDLE card, DWORD, std::span<const std::uint8_t> apdu, Bytes& response) override
    {
        Responder responder;
        std::string reader;
        {
            std::lock_guard lock(mutex_);
            const auto it = cards_.find(card);
            if (it == cards_.end())
                return SCARD_W_REMOVED_CARD;
            reader = it->second;
            responder = responder_;
        }
        response = responder ? responder(reader, Bytes(apdu.begin(), apdu.end())) : Bytes{0x90, 0x00};
        return SCARD_S_SUCCESS;
    }

private:
    template <typename Change> void edit(Change change)
    {
        std::lock_guard lock(mutex_);
        change();
        ++changes_;
        changed_.notify_all();
    }
    // The card state of the reader changes by that many insertions and removals.
    void setCard(const std::string& name, DWORD flags, DWORD steps)
    {
        edit([&] {
            readers_.at(name) = flags | ((readers_.at(name) >> 16) + steps) << 16;
            dropCards(name);
        });
    }
    // The connections to the card of the reader end with the card.
    void dropCards(const std::string& reader)
    {
        std::erase_if(cards_, [&](const auto& card) { return card.second == reader; });
    }

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool running_ = true;
    bool cancelled_ = false; // the watcher's context, the only one waited on
    DWORD changes_ = 0;
    std::map<std::string, DWORD> readers_;
    std::set<std::string> unconnectable_;
    std::set<SCARDCONTEXT> contexts_;
    SCARDCONTEXT nextContext_ = 100;
    std::map<SCARDHANDLE, std::string> cards_; // open connections and their readers
    SCARDHANDLE nextCard_ = 500;
    Responder responder_;
    LONG listFailure_ = SCARD_S_SUCCESS;
    int establishCalls_ = 0;
};
