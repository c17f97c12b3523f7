#include "softkey/tests/SoftUsbKey.h"

#include <sys/socket.h>
#include <unistd.h>

SoftUsbKey::SoftUsbKey(SoftKeyConfig config, CtaphidFront::Options options) : key_(std::move(config))
{
    int fds[2] = {-1, -1};
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds) != 0)
        return;
    hostFd_ = fds[0];
    front_ = std::make_unique<CtaphidFront>(key_, fds[1], options);
}

SoftUsbKey::~SoftUsbKey()
{
    front_.reset();
    if (hostFd_ >= 0)
        ::close(hostFd_);
}

int SoftUsbKey::releaseHostFd()
{
    const int fd = hostFd_;
    hostFd_ = -1;
    return fd;
}
