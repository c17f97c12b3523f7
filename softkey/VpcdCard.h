#pragma once

#include "platform/SecureBytes.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

// A virtual card for pcscd's vpcd reader driver. vpcd listens on TCP (35963 for "Virtual PCD 00 00", 35964
// for "Virtual PCD 00 01"); the card connects as a client. Every message is a 2-byte big-endian length and a
// payload; a one-byte payload is a control (0 power off, 1 power on, 2 reset, 4 get ATR), anything longer an
// APDU. Power and reset get no reply; get ATR and APDUs get one. Connecting inserts the card; closing the
// connection removes it.
class VpcdCard {
public:
    using ApduHandler = std::function<Bytes(const Bytes& apdu)>;
    using ControlHandler = std::function<void(std::uint8_t control)>;

    static constexpr std::uint16_t kPortReader0 = 35963;
    static constexpr std::uint16_t kPortReader1 = 35964;

    VpcdCard(std::uint16_t port, Bytes atr, ApduHandler onApdu, ControlHandler onControl = {});
    ~VpcdCard();
    VpcdCard(const VpcdCard&) = delete;
    VpcdCard& operator=(const VpcdCard&) = delete;

    // Connects to vpcd (retrying until the deadline: pcscd may still be loading the driver) and starts
    // answering on a thread of its own.
    bool insert(std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // Closes the connection (the card leaves the reader) and joins the thread. An APDU handler that is
    // blocked must return by itself; see abortFlag().
    void remove();
    bool inserted() const { return fd_.load() >= 0; }

    // Set while the card is being removed, so a stalling handler can give up.
    const std::atomic<bool>& abortFlag() const { return aborting_; }

private:
    void run(int fd);

    const std::uint16_t port_;
    const Bytes atr_;
    ApduHandler onApdu_;
    ControlHandler onControl_;
    std::atomic<int> fd_{-1};
    std::atomic<bool> aborting_{false};
    std::thread thread_;
    std::mutex lifecycle_;
};

// Tests that use a vpcd port hold this lock for their whole run, so separate test processes (and separate
// checkouts on one machine) never attach two cards to one reader. It is an flock on a file in /tmp.
class VpcdPortLock {
public:
    explicit VpcdPortLock(std::uint16_t port);
    ~VpcdPortLock();
    VpcdPortLock(const VpcdPortLock&) = delete;
    VpcdPortLock& operator=(const VpcdPortLock&) = delete;

private:
    int fd_ = -1;
};
