#include "fido/HidHelper.h"

#include "platform/Log.h"
#include "platform/NotificationCenter.h"
#include "platform/UdevHidSource.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace {

std::uint32_t bigEndian32(std::span<const std::uint8_t> b)
{
    return (std::uint32_t{b[0]} << 24) | (std::uint32_t{b[1]} << 16) | (std::uint32_t{b[2]} << 8) | b[3];
}

} // namespace

HidHelper& HidHelper::shared()
{
    static HidHelper instance(std::make_shared<UdevHidSource>());
    return instance;
}

HidHelper::HidHelper(std::shared_ptr<HidDeviceSource> source) : HidHelper(std::move(source), Timing{}) {}

HidHelper::HidHelper(std::shared_ptr<HidDeviceSource> source, Timing timing)
    : timing_(timing), manager_(std::move(source))
{
    manager_.setDeviceMatching(HidMatching{vendorId, productId, usagePage, page});
    manager_.registerDeviceMatchingCallback([this](const std::shared_ptr<HidDevice>& d) { deviceAdded(d); });
    manager_.registerDeviceRemovalCallback([this](const std::shared_ptr<HidDevice>& d) { deviceRemoved(d); });
}

HidHelper::~HidHelper() { stopUsb(); }

void HidHelper::initUsb() { manager_.start(); }

void HidHelper::stopUsb()
{
    {
        std::lock_guard lock(mutex_);
        stopped_ = true;
    }
    cv_.notify_all();
    manager_.stop();
}

// ---- discovery

void HidHelper::deviceAdded(const std::shared_ptr<HidDevice>& device)
{
    bool monitored = false;
    {
        std::lock_guard lock(callbackMutex_);
        monitored = static_cast<bool>(monitorCallback_);
    }
    if (!monitored) {
        setDevice(device);
        return;
    }
    manager_.pause(timing_.arrivalPause);
    MonitorCallback callback;
    {
        std::lock_guard lock(callbackMutex_);
        callback = monitorCallback_;
    }
    if (callback)
        callback(device, true);
}

void HidHelper::deviceRemoved(const std::shared_ptr<HidDevice>& device)
{
    bool bound = false;
    {
        std::lock_guard lock(mutex_);
        bound = device_ && device_ == device;
    }
    // Only the bound key's wait is ended; another key leaving does not concern the request in progress.
    if (bound) {
        manager_.unregisterInputReportCallback();
        releaseWaiter(kIOReturnNoDevice);
    }
    MonitorCallback callback;
    {
        std::lock_guard lock(callbackMutex_);
        callback = monitorCallback_;
    }
    if (callback)
        callback(device, false);
    NotificationCenter::defaultCenter().post("deviceDisconnected", {{"class", "HidHelper"}});
}

std::string HidHelper::getProductName() const
{
    std::lock_guard lock(mutex_);
    return device_ ? device_->product() : std::string();
}

std::shared_ptr<HidDevice> HidHelper::device() const
{
    std::lock_guard lock(mutex_);
    return device_;
}

void HidHelper::setDevice(std::shared_ptr<HidDevice> device)
{
    std::lock_guard lock(mutex_);
    device_ = std::move(device);
}

void HidHelper::setMonitorCallback(MonitorCallback callback)
{
    std::lock_guard lock(callbackMutex_);
    monitorCallback_ = std::move(callback);
}

void HidHelper::setWaitUserInputAction(WaitUserInputAction action)
{
    std::lock_guard lock(callbackMutex_);
    waitUserInputAction_ = std::move(action);
}

void HidHelper::setWaitUserInput(bool value)
{
    std::lock_guard lock(actionMutex_);
    storeWaitUserInput(value);
}

void HidHelper::storeWaitUserInput(bool value)
{
    if (waitUserInput_.exchange(value) == value)
        return;
    WaitUserInputAction action;
    {
        std::lock_guard lock(callbackMutex_);
        action = waitUserInputAction_;
    }
    if (action)
        action(value);
}

// ---- requests

HidHelper::Framing HidHelper::makePackets(std::uint32_t cid, CTAPHID cmd, std::span<const std::uint8_t> data)
{
    Framing framing;
    // A message the sequence numbers cannot cover is refused whole: a cut-off request would leave the key
    // waiting for the rest.
    if (data.size() > static_cast<std::size_t>(kMaxMessageLength)) {
        framing.status = kIOReturnOverrun;
        return framing;
    }
    const auto length = static_cast<std::uint16_t>(data.size());
    std::size_t offset = 0;
    std::size_t remaining = data.size();
    std::uint8_t seq = 0;
    bool first = true;
    do {
        const std::size_t header = first ? startOffset : contOffset;
        const std::size_t size = std::min<std::size_t>(reportSize, header + remaining);
        Bytes packet(size, 0);
        packet[0] = static_cast<std::uint8_t>(cid >> 24);
        packet[1] = static_cast<std::uint8_t>(cid >> 16);
        packet[2] = static_cast<std::uint8_t>(cid >> 8);
        packet[3] = static_cast<std::uint8_t>(cid);
        if (first) {
            packet[4] = static_cast<std::uint8_t>(rawValue(cmd) | 0x80);
            packet[5] = static_cast<std::uint8_t>(length >> 8);
            packet[6] = static_cast<std::uint8_t>(length & 0xFF);
        } else {
            packet[4] = seq++;
        }
        const std::size_t payload = size - header;
        std::copy_n(data.begin() + static_cast<std::ptrdiff_t>(offset), payload,
                    packet.begin() + static_cast<std::ptrdiff_t>(header));
        offset += payload;
        remaining -= payload;
        framing.packets.push_back(std::move(packet));
        first = false;
    } while (remaining > 0);
    return framing;
}

IOReturn HidHelper::sendReport(std::span<const std::uint8_t> packet)
{
    std::lock_guard write(writeMutex_);
    if (packet.size() > static_cast<std::size_t>(reportSize)) {
        logLine("output data too large for USB report");
        return kIOReturnOverrun;
    }
    const auto target = device();
    if (!target)
        return kIOReturnError;
    return target->setReport(packet);
}

HidHelper::Response HidHelper::sendCmd(std::uint32_t cid, CTAPHID cmd, std::span<const std::uint8_t> data)
{
    const auto target = device();
    if (!target)
        return {{}, kIOReturnNoDevice};

    const Framing framing = makePackets(cid, cmd, data);
    if (framing.status != kIOReturnSuccess)
        return {{}, framing.status};

    auto sendAll = [&]() {
        for (const Bytes& packet : framing.packets) {
            const IOReturn status = sendReport(packet);
            if (status != kIOReturnSuccess) {
                logLine("sendCmd: failed, error = " + std::to_string(static_cast<std::int32_t>(status)));
                return status;
            }
        }
        return kIOReturnSuccess;
    };

    // A CANCEL interrupts the request that is waiting: it must not disturb that request's reassembly.
    if (cmd == CTAPHID::CANCEL)
        return {{}, sendAll()};

    // Whatever a timed-out request left queued is dropped now, and reading is live before the first packet
    // leaves, so neither a late answer nor a fast one is mistaken or lost.
    target->drain();
    std::uint64_t generation = 0;
    {
        std::lock_guard lock(mutex_);
        if (stopped_)
            return {{}, kIOReturnAborted};
        cmd_ = cmd;
        prepareReceive(state_, rv_, cid);
        generation = ++waitGeneration_;
        released_ = false;
        lastReport_ = std::chrono::steady_clock::now();
    }
    manager_.registerInputReportCallback(
        target, reportSize, [this](std::span<const std::uint8_t> report) { handleInputReport(report); },
        [this, generation] { releaseWaiter(kIOReturnNoDevice, generation); });

    const IOReturn status = sendAll();
    if (status != kIOReturnSuccess) {
        {
            std::lock_guard lock(mutex_);
            state_ = ReceiveState::idle;
        }
        manager_.unregisterInputReportCallback();
        return {{}, status};
    }
    return receiveResponse(generation);
}

void HidHelper::prepareReceive(ReceiveState& state, ReceiveVariables& rv, std::uint32_t cid)
{
    state = ReceiveState::start;
    rv.cid = cid;
    rv.seq = 0;
    rv.count = 0;
    rv.bytes.clear();
    rv.remain = 0;
    rv.pos = startOffset;
}

HidHelper::ReceiveOutcome HidHelper::ReceiveResponse(ReceiveState& state, ReceiveVariables& rv, CTAPHID cmd,
                                                     std::span<const std::uint8_t> report)
{
    if (state != ReceiveState::start && state != ReceiveState::processing)
        return ReceiveOutcome::ignored;
    auto endInError = [&] {
        rv.result = kIOReturnError;
        state = ReceiveState::done;
        return ReceiveOutcome::ended;
    };
    const std::size_t n = report.size();
    if (n < static_cast<std::size_t>(contOffset))
        return endInError();
    rv.currCid = bigEndian32(report);
    if (rv.cid != kBroadcastCid && rv.cid != rv.currCid)
        return ReceiveOutcome::ignored;

    const std::uint8_t type = report[4];
    if (type & 0x80) {
        if (n < static_cast<std::size_t>(startOffset))
            return endInError();
        const std::uint8_t command = type ^ 0x80;
        if (command == rawValue(CTAPHID::KEEPALIVE)) {
            if (n < static_cast<std::size_t>(startOffset) + 1)
                return endInError();
            if (report[7] == rawValue(CTAPSTATUS::PROCESSING))
                return ReceiveOutcome::ignored;
            if (report[7] == rawValue(CTAPSTATUS::UPNEEDED))
                return ReceiveOutcome::userPresenceNeeded;
            endInError();
            return ReceiveOutcome::unknownStatus;
        }
        if (command == rawValue(CTAPHID::ERROR))
            return endInError();
        if (command != rawValue(cmd))
            return ReceiveOutcome::ignored;
        const int declared = (report[5] << 8) | report[6];
        // Zero is an empty answer; more than one message can carry can never complete.
        if (declared == 0 || declared > kMaxMessageLength)
            return endInError();
        // An initialisation packet always starts the message afresh, also in the middle of one.
        rv.seq = 0;
        rv.count = 0;
        rv.remain = declared;
        rv.bytes.assign(static_cast<std::size_t>(declared), 0);
        rv.pos = startOffset;
    } else {
        // A continuation counts only after the initialisation packet and only in sequence.
        if (state == ReceiveState::start || type != rv.seq)
            return ReceiveOutcome::ignored;
        ++rv.seq;
        rv.pos = contOffset;
    }

    const int available = static_cast<int>(n) - rv.pos;
    const int k = std::min(rv.remain, available);
    std::copy_n(report.begin() + rv.pos, k, rv.bytes.begin() + rv.count);
    rv.count += k;
    rv.remain -= k;
    if (rv.remain == 0) {
        state = ReceiveState::done;
        return ReceiveOutcome::ended;
    }
    state = ReceiveState::processing;
    return ReceiveOutcome::accepted;
}

void HidHelper::handleInputReport(std::span<const std::uint8_t> report)
{
    std::lock_guard action(actionMutex_);
    ReceiveOutcome outcome = ReceiveOutcome::ignored;
    {
        std::lock_guard lock(mutex_);
        if (state_ != ReceiveState::start && state_ != ReceiveState::processing)
            return;
        lastReport_ = std::chrono::steady_clock::now();
        outcome = ReceiveResponse(state_, rv_, cmd_, report);
        if (state_ == ReceiveState::done) {
            completedGeneration_ = waitGeneration_;
            cv_.notify_all();
        }
    }
    if (outcome == ReceiveOutcome::userPresenceNeeded) {
        storeWaitUserInput(true);
        logLine("ReceiveResponse: Waiting for user response");
    } else if (outcome == ReceiveOutcome::unknownStatus) {
        logLine("Unknown status");
    }
}

void HidHelper::releaseWaiter(IOReturn status) { releaseWaiter(status, 0); }

void HidHelper::releaseWaiter(IOReturn status, std::uint64_t generation)
{
    std::lock_guard lock(mutex_);
    const bool active = state_ == ReceiveState::start || state_ == ReceiveState::processing;
    if (!active || (generation != 0 && generation != waitGeneration_))
        return;
    released_ = true;
    releaseStatus_ = status;
    completedGeneration_ = waitGeneration_;
    cv_.notify_all();
}

HidHelper::Response HidHelper::receiveResponse(std::uint64_t generation)
{
    enum class End { answer, released, stopped, answerTimeout, silence };
    End end = End::answerTimeout;
    Response response{{}, kIOReturnError};
    const bool forever = waitForever_.load();
    {
        std::unique_lock lock(mutex_);
        const auto answerDeadline = std::chrono::steady_clock::now() + timing_.answerTimeout;
        for (;;) {
            if (completedGeneration_ == generation) {
                end = released_ ? End::released : End::answer;
                break;
            }
            if (stopped_) {
                end = End::stopped;
                break;
            }
            const auto now = std::chrono::steady_clock::now();
            const auto deadline = forever ? lastReport_ + timing_.silenceTimeout : answerDeadline;
            if (now >= deadline) {
                end = forever ? End::silence : End::answerTimeout;
                break;
            }
            cv_.wait_until(lock, deadline);
        }
        switch (end) {
        case End::answer:
            rv_.bytes.resize(static_cast<std::size_t>(std::clamp(rv_.count, 0, static_cast<int>(rv_.bytes.size()))));
            response = {rv_.bytes, kIOReturnSuccess};
            break;
        case End::released: response = {{}, releaseStatus_}; break;
        case End::stopped: response = {{}, kIOReturnAborted}; break;
        case End::answerTimeout: response = {{}, kIOReturnError}; break;
        case End::silence: response = {{}, kIOReturnTimeout}; break;
        }
        state_ = ReceiveState::idle;
    }
    manager_.unregisterInputReportCallback();

    std::lock_guard action(actionMutex_);
    if ((end == End::answerTimeout || end == End::silence) && !waitUserInput_.load())
        logLine("receiveResponse: timeout");
    storeWaitUserInput(false);
    return response;
}
