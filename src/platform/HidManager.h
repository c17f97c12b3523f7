#pragma once

#include "platform/HidDevice.h"
#include "platform/HidDeviceSource.h"
#include "platform/UniqueFd.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

// Which devices HidManager reports. A criterion of 0 is left out, so it matches every value.
struct HidMatching {
    std::uint16_t vendorId = 0;
    std::uint16_t productId = 0;
    std::uint16_t usagePage = 0;
    std::uint16_t usage = 0;

    bool matches(const HidDevice& device) const;
};

// The HID thread: one thread that polls the discovery source, an eventfd (wake-up and stop) and the device
// whose input reports are wanted. It reports the matching devices already attached first, then every later
// arrival and removal, in order, one at a time. A device is reported once per arrival (the source's duplicates
// are dropped by syspath) and its removal only when its arrival was reported, with the same object.
class HidManager {
public:
    using DeviceCallback = std::function<void(const std::shared_ptr<HidDevice>&)>;
    using ReportCallback = std::function<void(std::span<const std::uint8_t> report)>;
    using GoneCallback = std::function<void()>;

    explicit HidManager(std::shared_ptr<HidDeviceSource> source);
    ~HidManager();
    HidManager(const HidManager&) = delete;
    HidManager& operator=(const HidManager&) = delete;

    // Set before start().
    void setDeviceMatching(const HidMatching& matching);
    void registerDeviceMatchingCallback(DeviceCallback callback);
    void registerDeviceRemovalCallback(DeviceCallback callback);

    // Starts the HID thread; false when it runs already, has been stopped, or could not be set up.
    bool start();
    // Stops the HID thread and joins it; callbacks in progress finish first. Idempotent; not from the HID thread.
    void stop();
    // Holds up the HID thread (and so every event) for the given time; stop() ends the pause early.
    void pause(std::chrono::milliseconds duration);

    // Reads each input report of `device` into `buffer` (cut to its size) and hands it to onReport on the HID
    // thread, until unregistered or another device is registered; onGone runs once if the device's descriptor
    // hangs up, and the device is not read any more. The buffer is the caller's and must outlive the
    // registration. Opens the device if it is not open yet.
    void registerInputReportCallback(std::shared_ptr<HidDevice> device, std::span<std::uint8_t> buffer,
                                     ReportCallback onReport, GoneCallback onGone);
    void unregisterInputReportCallback();
    // The device whose reports are delivered: nothing after unregistering or a hang-up.
    std::shared_ptr<HidDevice> inputDevice() const;
    // Returns once the HID thread reads the registered device and has delivered every report it had queued when
    // this was called; at once when the thread does not run. Not from the HID thread.
    void flushInput();

private:
    struct Binding {
        std::shared_ptr<HidDevice> device;
        std::span<std::uint8_t> buffer;
        ReportCallback onReport;
        GoneCallback onGone;
    };

    void run();
    void wake();
    void arrived(const std::shared_ptr<HidDevice>& device);
    void removed(const std::string& syspath);
    void rebuildPollList(const std::vector<pollfd>& sourceFds);
    // Takes up a newly adopted binding, reads the polled device and serves a flush; true when the poll list must
    // be rebuilt.
    bool serveInput(bool adopted, std::uint64_t flushTicket);
    // Delivers up to maxReports pending reports of the polled device; true when it hung up.
    bool readInput(int maxReports);
    void dropBinding();

    const std::shared_ptr<HidDeviceSource> source_;
    UniqueFd wakeFd_;
    std::thread thread_;

    mutable std::mutex mutex_;
    std::condition_variable pauseCv_;
    std::condition_variable flushCv_;
    bool started_ = false;
    bool stopping_ = false;
    HidMatching matching_;
    DeviceCallback onMatch_;
    DeviceCallback onRemove_;
    Binding binding_;
    bool bindingChanged_ = false;
    std::uint64_t flushRequested_ = 0;
    std::uint64_t flushDone_ = 0;

    // Only the HID thread touches these: the binding it polls and the poll list, which is rebuilt only when the
    // binding or the source's descriptors change.
    Binding polled_;
    std::vector<pollfd> pollFds_;
    bool devicePolled_ = false;
    std::map<std::string, std::shared_ptr<HidDevice>> reported_;
};
