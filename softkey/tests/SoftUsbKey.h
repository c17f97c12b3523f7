#pragma once

#include "softkey/CtaphidFront.h"
#include "softkey/SoftAuthenticator.h"

#include <memory>

// A software USB key ready to plug in: the authenticator, a SOCK_SEQPACKET socket pair and the CTAPHID front
// on the key's end. The host's end goes to the code under test (for example a test device source).
class SoftUsbKey {
public:
    explicit SoftUsbKey(SoftKeyConfig config = {}, CtaphidFront::Options options = {});
    ~SoftUsbKey();
    SoftUsbKey(const SoftUsbKey&) = delete;
    SoftUsbKey& operator=(const SoftUsbKey&) = delete;

    bool valid() const { return front_ != nullptr; }
    int hostFd() const { return hostFd_; } // still owned here
    int releaseHostFd();                   // the caller owns and closes it from now on
    SoftAuthenticator& key() { return key_; }
    CtaphidFront& front() { return *front_; }
    void unplug() { front_->hangUp(); } // the host sees its end hang up

private:
    SoftAuthenticator key_;
    int hostFd_ = -1;
    std::unique_ptr<CtaphidFront> front_;
};
