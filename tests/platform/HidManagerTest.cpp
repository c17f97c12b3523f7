#include "platform/HidManager.h"

#include "platform/UdevHidSource.h"
#include "support/Eventually.h"
#include "support/LogCapture.h"
#include "support/SocketPairHidSource.h"

#include <gtest/gtest.h>

#include <sys/eventfd.h>
#include <sys/socket.h>

#include <atomic>
#include <mutex>

namespace {

HidDeviceInfo info(std::string syspath, std::uint16_t vendor = 0x1EA8, std::uint16_t page = 0xF1D0,
                   std::uint16_t usage = 1)
{
    HidDeviceInfo i;
    i.syspath = std::move(syspath);
    i.vendorId = vendor;
    i.primaryUsagePage = page;
    i.primaryUsage = usage;
    return i;
}

// A source that replays a fixed script: what enumerate() lists and one batch of events.
class ScriptedSource : public HidDeviceSource {
public:
    ScriptedSource(std::vector<std::shared_ptr<HidDevice>> present, std::vector<Event> events)
        : present_(std::move(present)), events_(std::move(events)), fd_(::eventfd(1, EFD_NONBLOCK))
    {
    }
    bool open() override { return true; }
    std::vector<std::shared_ptr<HidDevice>> enumerate() override { return present_; }
    std::vector<pollfd> pollFds() override { return {{fd_.get(), POLLIN, 0}}; }
    std::vector<Event> readEvents() override
    {
        std::uint64_t n = 0;
        [[maybe_unused]] ssize_t r = ::read(fd_.get(), &n, sizeof n);
        return std::exchange(events_, {});
    }

private:
    std::vector<std::shared_ptr<HidDevice>> present_;
    std::vector<Event> events_;
    UniqueFd fd_;
};

struct Recorder {
    std::mutex mutex;
    std::vector<std::pair<std::shared_ptr<HidDevice>, bool>> seen;

    void attach(HidManager& manager)
    {
        manager.registerDeviceMatchingCallback([this](const std::shared_ptr<HidDevice>& d) {
            std::lock_guard lock(mutex);
            seen.emplace_back(d, true);
        });
        manager.registerDeviceRemovalCallback([this](const std::shared_ptr<HidDevice>& d) {
            std::lock_guard lock(mutex);
            seen.emplace_back(d, false);
        });
    }
    bool waitFor(std::size_t n)
    {
        return eventually([&] {
            std::lock_guard lock(mutex);
            return seen.size() >= n;
        });
    }
};

using Kind = HidDeviceSource::Event::Kind;

} // namespace

TEST(HidManager, DuplicatesAndRemovalsOfUnreportedDevicesAreDropped)
{
    auto a = std::make_shared<HidDevice>(info("/sys/a"));
    auto aAgain = std::make_shared<HidDevice>(info("/sys/a"));
    auto b = std::make_shared<HidDevice>(info("/sys/b"));
    auto marker = std::make_shared<HidDevice>(info("/sys/marker"));
    auto mouse = std::make_shared<HidDevice>(info("/sys/mouse", 0x1EA8, 0x0001, 0x0002));
    auto source = std::make_shared<ScriptedSource>(
        std::vector<std::shared_ptr<HidDevice>>{a, mouse},
        std::vector<HidDeviceSource::Event>{{Kind::added, aAgain, "/sys/a"},     // seen by both listing and monitor
                                            {Kind::removed, nullptr, "/sys/x"},  // never reported
                                            {Kind::removed, nullptr, "/sys/mouse"},
                                            {Kind::added, b, "/sys/b"},
                                            {Kind::removed, nullptr, "/sys/a"},
                                            {Kind::removed, nullptr, "/sys/a"},
                                            // reported last, so nothing above can come after it
                                            {Kind::added, marker, "/sys/marker"}});
    HidManager manager(source);
    manager.setDeviceMatching({0x1EA8, 0, 0xF1D0, 1});
    Recorder recorder;
    recorder.attach(manager);
    ASSERT_TRUE(manager.start());
    EXPECT_FALSE(manager.start());
    ASSERT_TRUE(recorder.waitFor(4));
    manager.stop();
    std::lock_guard lock(recorder.mutex);
    EXPECT_EQ(recorder.seen, (decltype(recorder.seen){{a, true}, {b, true}, {a, false}, {marker, true}}));
}

TEST(HidManager, ZeroCriteriaMatchEverything)
{
    HidDevice device(info("/sys/k", 0x1234, 0xFF00, 7));
    EXPECT_TRUE(HidMatching{}.matches(device));
    EXPECT_TRUE((HidMatching{0x1234, 0, 0, 0}.matches(device)));
    EXPECT_FALSE((HidMatching{0x1234, 1, 0, 0}.matches(device)));
    EXPECT_FALSE((HidMatching{0, 0, 0xF1D0, 0}.matches(device)));
    EXPECT_TRUE((HidMatching{0x1234, 0, 0xFF00, 7}.matches(device)));
}

TEST(HidManager, InputReportsOfTheBoundDeviceAreAllDeliveredByAFlushAndItsHangUpUnbindsIt)
{
    auto source = std::make_shared<SocketPairHidSource>();
    auto key = source->plug();
    HidManager manager(source);
    std::mutex mutex;
    std::vector<std::size_t> lengths;
    std::atomic<int> gone{0};
    manager.registerInputReportCallback(
        key, 64,
        [&](std::span<const std::uint8_t> r) {
            std::lock_guard lock(mutex);
            lengths.push_back(r.size());
        },
        [&] { ++gone; });
    ASSERT_TRUE(manager.start());
    const int peer = source->peerFd(key);
    std::uint8_t report[100] = {};
    ASSERT_EQ(::send(peer, report, 64, 0), 64);
    ASSERT_EQ(::send(peer, report, 5, 0), 5);
    ASSERT_EQ(::send(peer, report, 100, 0), 100); // cut to the buffer, as hidraw does
    manager.flushInput();
    {
        std::lock_guard lock(mutex);
        EXPECT_EQ(lengths, (std::vector<std::size_t>{64, 5, 64}));
    }
    ::shutdown(peer, SHUT_RDWR);
    EXPECT_TRUE(eventually([&] { return gone == 1; }));
    EXPECT_EQ(manager.inputDevice(), nullptr);
    manager.stop();
}

TEST(HidManager, StopWithoutStartAndTwice)
{
    HidManager manager(std::make_shared<SocketPairHidSource>());
    manager.stop();
    manager.stop();
    EXPECT_FALSE(manager.start());
    manager.flushInput(); // returns: no thread is left to wait for
}

TEST(HidDevice, WritesReportIdZeroAndPadsToSixtyFourBytes)
{
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds), 0);
    UniqueFd peer(fds[1]);
    HidDevice device(info("/sys/s"), UniqueFd(fds[0]));
    EXPECT_EQ(device.setReport(std::vector<std::uint8_t>{1, 2, 3}), kIOReturnSuccess);
    EXPECT_EQ(device.setReport(std::vector<std::uint8_t>(65, 0)), kIOReturnOverrun);
    std::uint8_t buffer[128];
    ASSERT_EQ(::recv(peer.get(), buffer, sizeof buffer, 0), 65);
    EXPECT_EQ(buffer[0], 0);
    EXPECT_EQ(buffer[1], 1);
    EXPECT_EQ(buffer[3], 3);
    EXPECT_EQ(buffer[64], 0);
    peer.reset();
    EXPECT_EQ(device.setReport(std::vector<std::uint8_t>{1}), kIOReturnNoDevice);
}

TEST(HidDevice, ANodeThatCannotBeOpenedIsLoggedOnce)
{
    LogCapture log;
    HidDevice device(HidDeviceInfo{"/sys/none", "/dev/does-not-exist-hidraw", 0, 0, "", "", 0, 0});
    EXPECT_NE(device.open(), kIOReturnSuccess);
    EXPECT_EQ(device.setReport(std::vector<std::uint8_t>{1}), kIOReturnNoDevice);
    EXPECT_EQ(device.fd(), -1);
    EXPECT_EQ(log.lines(),
              std::vector<std::string>{"openDevice: /dev/does-not-exist-hidraw: No such file or directory"});
}

TEST(UdevHidSource, ParsesHidId)
{
    auto id = UdevHidSource::parseHidId("0003:00001EA8:00000101");
    ASSERT_TRUE(id);
    EXPECT_EQ(id->vendorId, 0x1EA8);
    EXPECT_EQ(id->productId, 0x0101);
    EXPECT_FALSE(UdevHidSource::parseHidId(""));
    EXPECT_FALSE(UdevHidSource::parseHidId("0003:00001EA8"));
    EXPECT_FALSE(UdevHidSource::parseHidId("0003:0001FFFFF:0000"));
    EXPECT_FALSE(UdevHidSource::parseHidId("0003:xyz:0101"));
}

TEST(UdevHidSource, RunsOnThisMachine)
{
    // Whatever HID devices this machine has, listing them and starting the monitor must be safe.
    auto source = std::make_shared<UdevHidSource>();
    HidManager manager(source);
    manager.setDeviceMatching({0x1EA8, 0, 0xF1D0, 1});
    ASSERT_TRUE(manager.start());
    // Returns once the thread has listed the devices and is polling.
    manager.flushInput();
    manager.stop();
}
