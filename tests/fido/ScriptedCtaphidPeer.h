#pragma once

#include "platform/SecureBytes.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

// The key's side of a socket-pair HID device, driven step by step by a test: it reads the host's output
// reports and sends whatever input reports the test scripts, well-formed or not.
class ScriptedCtaphidPeer {
public:
    struct Request {
        std::uint32_t cid = 0;
        std::uint8_t cmd = 0; // without the initialisation bit
        Bytes data;
    };

    explicit ScriptedCtaphidPeer(int fd) : fd_(fd) {}

    // The next output report without its report ID (64 bytes), or nothing by the deadline. A datagram that is not
    // report ID 0 followed by 64 bytes fails the test.
    std::optional<Bytes> readReport(std::chrono::milliseconds timeout = std::chrono::seconds(3))
    {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(timeout.count())) <= 0 || !(p.revents & POLLIN))
            return std::nullopt;
        std::uint8_t buffer[128];
        const ssize_t n = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n != 65 || buffer[0] != 0) {
            lastDatagramSize_ = static_cast<int>(n);
            return std::nullopt;
        }
        return Bytes(buffer + 1, buffer + 65);
    }

    // One whole request: the initialisation packet and as many continuation packets as its length needs.
    std::optional<Request> readRequest(std::chrono::milliseconds timeout = std::chrono::seconds(3))
    {
        auto first = readReport(timeout);
        if (!first || !((*first)[4] & 0x80))
            return std::nullopt;
        Request request;
        request.cid = cidOf(*first);
        request.cmd = static_cast<std::uint8_t>((*first)[4] & 0x7F);
        const std::size_t length = static_cast<std::size_t>(((*first)[5] << 8) | (*first)[6]);
        request.data.assign(first->begin() + 7,
                            first->begin() + 7 + static_cast<long>(std::min<std::size_t>(length, 57)));
        for (std::uint8_t seq = 0; request.data.size() < length; ++seq) {
            auto next = readReport(timeout);
            if (!next || cidOf(*next) != request.cid || (*next)[4] != seq)
                return std::nullopt;
            const std::size_t take = std::min<std::size_t>(length - request.data.size(), 59);
            request.data.insert(request.data.end(), next->begin() + 5, next->begin() + 5 + static_cast<long>(take));
        }
        return request;
    }

    // Sends one input report exactly as given (no padding).
    bool sendRaw(const Bytes& report)
    {
        return ::send(fd_, report.data(), report.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(report.size());
    }

    // Sends one input report padded to 64 bytes, as a key does.
    bool send(Bytes report)
    {
        report.resize(std::max<std::size_t>(report.size(), 64), 0);
        return sendRaw(report);
    }

    static Bytes header(std::uint32_t cid, std::uint8_t byte4)
    {
        return {static_cast<std::uint8_t>(cid >> 24), static_cast<std::uint8_t>(cid >> 16),
                static_cast<std::uint8_t>(cid >> 8), static_cast<std::uint8_t>(cid), byte4};
    }

    static Bytes initPacket(std::uint32_t cid, std::uint8_t cmd, std::uint16_t declared, const Bytes& payload)
    {
        Bytes p = header(cid, static_cast<std::uint8_t>(cmd | 0x80));
        p.push_back(static_cast<std::uint8_t>(declared >> 8));
        p.push_back(static_cast<std::uint8_t>(declared & 0xFF));
        p.insert(p.end(), payload.begin(), payload.end());
        return p;
    }

    static Bytes contPacket(std::uint32_t cid, std::uint8_t seq, const Bytes& payload)
    {
        Bytes p = header(cid, seq);
        p.insert(p.end(), payload.begin(), payload.end());
        return p;
    }

    // A whole answer, framed as a key frames it.
    void sendMessage(std::uint32_t cid, std::uint8_t cmd, const Bytes& data)
    {
        const std::size_t firstTake = std::min<std::size_t>(data.size(), 57);
        send(initPacket(cid, cmd, static_cast<std::uint16_t>(data.size()),
                        Bytes(data.begin(), data.begin() + static_cast<long>(firstTake))));
        std::size_t offset = firstTake;
        for (std::uint8_t seq = 0; offset < data.size(); ++seq) {
            const std::size_t take = std::min<std::size_t>(data.size() - offset, 59);
            send(contPacket(
                cid, seq,
                Bytes(data.begin() + static_cast<long>(offset), data.begin() + static_cast<long>(offset + take))));
            offset += take;
        }
    }

    void keepalive(std::uint32_t cid, std::uint8_t status) { send(initPacket(cid, 0x3B, 1, {status})); }
    void error(std::uint32_t cid, std::uint8_t code) { send(initPacket(cid, 0x3F, 1, {code})); }

    int lastDatagramSize() const { return lastDatagramSize_; }

private:
    static std::uint32_t cidOf(const Bytes& r)
    {
        return (std::uint32_t{r[0]} << 24) | (std::uint32_t{r[1]} << 16) | (std::uint32_t{r[2]} << 8) | r[3];
    }

    int fd_;
    int lastDatagramSize_ = 0;
};
