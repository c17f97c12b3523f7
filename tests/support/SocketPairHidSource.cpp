#include "support/SocketPairHidSource.h"

#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

namespace {

bool hungUp(int fd)
{
    pollfd p{fd, 0, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL));
}

} // namespace

SocketPairHidSource::SocketPairHidSource() : wakeFd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

SocketPairHidSource::~SocketPairHidSource() = default;

HidDeviceInfo SocketPairHidSource::makerKey(std::string product, std::string syspath, std::string devnode)
{
    HidDeviceInfo info;
    info.syspath = std::move(syspath);
    info.devnode = std::move(devnode);
    info.vendorId = 0x1EA8;
    info.productId = 0x0101;
    info.product = std::move(product);
    info.serialNumber = "0000000001";
    info.primaryUsagePage = 0xF1D0;
    info.primaryUsage = 1;
    return info;
}

void SocketPairHidSource::wake()
{
    const std::uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(wakeFd_.get(), &one, sizeof one);
}

std::shared_ptr<HidDevice> SocketPairHidSource::plug(HidDeviceInfo info)
{
    int fds[2] = {-1, -1};
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds) != 0)
        return nullptr;
    UniqueFd host(fds[0]);
    UniqueFd peer(fds[1]);
    std::shared_ptr<HidDevice> device;
    {
        std::lock_guard lock(mutex_);
        const unsigned n = counter_++;
        if (info.syspath.empty())
            info.syspath = "/sys/devices/virtual/test/hidraw/hidraw" + std::to_string(n);
        if (info.devnode.empty())
            info.devnode = "/dev/hidraw" + std::to_string(n);
        // A key that left under the same syspath is reported gone before its successor arrives.
        collectHangUps(&info.syspath);
        device = std::make_shared<HidDevice>(std::move(info), std::move(host));
        keys_.push_back({device, std::move(peer), true});
        if (open_)
            pending_.push_back({Event::Kind::added, device, device->syspath()});
    }
    wake();
    return device;
}

int SocketPairHidSource::peerFd(const std::shared_ptr<HidDevice>& device) const
{
    std::lock_guard lock(mutex_);
    for (const Key& key : keys_)
        if (key.device == device)
            return key.peer.get();
    return -1;
}

bool SocketPairHidSource::unplug(const std::shared_ptr<HidDevice>& device)
{
    {
        std::lock_guard lock(mutex_);
        auto it = std::find_if(keys_.begin(), keys_.end(), [&](const Key& k) { return k.device == device; });
        if (it == keys_.end() || !it->attached)
            return false;
        ::shutdown(it->peer.get(), SHUT_RDWR);
        it->attached = false;
        if (open_)
            pending_.push_back({Event::Kind::removed, nullptr, device->syspath()});
    }
    wake();
    return true;
}

void SocketPairHidSource::collectHangUps(const std::string* onlySyspath)
{
    for (Key& key : keys_) {
        if (!key.attached || (onlySyspath && key.device->syspath() != *onlySyspath))
            continue;
        if (hungUp(key.device->fd())) {
            key.attached = false;
            if (open_)
                pending_.push_back({Event::Kind::removed, nullptr, key.device->syspath()});
        }
    }
}

bool SocketPairHidSource::open()
{
    std::lock_guard lock(mutex_);
    open_ = wakeFd_.valid();
    return open_;
}

std::vector<std::shared_ptr<HidDevice>> SocketPairHidSource::enumerate()
{
    std::lock_guard lock(mutex_);
    collectHangUps(nullptr);
    std::vector<std::shared_ptr<HidDevice>> devices;
    for (const Key& key : keys_)
        if (key.attached)
            devices.push_back(key.device);
    return devices;
}

std::vector<pollfd> SocketPairHidSource::pollFds()
{
    std::lock_guard lock(mutex_);
    std::vector<pollfd> fds{{wakeFd_.get(), POLLIN, 0}};
    // Asking for no event still reports a hang-up.
    for (const Key& key : keys_)
        if (key.attached)
            fds.push_back({key.device->fd(), 0, 0});
    return fds;
}

std::vector<HidDeviceSource::Event> SocketPairHidSource::readEvents()
{
    std::uint64_t count = 0;
    [[maybe_unused]] ssize_t n = ::read(wakeFd_.get(), &count, sizeof count);
    std::lock_guard lock(mutex_);
    collectHangUps(nullptr);
    std::vector<Event> events(pending_.begin(), pending_.end());
    pending_.clear();
    return events;
}
