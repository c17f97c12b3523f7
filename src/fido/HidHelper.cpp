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

// The CTAPHID errors by which a key refuses a request before taking it up: its channel is busy, or the request
// could not be framed or is not allowed on this channel. Any other code may follow work the key already did.
bool refusesRequest(std::uint8_t code)
{
    switch (static_cast<CTAPHID_ERROR_CODE>(code)) {
    case CTAPHID_ERROR_CODE::ERR_INVALID_CMD:
    case CTAPHID_ERROR_CODE::ERR_INVALID_PAR:
    case CTAPHID_ERROR_CODE::ERR_INVALID_LEN:
    case CTAPHID_ERROR_CODE::ERR_INVALID_SEQ:
    case CTAPHID_ERROR_CODE::ERR_MSG_TIMEOUT:
    case CTAPHID_ERROR_CODE::ERR_CHANNEL_BUSY:
    case CTAPHID_ERROR_CODE::ERR_LOCK_REQUIRED:
    case CTAPHID_ERROR_CODE::ERR_INVALID_CHANNEL: return true;
    default: return false;
    }
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
    recvData_.reserve(reportSize);
    manager_.setDeviceMatching(HidMatching{vendorId, productId, usagePage, page});
    manager_.registerDeviceMatchingCallback([this](const std::shared_ptr<HidDevice>& d) { deviceAdded(d); });
    manager_.registerDeviceRemovalCallback([this](const std::shared_ptr<HidDevice>& d) { deviceRemoved(d); });
}

HidHelper::~HidHelper() { stopUsb(); }

void HidHelper::initUsb() { manager_.start(); }

void HidHelper::stopUsb()
{
    std::stop_source request;
    {
        std::lock_guard lock(queue_);
        stopped_ = true;
        request = request_;
    }
    request.request_stop();
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
    if (manager_.inputDevice() == device)
        manager_.unregisterInputReportCallback();
    releaseWaiter(device);
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
    std::lock_guard lock(queue_);
    return device_ ? device_->product() : std::string();
}

std::shared_ptr<HidDevice> HidHelper::device() const
{
    std::lock_guard lock(queue_);
    return device_;
}

void HidHelper::setDevice(std::shared_ptr<HidDevice> device, std::stop_token cancel)
{
    std::lock_guard lock(queue_);
    device_ = std::move(device);
    operationCancel_ = std::move(cancel);
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

void HidHelper::setRequestStartHook(RequestStartHook hook)
{
    std::lock_guard lock(callbackMutex_);
    requestStartHook_ = std::move(hook);
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

IOReturn HidHelper::sendPackets(const std::vector<Bytes>& packets)
{
    for (const Bytes& packet : packets) {
        const IOReturn status = sendReport(packet);
        if (status != kIOReturnSuccess) {
            logLine("sendCmd: failed, error = " + std::to_string(static_cast<std::int32_t>(status)));
            return status;
        }
    }
    return kIOReturnSuccess;
}

IOReturn HidHelper::sendCancel(const Bytes& packet)
{
    std::stop_source request;
    {
        std::lock_guard lock(queue_);
        request = request_;
    }
    if (!request.stop_possible())
        return sendPackets({packet});
    request.request_stop();
    return kIOReturnSuccess;
}

void HidHelper::cancelTouchWait()
{
    std::stop_source request;
    {
        std::lock_guard lock(queue_);
        if (!touchAwaited_)
            return;
        request = request_;
    }
    request.request_stop();
}

HidHelper::Response HidHelper::sendCmd(std::uint32_t cid, CTAPHID cmd, std::span<const std::uint8_t> data,
                                       bool waitForever)
{
    if (cmd != CTAPHID::CANCEL) {
        std::lock_guard lock(queue_);
        handedOver_ = false;
    }
    const auto target = device();
    if (!target)
        return {{}, kIOReturnNoDevice};

    const Framing framing = makePackets(cid, cmd, data);
    if (framing.status != kIOReturnSuccess)
        return {{}, framing.status};
    if (cmd == CTAPHID::CANCEL)
        return {{}, sendCancel(framing.packets.front())};
    RequestStartHook hook;
    {
        std::lock_guard lock(callbackMutex_);
        hook = requestStartHook_;
    }
    if (hook)
        hook(cmd, data);

    std::stop_source request;
    std::stop_token operation;
    bool flush = false;
    {
        std::lock_guard lock(queue_);
        if (stopped_)
            return {{}, kIOReturnAborted};
        // The operation was cancelled before this request was under way: it must not reach the key. Checked here,
        // where the request becomes under way, so a cancel that comes after this finds it and sends its CANCEL.
        if (operationCancel_.stop_requested())
            return {{}, kIOReturnAborted};
        waitForever_ = waitForever;
        request_ = std::stop_source();
        request = request_;
        operation = operationCancel_;
        requestDevice_ = target;
        removed_ = false;
        turnedAway_ = false;
        touchAwaited_ = false;
        flush = std::exchange(unsettled_, false);
    }
    // A cancel of the bound operation ends this request as a CANCEL does (the request sends it itself, once its
    // packets are out), for as long as the request is under way; a later one is stopped by the check above.
    Response response;
    {
        const std::stop_callback cancelWithOperation(operation, [request]() mutable { request.request_stop(); });
        response = exchange(target, cmd, cid, framing.packets, request.get_token(), flush);
    }
    std::lock_guard action(actionMutex_);
    storeWaitUserInput(false);
    return response;
}

HidHelper::Response HidHelper::exchange(const std::shared_ptr<HidDevice>& target, CTAPHID cmd, std::uint32_t cid,
                                        const std::vector<Bytes>& packets, const std::stop_token& token, bool flush)
{
    // The HID thread keeps reading the key between requests and drops what comes in then. Only what may still
    // be on its way is flushed: whatever a key read for the first time had queued, and what is left of a request
    // that did not end on a whole answer, so neither is taken for this request's answer.
    if (manager_.inputDevice() != target) {
        manager_.registerInputReportCallback(
            target, inReport_, [this](std::span<const std::uint8_t> report) { handleInputReport(report); },
            [this, target] { releaseWaiter(target); });
        flush = true;
    }
    if (flush)
        manager_.flushInput();
    {
        std::lock_guard lock(queue_);
        cmd_ = cmd;
        prepareReceive(state_, rv_, cid);
        rv_.result = kIOReturnSuccess;
        lastReport_ = std::chrono::steady_clock::now();
    }
    // The wait's reports are taken from before the first packet leaves: a key may answer before the sender is back
    // from writing the last one, and a report the reassembly did not take is gone.
    registerInputReportCallback();
    const IOReturn status = sendPackets(packets);
    Response response = status == kIOReturnSuccess ? receiveResponse(token) : Response{{}, status};
    unregisterInputReportCallback();
    {
        std::lock_guard lock(queue_);
        unsettled_ = unsettled_ || status != kIOReturnSuccess;
        handedOver_ = status == kIOReturnSuccess && !turnedAway_;
        state_ = ReceiveState::idle;
        request_ = std::stop_source(std::nostopstate);
        requestDevice_.reset();
        touchAwaited_ = false;
    }
    return response;
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
    rv.takenUp = false;
    rv.cancelSent = false;
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
            rv.takenUp = true;
            if (report[7] == rawValue(CTAPSTATUS::PROCESSING))
                return ReceiveOutcome::ignored;
            if (report[7] == rawValue(CTAPSTATUS::UPNEEDED))
                return ReceiveOutcome::userPresenceNeeded;
            endInError();
            return ReceiveOutcome::unknownStatus;
        }
        if (command == rawValue(CTAPHID::ERROR)) {
            const bool coded = n > static_cast<std::size_t>(startOffset) && ((report[5] << 8) | report[6]) > 0;
            const bool refused = !rv.takenUp && !rv.cancelSent && coded && refusesRequest(report[7]);
            const ReceiveOutcome ended = endInError();
            return refused ? ReceiveOutcome::turnedAway : ended;
        }
        if (command != rawValue(cmd))
            return ReceiveOutcome::ignored;
        rv.takenUp = true;
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

HidHelper::ReceiveOutcome HidHelper::ReceiveResponse() { return ReceiveResponse(state_, rv_, cmd_, recvData_); }

void HidHelper::handleInputReport(std::span<const std::uint8_t> report)
{
    std::lock_guard action(actionMutex_);
    ReceiveOutcome outcome = ReceiveOutcome::ignored;
    {
        std::lock_guard lock(queue_);
        if (!inputReportsDelivered_)
            return;
        lastReport_ = std::chrono::steady_clock::now();
        recvData_.assign(report.begin(), report.end());
        outcome = ReceiveResponse();
        if (outcome == ReceiveOutcome::turnedAway)
            turnedAway_ = true;
        if (outcome == ReceiveOutcome::userPresenceNeeded)
            touchAwaited_ = true;
        if (state_ == ReceiveState::done)
            cv_.notify_all();
    }
    if (outcome == ReceiveOutcome::userPresenceNeeded) {
        storeWaitUserInput(true);
        logLine("ReceiveResponse: Waiting for user response");
    } else if (outcome == ReceiveOutcome::unknownStatus) {
        logLine("Unknown status");
    }
}

bool HidHelper::requestHandedOver() const
{
    std::lock_guard lock(queue_);
    return handedOver_;
}

void HidHelper::registerInputReportCallback()
{
    std::lock_guard lock(queue_);
    if (device_)
        inputReportsDelivered_ = true;
}

void HidHelper::unregisterInputReportCallback()
{
    std::lock_guard lock(queue_);
    if (device_)
        inputReportsDelivered_ = false;
}

void HidHelper::releaseWaiter(const std::shared_ptr<HidDevice>& device)
{
    std::stop_source request;
    {
        std::lock_guard lock(queue_);
        if (!device || requestDevice_ != device)
            return;
        removed_ = true;
        request = request_;
    }
    request.request_stop();
    cv_.notify_all();
}

bool HidHelper::waitForever() const
{
    std::lock_guard lock(queue_);
    return waitForever_;
}

std::chrono::steady_clock::time_point HidHelper::timeout() const
{
    return waitForever() ? std::chrono::steady_clock::time_point::max()
                         : std::chrono::steady_clock::now() + timing_.answerTimeout;
}

HidHelper::Response HidHelper::receiveResponse(const std::stop_token& token)
{
    enum class End { answer, removed, stopped, cancelled, answerTimeout, silence };
    End end = End::answerTimeout;
    Response response{{}, kIOReturnError};
    auto answerDeadline = timeout();
    // A wait without time limit still ends when the key has sent nothing at all for the silence time.
    bool noTimeLimit = answerDeadline == std::chrono::steady_clock::time_point::max();
    std::unique_lock lock(queue_);
    const auto answered = [this] { return state_ == ReceiveState::done; };
    bool cancelSent = false;
    for (;;) {
        if (answered()) {
            end = End::answer;
            break;
        }
        if (stopped_ || removed_) {
            end = stopped_ ? End::stopped : End::removed;
            break;
        }
        if (token.stop_requested() && !cancelSent) {
            // The key answers a request it cancels; that answer is awaited (for one answer's time at most), so it
            // cannot turn up as the next request's.
            cancelSent = true;
            // Marked before it goes out: an ERROR that may answer it must not read as the request turned away.
            rv_.cancelSent = true;
            noTimeLimit = false;
            answerDeadline = std::chrono::steady_clock::now() + timing_.answerTimeout;
            const Bytes cancel = makePackets(rv_.cid, CTAPHID::CANCEL, {}).packets.front();
            lock.unlock();
            const bool sent = sendPackets({cancel}) == kIOReturnSuccess;
            lock.lock();
            if (!sent) {
                end = End::cancelled;
                break;
            }
            continue;
        }
        const auto deadline = noTimeLimit ? lastReport_ + timing_.silenceTimeout : answerDeadline;
        if (std::chrono::steady_clock::now() >= deadline) {
            end = cancelSent ? End::cancelled : noTimeLimit ? End::silence : End::answerTimeout;
            break;
        }
        // After the cancel the token stays tripped: the answer, stopUsb and a removal notify instead.
        if (cancelSent)
            cv_.wait_until(lock, deadline);
        else
            cv_.wait_until(lock, token, deadline, answered);
    }
    switch (end) {
    case End::answer:
        // An answer begun and left incomplete is a failure, never part of an answer passed off as the whole.
        if (rv_.result != kIOReturnSuccess && rv_.remain > 0) {
            response = {{}, kIOReturnError};
            break;
        }
        rv_.bytes.resize(static_cast<std::size_t>(std::clamp(rv_.count, 0, static_cast<int>(rv_.bytes.size()))));
        response = {std::move(rv_.bytes), kIOReturnSuccess};
        break;
    case End::removed: response = {{}, kIOReturnNoDevice}; break;
    case End::stopped:
    case End::cancelled: response = {{}, kIOReturnAborted}; break;
    case End::answerTimeout: response = {{}, kIOReturnError}; break;
    case End::silence: response = {{}, kIOReturnTimeout}; break;
    }
    unsettled_ = end != End::answer || rv_.result != kIOReturnSuccess;
    lock.unlock();
    if ((end == End::answerTimeout || end == End::silence) && !waitUserInput_.load())
        logLine("receiveResponse: timeout");
    return response;
}
