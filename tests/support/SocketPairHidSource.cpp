#include "support/SocketPairHidSource.h"

#include <sys/socket.h>

#include <algorithm>

HidDeviceInfo SocketPairHidSource::makerKey(std::string product, std::string syspath, std::string devnode)
{
    return {std::move(syspath), std::move(devnode), 0x1EA8, 0x0101, std::move(product), "0000000001", 0xF1D0, 1};
}

void SocketPairHidSource::announce(Event event)
{
    if (!open_)
        return;
    pending_.push_back(std::move(event));
    ::eventfd_write(wakeFd_.get(), 1);
}

std::shared_ptr<HidDevice> SocketPairHidSource::plug(HidDeviceInfo info)
{
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds) != 0)
        return nullptr;
    std::lock_guard lock(mutex_);
    const std::string n = std::to_string(keys_.size());
    if (info.syspath.empty())
        info.syspath = "/sys/devices/virtual/test/hidraw/hidraw" + n;
    if (info.devnode.empty())
        info.devnode = "/dev/hidraw" + n;
    // A key that left is reported gone before any later arrival, its successor on the same syspath included.
    collectHangUps();
    auto device = std::make_shared<HidDevice>(std::move(info), UniqueFd(fds[0]));
    keys_.push_back({device, UniqueFd(fds[1]), true});
    announce({Event::Kind::added, device, device->syspath()});
    return device;
}

int SocketPairHidSource::peerFd(const std::shared_ptr<HidDevice>& device) const
{
    std::lock_guard lock(mutex_);
    auto key = std::find_if(keys_.begin(), keys_.end(), [&](const Key& k) { return k.device == device; });
    return key == keys_.end() ? -1 : key->peer.get();
}

bool SocketPairHidSource::unplug(const std::shared_ptr<HidDevice>& device)
{
    std::lock_guard lock(mutex_);
    auto key = std::find_if(keys_.begin(), keys_.end(), [&](const Key& k) { return k.device == device; });
    if (key == keys_.end() || !key->attached)
        return false;
    // The host's end sees the hang-up at once, so the removal is announced here, in order.
    ::shutdown(key->peer.get(), SHUT_RDWR);
    collectHangUps();
    return true;
}

void SocketPairHidSource::collectHangUps()
{
    for (Key& key : keys_) {
        pollfd p{key.device->fd(), 0, 0};
        if (key.attached && ::poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL))) {
            key.attached = false;
            announce({Event::Kind::removed, nullptr, key.device->syspath()});
        }
    }
}

bool SocketPairHidSource::open()
{
    std::lock_guard lock(mutex_);
    return open_ = wakeFd_.valid();
}

std::vector<std::shared_ptr<HidDevice>> SocketPairHidSource::enumerate()
{
    std::lock_guard lock(mutex_);
    collectHangUps();
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
    eventfd_t count = 0;
    ::eventfd_read(wakeFd_.get(), &count);
    std::lock_guard lock(mutex_);
    collectHangUps();
    return std::exchange(pending_, {});
}
