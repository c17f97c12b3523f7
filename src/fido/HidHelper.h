#pragma once

#include "fido/CtapConstants.h"
#include "platform/HidDevice.h"
#include "platform/HidDeviceSource.h"
#include "platform/HidManager.h"
#include "platform/IOReturn.h"
#include "platform/LabelledMutex.h"
#include "platform/SecureBytes.h"

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <stop_token>
#include <string>
#include <utility>
#include <vector>

// The maker's USB vendor ID.
inline constexpr std::uint16_t kMakerVendorId = 0x1EA8;

// The USB transport: finds the maker's keys (through the HID thread of HidManager) and carries one CTAPHID
// request at a time to the bound key, cut into 64-byte reports, then puts the answer back together from the
// key's input reports.
//
// One instance serves the process (shared()); tests build their own on another device source.
class HidHelper {
public:
    enum class ReceiveState { idle, start, processing, done };

    // The answer being reassembled.
    struct ReceiveVariables {
        std::uint32_t cid = 0;     // awaited channel; the broadcast channel accepts every channel
        std::uint8_t seq = 0;      // next continuation sequence number to accept
        std::uint32_t currCid = 0; // channel of the report being examined
        std::uint8_t curSeq = 0;
        int pos = 0;    // payload offset in the report being examined
        int count = 0;  // payload bytes gathered
        int remain = 0; // payload bytes still expected
        Bytes bytes;    // the payload, sized to the declared length
        IOReturn result = kIOReturnSuccess;
        bool takenUp = false; // a keepalive or a packet of the answer came: the key is at work on the request
        // Our CANCEL of the request went out: an ERROR after it may answer the CANCEL, and says nothing of whether
        // the key took the request up.
        bool cancelSent = false;
    };

    // What one input report did to the reassembly.
    enum class ReceiveOutcome {
        ignored,            // not for this answer (or a PROCESSING keepalive)
        userPresenceNeeded, // UPNEEDED keepalive
        unknownStatus,      // keepalive with another status; the message ended
        // A CTAPHID ERROR saying the key did not take the request up (busy channel, malformed request, lock), before
        // any keepalive or answer packet showed it at work on it and before our CANCEL of it went out. Any other
        // ERROR ends the message as `ended`.
        turnedAway,
        accepted,           // payload taken, more expected
        ended,              // the message is complete, or ended in error (state done)
    };

    struct Timing {
        // An answer wait, counted from its start; keepalives do not extend it.
        std::chrono::milliseconds answerTimeout{5000};
        // A wait without time limit (touch requests) still ends when the key sends nothing at all for this long.
        std::chrono::milliseconds silenceTimeout{30000};
        // The pause of the HID thread after each arrival, before it is reported.
        std::chrono::milliseconds arrivalPause{100};
    };

    struct Framing {
        std::vector<Bytes> packets;
        IOReturn status = kIOReturnSuccess;
    };

    // (answer, status); the answer is empty whenever the status is not 0. An answer the key began and then ended
    // in error (an ERROR, a report cut short, a keepalive of unknown status after its first packet) is no answer:
    // its status is kIOReturnError.
    using Response = std::pair<Bytes, IOReturn>;
    using MonitorCallback = std::function<void(const std::shared_ptr<HidDevice>& device, bool added)>;
    using WaitUserInputAction = std::function<void(bool waiting)>;
    using RequestStartHook = std::function<void(CTAPHID cmd, std::span<const std::uint8_t> data)>;

    static constexpr std::uint16_t vendorId = kMakerVendorId;
    static constexpr std::uint16_t productId = 0;
    static constexpr std::uint16_t usagePage = 0xF1D0;
    static constexpr std::uint16_t page = 1;
    static constexpr int reportSize = 64;
    static constexpr int startOffset = 7;
    static constexpr int contOffset = 5;
    static constexpr std::uint32_t kBroadcastCid = 0xFFFFFFFF;
    // One initialisation packet and 128 continuation packets.
    static constexpr int kMaxMessageLength = (reportSize - startOffset) + 128 * (reportSize - contOffset);

    // The process-wide instance on the system's HID devices, made on first use.
    static HidHelper& shared();

    explicit HidHelper(std::shared_ptr<HidDeviceSource> source);
    HidHelper(std::shared_ptr<HidDeviceSource> source, Timing timing);
    ~HidHelper();
    HidHelper(const HidHelper&) = delete;
    HidHelper& operator=(const HidHelper&) = delete;

    // Starts watching the maker's keys (vendor ID, usage page 0xF1D0, usage 1; any product) on the HID thread:
    // keys already attached are reported first, then each arrival and removal. Returns at once; later calls do
    // nothing.
    void initUsb();
    // Stops the HID thread and joins it; a request in progress ends with kIOReturnAborted, and so does every
    // later one. Idempotent.
    void stopUsb();

    // Discovery handlers, on the HID thread.
    void deviceAdded(const std::shared_ptr<HidDevice>& device);
    void deviceRemoved(const std::shared_ptr<HidDevice>& device);
    // The product string of the bound key, or "".
    std::string getProductName() const;

    std::shared_ptr<HidDevice> device() const;
    // Binds the key for one operation. `cancel` is that operation's: when it is tripped, the request under way
    // gets its CANCEL, and no later request goes out until the next binding (each ends at once with
    // kIOReturnAborted). A binding without one (reading a key that arrived) is never ended by another operation's
    // cancel.
    void setDevice(std::shared_ptr<HidDevice> device, std::stop_token cancel = {});
    void setMonitorCallback(MonitorCallback callback);
    void setWaitUserInputAction(WaitUserInputAction action);
    // Runs on the sender's thread as each request (not a CANCEL) begins, before it is under way: lets a test land
    // what another thread does in that gap at exactly that point.
    void setRequestStartHook(RequestStartHook hook);
    bool waitUserInput() const { return waitUserInput_.load(); }
    // Calls the action when the value changes.
    void setWaitUserInput(bool value);
    // Whether the request under way (or the last one) waits without time limit, as its sender said.
    bool waitForever() const;
    // The deadline of an answer wait, taken when the wait begins: the distant future for a request sent to wait
    // without limit, otherwise the answer time from now. Keepalives do not move it.
    std::chrono::steady_clock::time_point timeout() const;

    // Sends one request on channel cid to the bound key and, unless cmd is CANCEL, waits for its answer.
    //
    // waitForever: the answer is awaited without time limit (a request that waits for the user's touch); it is
    // the request's own, so nothing another thread does while the request begins can change it.
    //
    // A CANCEL may come from another thread while a request is under way, from its first packet on: that request
    // then sends the CANCEL itself once its own packets are out (so the key always sees it after the request),
    // and waits at most one answer time for the key's answer to the cancelled request. Without a request under
    // way, the CANCEL goes out at once and that is all: it is not kept for a later request. A cancel of the
    // operation the key was bound for (setDevice) ends the request under way the same way, and keeps later requests
    // of that binding from going out.
    Response sendCmd(std::uint32_t cid, CTAPHID cmd, std::span<const std::uint8_t> data, bool waitForever = false);
    // The request under way gets its CANCEL only when the key asked for the user's touch in it; any other request
    // goes on, and nothing is sent.
    void cancelTouchWait();
    // Whether the latest request reached the key: every packet went out and the key did not turn it away with a
    // CTAPHID ERROR. Only what happened to the request counts, not whether its answer came.
    bool requestHandedOver() const;
    // Writes one output report to the bound key.
    IOReturn sendReport(std::span<const std::uint8_t> packet);
    // One input report of the bound key (the HID thread calls this): copied into recvData and fed into the
    // reassembly, while the delivery is installed.
    void handleInputReport(std::span<const std::uint8_t> report);
    // Install and remove the delivery of the bound key's input reports to the reassembly; without a bound key they
    // do nothing. The HID thread reads the key all along and drops what comes while no delivery is installed, so
    // these only open and close the way in, under the reassembly's guard: neither wakes that thread.
    void registerInputReportCallback();
    void unregisterInputReportCallback();
    // The key left: a request to it that is under way ends at once with kIOReturnNoDevice.
    void releaseWaiter(const std::shared_ptr<HidDevice>& device);

    // The packets of one request; nothing and kIOReturnOverrun when data cannot fit in one message.
    static Framing makePackets(std::uint32_t cid, CTAPHID cmd, std::span<const std::uint8_t> data);
    // Readies the reassembly for an answer on channel cid.
    static void prepareReceive(ReceiveState& state, ReceiveVariables& rv, std::uint32_t cid);
    // Feeds one input report into the reassembly of the answer to cmd.
    static ReceiveOutcome ReceiveResponse(ReceiveState& state, ReceiveVariables& rv, CTAPHID cmd,
                                          std::span<const std::uint8_t> report);

private:
    IOReturn sendPackets(const std::vector<Bytes>& packets);
    IOReturn sendCancel(const Bytes& packet);
    // With queue_ held: feeds recvData into the reassembly.
    ReceiveOutcome ReceiveResponse();
    Response receiveResponse(const std::stop_token& token);
    // One request under way: its packets out, then its answer.
    Response exchange(const std::shared_ptr<HidDevice>& target, CTAPHID cmd, std::uint32_t cid,
                      const std::vector<Bytes>& packets, const std::stop_token& token, bool flush);
    // With actionMutex_ held.
    void storeWaitUserInput(bool value);

    const Timing timing_;
    // The HID thread reads each input report of the bound key into this one buffer; it outlives the HID thread.
    std::array<std::uint8_t, reportSize> inReport_{};
    HidManager manager_;

    // Reassembly, the request under way and the bound key. Never held during I/O or while calling out.
    mutable LabelledMutex queue_{"thread-safe-hidRecvBuffer"};
    // Tells the waiting caller that its answer is complete or its wait is over.
    std::condition_variable_any cv_;
    ReceiveState state_ = ReceiveState::idle;
    ReceiveVariables rv_;
    // Copy of the last input report, taken under queue_.
    Bytes recvData_;
    // Installed by registerInputReportCallback: the bound key's reports go to the reassembly.
    bool inputReportsDelivered_ = false;
    CTAPHID cmd_ = CTAPHID::INIT;
    // The request under way waits without time limit, as its sender said.
    bool waitForever_ = false;
    std::shared_ptr<HidDevice> device_;
    // The bound operation's cancellation: checked as each request begins, under the guard under which it becomes
    // under way, so a cancel either finds the request under way or stops it before it goes out.
    std::stop_token operationCancel_;
    // The one way into a request under way from another thread: CANCEL, stopUsb and the key's removal trip it
    // (the last two note why below). Between requests it has no stop state, so nothing can be left tripped for
    // the next request.
    std::stop_source request_{std::nostopstate};
    std::shared_ptr<HidDevice> requestDevice_;
    bool removed_ = false;
    bool stopped_ = false;
    // The last request did not end on a whole, well-formed answer, so a late part of it may still come in.
    bool unsettled_ = false;
    bool handedOver_ = false;
    bool turnedAway_ = false;
    // The key asked for the user's touch in the request under way.
    bool touchAwaited_ = false;
    std::chrono::steady_clock::time_point lastReport_;

    // Orders the touch prompt's calls: the HID thread holds it from taking a report to raising the prompt, the
    // waiter takes it to lower the prompt after its wait ended, so "false" can never overtake "true".
    std::mutex actionMutex_;
    std::atomic<bool> waitUserInput_{false};

    mutable std::mutex callbackMutex_;
    MonitorCallback monitorCallback_;
    WaitUserInputAction waitUserInputAction_;
    RequestStartHook requestStartHook_;

    // Serialises output reports.
    std::mutex writeMutex_;
};
