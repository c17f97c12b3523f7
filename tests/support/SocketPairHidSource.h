#pragma once

#include "platform/HidDeviceSource.h"
#include "platform/UniqueFd.h"

#include <sys/eventfd.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

// A HID device source for tests: each key it hands in is one end of a socketpair(AF_UNIX, SOCK_SEQPACKET), the
// test (or a software authenticator) holds the other end. One datagram is one report, as on hidraw: the host
// writes 65-byte datagrams (report ID 0 + 64 bytes) and reads the key's 64-byte input reports.
//
// A key leaves when its end hangs up: unplug(), or shutdown() of the peer descriptor by whoever holds it.
class SocketPairHidSource : public HidDeviceSource {
public:
    // One of the maker's keys as discovery describes it. An empty syspath or devnode is made up (unique) by plug().
    static HidDeviceInfo makerKey(std::string product = "KWO FIDO", std::string syspath = {}, std::string devnode = {});

    // Attaches a new key (a new object every time, even for a syspath seen before).
    std::shared_ptr<HidDevice> plug(HidDeviceInfo info = makerKey());
    // The key's end of the pair; it stays open until the source is destroyed. -1 for a key not from here.
    int peerFd(const std::shared_ptr<HidDevice>& device) const;
    // Hangs up the key's end, so reads there see the end and the host sees the key leave.
    bool unplug(const std::shared_ptr<HidDevice>& device);

    bool open() override;
    std::vector<std::shared_ptr<HidDevice>> enumerate() override;
    std::vector<pollfd> pollFds() override;
    std::vector<Event> readEvents() override;

private:
    struct Key {
        std::shared_ptr<HidDevice> device;
        UniqueFd peer;
        bool attached;
    };

    // With mutex_ held: announces the event once open().
    void announce(Event event);
    // With mutex_ held: every attached key whose pair has hung up leaves.
    void collectHangUps();

    mutable std::mutex mutex_;
    UniqueFd wakeFd_{::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)};
    std::vector<Key> keys_;
    std::vector<Event> pending_;
    bool open_ = false;
};
