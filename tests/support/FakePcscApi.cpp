#include "support/FakePcscApi.h"

#include <algorithm>
#include <chrono>
#include <cstring>

void FakePcscApi::changed() { cv_.notify_all(); }

void FakePcscApi::setServiceRunning(bool running)
{
    std::lock_guard lock(mutex_);
    running_ = running;
    if (!running) {
        contexts_.clear();
        cards_.clear();
    }
    changed();
}

void FakePcscApi::addReader(const std::string& name, bool cardPresent)
{
    std::lock_guard lock(mutex_);
    if (!readers_.count(name))
        order_.push_back(name);
    Reader& reader = readers_[name];
    reader.flags = cardPresent ? SCARD_STATE_PRESENT : SCARD_STATE_EMPTY;
    reader.counter = cardPresent ? 1 : 0;
    changed();
}

void FakePcscApi::removeReader(const std::string& name)
{
    std::lock_guard lock(mutex_);
    readers_.erase(name);
    order_.erase(std::remove(order_.begin(), order_.end(), name), order_.end());
    changed();
}

void FakePcscApi::insertCard(const std::string& name, bool mute)
{
    std::lock_guard lock(mutex_);
    Reader& reader = readers_.at(name);
    reader.flags = SCARD_STATE_PRESENT | (mute ? SCARD_STATE_MUTE : 0);
    ++reader.counter;
    changed();
}

void FakePcscApi::removeCard(const std::string& name)
{
    std::lock_guard lock(mutex_);
    Reader& reader = readers_.at(name);
    reader.flags = SCARD_STATE_EMPTY;
    ++reader.counter;
    for (auto it = cards_.begin(); it != cards_.end();)
        it = it->second == name ? cards_.erase(it) : std::next(it);
    changed();
}

void FakePcscApi::swapCard(const std::string& name)
{
    std::lock_guard lock(mutex_);
    Reader& reader = readers_.at(name);
    reader.flags = SCARD_STATE_PRESENT;
    reader.counter += 2;
    for (auto it = cards_.begin(); it != cards_.end();)
        it = it->second == name ? cards_.erase(it) : std::next(it);
    changed();
}

void FakePcscApi::setResponder(Responder responder)
{
    std::lock_guard lock(mutex_);
    responder_ = std::move(responder);
}

void FakePcscApi::setConnectFails(bool fails)
{
    std::lock_guard lock(mutex_);
    connectFails_ = fails;
}

int FakePcscApi::establishCalls() const
{
    std::lock_guard lock(mutex_);
    return establishCalls_;
}

int FakePcscApi::openContexts() const
{
    std::lock_guard lock(mutex_);
    return static_cast<int>(contexts_.size());
}

LONG FakePcscApi::establishContext(SCARDCONTEXT& context)
{
    std::lock_guard lock(mutex_);
    ++establishCalls_;
    if (!running_)
        return SCARD_E_NO_SERVICE;
    context = nextContext_++;
    contexts_.insert(context);
    return SCARD_S_SUCCESS;
}

LONG FakePcscApi::releaseContext(SCARDCONTEXT context)
{
    std::lock_guard lock(mutex_);
    cancelled_.erase(context);
    return contexts_.erase(context) ? SCARD_S_SUCCESS : SCARD_E_INVALID_HANDLE;
}

LONG FakePcscApi::listReaders(SCARDCONTEXT context, std::vector<std::string>& readers)
{
    std::lock_guard lock(mutex_);
    if (!running_ || !contexts_.count(context))
        return SCARD_E_NO_SERVICE;
    readers = order_;
    return SCARD_S_SUCCESS;
}

LONG FakePcscApi::getStatusChange(SCARDCONTEXT context, DWORD timeoutMs, std::span<SCARD_READERSTATE> states)
{
    std::unique_lock lock(mutex_);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (!running_ || !contexts_.count(context))
            return SCARD_E_SERVICE_STOPPED;
        if (cancelled_.erase(context))
            return SCARD_E_CANCELLED;
        bool any = false;
        for (SCARD_READERSTATE& state : states) {
            DWORD now = 0;
            if (std::strcmp(state.szReader, "\\\\?PnP?\\Notification") == 0) {
                now = static_cast<DWORD>(readers_.size()) << 16;
            } else {
                const auto it = readers_.find(state.szReader);
                now = it == readers_.end() ? SCARD_STATE_UNKNOWN : readerWord(it->second);
            }
            const bool differs = state.dwCurrentState == SCARD_STATE_UNAWARE ||
                                 (state.dwCurrentState & ~static_cast<DWORD>(SCARD_STATE_CHANGED)) != now;
            state.dwEventState = now | (differs ? SCARD_STATE_CHANGED : 0);
            any = any || differs;
        }
        if (any)
            return SCARD_S_SUCCESS;
        if (timeoutMs == INFINITE)
            cv_.wait(lock);
        else if (cv_.wait_until(lock, deadline) == std::cv_status::timeout)
            return SCARD_E_TIMEOUT;
    }
}

LONG FakePcscApi::cancel(SCARDCONTEXT context)
{
    std::lock_guard lock(mutex_);
    if (!contexts_.count(context))
        return SCARD_E_INVALID_HANDLE;
    cancelled_.insert(context);
    changed();
    return SCARD_S_SUCCESS;
}

LONG FakePcscApi::connect(SCARDCONTEXT context, const std::string& reader, SCARDHANDLE& card, DWORD& protocol)
{
    std::lock_guard lock(mutex_);
    if (!running_ || !contexts_.count(context))
        return SCARD_E_NO_SERVICE;
    if (connectFails_)
        return SCARD_E_PROTO_MISMATCH;
    const auto it = readers_.find(reader);
    if (it == readers_.end())
        return SCARD_E_UNKNOWN_READER;
    if (!(it->second.flags & SCARD_STATE_PRESENT))
        return SCARD_E_NO_SMARTCARD;
    card = nextCard_++;
    protocol = SCARD_PROTOCOL_T1;
    cards_[card] = reader;
    return SCARD_S_SUCCESS;
}

LONG FakePcscApi::disconnect(SCARDHANDLE card)
{
    std::lock_guard lock(mutex_);
    return cards_.erase(card) ? SCARD_S_SUCCESS : SCARD_E_INVALID_HANDLE;
}

LONG FakePcscApi::transmit(SCARDHANDLE card, DWORD, std::span<const std::uint8_t> apdu, Bytes& response)
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
