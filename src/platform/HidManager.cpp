#include "platform/HidManager.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace {

// Reports read in one turn of the loop before the other descriptors get their turn.
constexpr int kMaxReportsPerTurn = 32;

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
    wake();
    if (thread_.joinable() && !isHidThread())
        thread_.join();
}

bool HidManager::isHidThread() const { return std::this_thread::get_id() == thread_.get_id(); }

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

void HidManager::registerInputReportCallback(std::shared_ptr<HidDevice> device, std::size_t bufferSize,
                                             ReportCallback onReport, GoneCallback onGone)
{
    {
        std::lock_guard lock(mutex_);
        binding_ = Binding{std::move(device), bufferSize, std::move(onReport), std::move(onGone), nextGeneration_++};
    }
    wake();
}

void HidManager::unregisterInputReportCallback()
{
    {
        std::lock_guard lock(mutex_);
        binding_ = Binding{};
    }
    wake();
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

void HidManager::readInput(const Binding& binding, short revents)
{
    std::vector<std::uint8_t> buffer(binding.bufferSize);
    bool gone = false;
    if (revents & POLLIN) {
        for (int i = 0; i < kMaxReportsPerTurn; ++i) {
            std::size_t length = 0;
            const auto result = binding.device->readReport(buffer, length);
            if (result == HidDevice::ReadResult::report) {
                if (binding.onReport)
                    binding.onReport(std::span<const std::uint8_t>(buffer.data(), length));
                continue;
            }
            gone = result == HidDevice::ReadResult::gone;
            break;
        }
    } else if (revents & (POLLHUP | POLLERR | POLLNVAL)) {
        gone = true;
    }
    if (!gone)
        return;
    {
        std::lock_guard lock(mutex_);
        deadGeneration_ = binding.generation;
    }
    if (binding.onGone)
        binding.onGone();
}

void HidManager::run()
{
    // The source listens before it lists, so a key plugged in between is seen (and its duplicate dropped).
    const bool sourceOpen = source_->open();
    if (sourceOpen)
        for (const auto& device : source_->enumerate())
            arrived(device);

    for (;;) {
        Binding binding;
        {
            std::lock_guard lock(mutex_);
            if (stopping_)
                return;
            if (binding_.device && binding_.generation != deadGeneration_)
                binding = binding_;
        }
        std::vector<pollfd> fds;
        fds.push_back({wakeFd_.get(), POLLIN, 0});
        const int deviceFd = binding.device ? binding.device->fd() : -1;
        if (deviceFd >= 0)
            fds.push_back({deviceFd, POLLIN, 0});
        const std::size_t sourceBegin = fds.size();
        if (sourceOpen)
            for (const pollfd& p : source_->pollFds())
                fds.push_back(p);

        if (::poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (fds[0].revents & POLLIN) {
            std::uint64_t count = 0;
            [[maybe_unused]] ssize_t n = ::read(wakeFd_.get(), &count, sizeof count);
        }
        {
            std::lock_guard lock(mutex_);
            if (stopping_)
                return;
        }
        if (deviceFd >= 0 && fds[1].revents != 0)
            readInput(binding, fds[1].revents);
        bool sourceReady = false;
        for (std::size_t i = sourceBegin; i < fds.size(); ++i)
            sourceReady = sourceReady || fds[i].revents != 0;
        if (sourceReady) {
            for (const auto& event : source_->readEvents()) {
                if (event.kind == HidDeviceSource::Event::Kind::added)
                    arrived(event.device);
                else
                    removed(event.syspath);
            }
        }
    }
}
