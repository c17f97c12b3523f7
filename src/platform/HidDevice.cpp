#include "platform/HidDevice.h"

#include "platform/Log.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <utility>

namespace {

// How long a write may wait for room in the device's output queue before it counts as failed.
constexpr int kWriteWaitMs = 2000;

IOReturn statusFromErrno(int error)
{
    switch (error) {
    case EACCES:
    case EPERM: return kIOReturnNotPermitted;
    case ENODEV:
    case ENXIO:
    case EPIPE:
    case ENOENT:
    case ECONNRESET:
    case ENOTCONN: return kIOReturnNoDevice;
    default: return kIOReturnIOError;
    }
}

} // namespace

HidDevice::HidDevice(HidDeviceInfo info) : info_(std::move(info)), isSocket_(false) {}

HidDevice::HidDevice(HidDeviceInfo info, UniqueFd fd) : info_(std::move(info)), isSocket_(true), fd_(std::move(fd))
{
    if (fd_.valid()) {
        int flags = ::fcntl(fd_.get(), F_GETFL);
        if (flags >= 0)
            ::fcntl(fd_.get(), F_SETFL, flags | O_NONBLOCK);
    }
}

IOReturn HidDevice::open()
{
    std::lock_guard lock(mutex_);
    if (fd_.valid())
        return kIOReturnSuccess;
    if (isSocket_ || info_.devnode.empty())
        return kIOReturnNoDevice;
    int fd = ::open(info_.devnode.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int error = errno;
        if (!std::exchange(openFailureLogged_, true))
            logLine("openDevice: " + info_.devnode + ": " + std::strerror(error) +
                    (error == EACCES || error == EPERM ? " (no read/write access to the key's hidraw node)" : ""));
        return statusFromErrno(error);
    }
    fd_.reset(fd);
    return kIOReturnSuccess;
}

int HidDevice::fd() const
{
    std::lock_guard lock(mutex_);
    return fd_.get();
}

IOReturn HidDevice::setReport(std::span<const std::uint8_t> report)
{
    if (report.size() > kReportSize)
        return kIOReturnOverrun;
    if (IOReturn status = open(); status != kIOReturnSuccess)
        return status;
    const int fd = this->fd();

    std::array<std::uint8_t, kReportSize + 1> out{};
    std::memcpy(out.data() + 1, report.data(), report.size());

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWriteWaitMs);
    for (;;) {
        // A socket's peer may be gone; send() with MSG_NOSIGNAL reports that as EPIPE instead of raising SIGPIPE.
        ssize_t n = isSocket_ ? ::send(fd, out.data(), out.size(), MSG_NOSIGNAL) : ::write(fd, out.data(), out.size());
        if (n == static_cast<ssize_t>(out.size()))
            return kIOReturnSuccess;
        if (n >= 0)
            return kIOReturnIOError;
        if (errno == EINTR)
            continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            return statusFromErrno(errno);
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return kIOReturnTimeout;
        pollfd pfd{fd, POLLOUT, 0};
        if (::poll(&pfd, 1, static_cast<int>(left.count())) < 0 && errno != EINTR)
            return kIOReturnIOError;
        if (pfd.revents & (POLLHUP | POLLERR))
            return kIOReturnNoDevice;
    }
}

HidDevice::ReadResult HidDevice::readReport(std::span<std::uint8_t> buffer, std::size_t& length)
{
    length = 0;
    const int fd = this->fd();
    if (fd < 0)
        return ReadResult::gone;
    for (;;) {
        ssize_t n = ::read(fd, buffer.data(), buffer.size());
        if (n > 0) {
            length = static_cast<std::size_t>(n);
            return ReadResult::report;
        }
        // A socket reads 0 once its peer hung up; hidraw never returns an empty report.
        if (n == 0)
            return isSocket_ ? ReadResult::gone : ReadResult::empty;
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return ReadResult::empty;
        return ReadResult::gone;
    }
}
