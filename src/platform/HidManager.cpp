#include "platform/HidManager.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace {

// Reports read in one turn of the loop before the other descriptors get their turn.
constexpr int kMaxReportsPerTurn = 32;
// Upper bound of the reports one flush reads; a key cannot have queued more than this many.
constexpr int kMaxFlushReports = 1024;

} // namespace

bool HidMatching::matches(const HidDevice& device) const
{
    return (vendorId == 0 || device.vendorId() == vendorId) && (productId == 0 || device.productId() == productId) &&
           (usagePage == 0 || device.primaryUsagePage() == usagePage) &&
           (usage == 0 || device.primaryUsage() == usage);
}

HidManager::HidManager(std::shared_ptr<HidDeviceSource> source)
    : source_(std::move(source)), wakeFd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC))
{
}

HidManager::~HidManager() { stop(); }

void HidManager::setDeviceMatching(const HidMatching& matching)
{
    std::lock_guard lock(mutex_);
    matching_ = matching;
}

void HidManager::registerDeviceMatchingCallback(DeviceCallback callback)
{
    std::lock_guard lock(mutex_);
    onMatch_ = std::move(callback);
}

void HidManager::registerDeviceRemovalCallback(DeviceCallback callback)
{
    std::lock_guard lock(mutex_);
    onRemove_ = std::move(callback);
}

bool HidManager::start()
{
    std::lock_guard lock(mutex_);
    if (started_ || !wakeFd_.valid() || !source_)
        return false;
    started_ = true;
    thread_ = std::thread([this] { run(); });
    return true;
}

void HidManager::stop()
{
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        started_ = true; // a stopped manager is never started again
    }
    pauseCv_.notify_all();
    flushCv_.notify_all();
    wake();
    if (thread_.joinable() && std::this_thread::get_id() != thread_.get_id())
        thread_.join();
}

void HidManager::pause(std::chrono::milliseconds duration)
{
    std::unique_lock lock(mutex_);
    pauseCv_.wait_for(lock, duration, [this] { return stopping_; });
}

void HidManager::wake()
{
    if (!wakeFd_.valid())
        return;
    const std::uint64_t one = 1;
    // A full counter already means "wake up", so a failed write loses nothing.
    [[maybe_unused]] ssize_t n = ::write(wakeFd_.get(), &one, sizeof one);
}

void HidManager::registerInputReportCallback(std::shared_ptr<HidDevice> device, std::span<std::uint8_t> buffer,
                                             ReportCallback onReport, GoneCallback onGone)
{
    // A hidraw node is opened on first use; it must be open before the HID thread can poll it.
    if (device)
        device->open();
    {
        std::lock_guard lock(mutex_);
        binding_ = Binding{std::move(device), buffer, std::move(onReport), std::move(onGone)};
        bindingChanged_ = true;
    }
    wake();
}

void HidManager::unregisterInputReportCallback()
{
    {
        std::lock_guard lock(mutex_);
        binding_ = Binding{};
        bindingChanged_ = true;
    }
    wake();
}

std::shared_ptr<HidDevice> HidManager::inputDevice() const
{
    std::lock_guard lock(mutex_);
    return binding_.device;
}

void HidManager::flushInput()
{
    std::uint64_t ticket = 0;
    {
        std::lock_guard lock(mutex_);
        if (!started_ || stopping_)
            return;
        ticket = ++flushRequested_;
    }
    wake();
    std::unique_lock lock(mutex_);
    flushCv_.wait(lock, [&] { return flushDone_ >= ticket || stopping_; });
}

void HidManager::arrived(const std::shared_ptr<HidDevice>& device)
{
    if (!device || reported_.count(device->syspath()))
        return;
    DeviceCallback callback;
    {
        std::lock_guard lock(mutex_);
        if (stopping_ || !matching_.matches(*device))
            return;
        callback = onMatch_;
    }
    reported_.emplace(device->syspath(), device);
    if (callback)
        callback(device);
}

void HidManager::removed(const std::string& syspath)
{
    auto it = reported_.find(syspath);
    if (it == reported_.end())
        return;
    std::shared_ptr<HidDevice> device = std::move(it->second);
    reported_.erase(it);
    DeviceCallback callback;
    {
        std::lock_guard lock(mutex_);
        if (stopping_)
            return;
        callback = onRemove_;
    }
    if (callback)
        callback(device);
}

bool HidManager::readInput(int maxReports)
{
    for (int i = 0; i < maxReports; ++i) {
        std::size_t length = 0;
        const auto result = polled_.device->readReport(polled_.buffer, length);
        if (result != HidDevice::ReadResult::report)
            return result == HidDevice::ReadResult::gone;
        if (polled_.onReport)
            polled_.onReport(polled_.buffer.first(length));
    }
    return false;
}

void HidManager::dropBinding()
{
    {
        std::lock_guard lock(mutex_);
        // A binding registered since is left for the next turn to take up.
        if (!bindingChanged_)
            binding_ = Binding{};
    }
    const GoneCallback onGone = std::move(polled_.onGone);
    polled_ = Binding{};
    if (onGone)
        onGone();
}

void HidManager::rebuildPollList(const std::vector<pollfd>& sourceFds)
{
    pollFds_.assign(1, pollfd{wakeFd_.get(), POLLIN, 0});
    const int deviceFd = polled_.device ? polled_.device->fd() : -1;
    devicePolled_ = deviceFd >= 0;
    if (devicePolled_)
        pollFds_.push_back({deviceFd, POLLIN, 0});
    pollFds_.insert(pollFds_.end(), sourceFds.begin(), sourceFds.end());
}

bool HidManager::serveInput(bool adopted, std::uint64_t flushTicket)
{
    const bool flush = flushTicket != flushDone_;
    bool gone = false;
    if (!adopted && devicePolled_ && pollFds_[1].revents != 0) {
        // The revents of a device just replaced belong to the old one and are not looked at.
        const short revents = pollFds_[1].revents;
        gone = (revents & POLLIN) ? readInput(kMaxReportsPerTurn) : (revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
    }
    if (flush && !gone && polled_.device)
        gone = readInput(kMaxFlushReports);
    if (gone)
        dropBinding();
    if (flush) {
        {
            std::lock_guard lock(mutex_);
            flushDone_ = flushTicket;
        }
        flushCv_.notify_all();
    }
    return adopted || gone;
}

void HidManager::run()
{
    // The source listens before it lists, so a key plugged in between is seen (and its duplicate dropped).
    const bool sourceOpen = source_->open();
    std::vector<pollfd> sourceFds;
    if (sourceOpen) {
        for (const auto& device : source_->enumerate())
            arrived(device);
        sourceFds = source_->pollFds();
    }
    bool rebuild = true;
    for (;;) {
        if (rebuild)
            rebuildPollList(sourceFds);
        if (::poll(pollFds_.data(), pollFds_.size(), -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (pollFds_[0].revents & POLLIN) {
            std::uint64_t count = 0;
            [[maybe_unused]] ssize_t n = ::read(wakeFd_.get(), &count, sizeof count);
        }
        bool adopted = false;
        std::uint64_t flushTicket = 0;
        {
            std::lock_guard lock(mutex_);
            if (stopping_)
                return;
            if (bindingChanged_) {
                polled_ = binding_;
                bindingChanged_ = false;
                adopted = true;
            }
            flushTicket = flushRequested_;
        }
        rebuild = serveInput(adopted, flushTicket);

        bool sourceReady = false;
        for (std::size_t i = pollFds_.size() - sourceFds.size(); i < pollFds_.size(); ++i)
            sourceReady = sourceReady || pollFds_[i].revents != 0;
        if (sourceReady) {
            for (const auto& event : source_->readEvents()) {
                if (event.kind == HidDeviceSource::Event::Kind::added)
                    arrived(event.device);
                else
                    removed(event.syspath);
            }
            sourceFds = source_->pollFds();
            rebuild = true;
        }
    }
}
