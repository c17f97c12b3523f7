#include "softkey/VpcdCard.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>

namespace {

// Without quick ACKs every APDU waits for the peer's delayed-ACK timer (about 40 ms).
void quickAck(int fd)
{
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
}

bool readAll(int fd, std::uint8_t* p, std::size_t n)
{
    while (n > 0) {
        quickAck(fd);
        const ssize_t r = ::recv(fd, p, n, 0);
        if (r <= 0) {
            if (r < 0 && errno == EINTR)
                continue;
            return false;
        }
        p += r;
        n -= static_cast<std::size_t>(r);
    }
    return true;
}

bool writeAll(int fd, const std::uint8_t* p, std::size_t n)
{
    while (n > 0) {
        const ssize_t w = ::send(fd, p, n, MSG_NOSIGNAL);
        if (w <= 0) {
            if (w < 0 && errno == EINTR)
                continue;
            return false;
        }
        p += w;
        n -= static_cast<std::size_t>(w);
    }
    return true;
}

bool sendMessage(int fd, const Bytes& payload)
{
    if (payload.size() > 0xFFFF)
        return false;
    Bytes frame;
    frame.reserve(payload.size() + 2);
    frame.push_back(static_cast<std::uint8_t>(payload.size() >> 8));
    frame.push_back(static_cast<std::uint8_t>(payload.size() & 0xFF));
    frame.insert(frame.end(), payload.begin(), payload.end());
    return writeAll(fd, frame.data(), frame.size());
}

} // namespace

VpcdCard::VpcdCard(std::uint16_t port, Bytes atr, ApduHandler onApdu, ControlHandler onControl)
    : port_(port), atr_(std::move(atr)), onApdu_(std::move(onApdu)), onControl_(std::move(onControl))
{
}

VpcdCard::~VpcdCard() { remove(); }

bool VpcdCard::insert(std::chrono::milliseconds timeout)
{
    std::lock_guard guard(lifecycle_);
    if (fd_.load() >= 0)
        return true;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0)
            return false;
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(port_);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
            int one = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            aborting_ = false;
            fd_ = fd;
            thread_ = std::thread([this, fd] { run(fd); });
            return true;
        }
        ::close(fd);
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

void VpcdCard::remove()
{
    std::lock_guard guard(lifecycle_);
    const int fd = fd_.exchange(-1);
    aborting_ = true;
    if (fd >= 0)
        ::shutdown(fd, SHUT_RDWR);
    if (thread_.joinable())
        thread_.join();
    if (fd >= 0)
        ::close(fd);
}

void VpcdCard::run(int fd)
{
    for (;;) {
        std::uint8_t head[2];
        if (!readAll(fd, head, 2))
            break;
        const std::size_t len = static_cast<std::size_t>(head[0]) << 8 | head[1];
        Bytes payload(len);
        if (len > 0 && !readAll(fd, payload.data(), len))
            break;
        if (len == 1) {
            const std::uint8_t control = payload[0];
            if (onControl_)
                onControl_(control);
            if (control == 4 && !sendMessage(fd, atr_))
                break;
            continue;
        }
        const Bytes reply = onApdu_ ? onApdu_(payload) : Bytes{0x6F, 0x00};
        if (aborting_)
            break;
        if (!sendMessage(fd, reply))
            break;
    }
}

VpcdPortLock::VpcdPortLock(std::uint16_t port)
{
    const std::string path = "/tmp/marrowtillance-vpcd-" + std::to_string(port) + ".lock";
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd_ >= 0) {
        while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
        }
    }
}

VpcdPortLock::~VpcdPortLock()
{
    if (fd_ >= 0) {
        ::flock(fd_, LOCK_UN);
        ::close(fd_);
    }
}
