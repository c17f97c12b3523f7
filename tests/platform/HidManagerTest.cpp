#include "platform/HidManager.h"

#include "platform/UdevHidSource.h"
#include "support/Eventually.h"
#include "support/LogCapture.h"
#include "support/SocketPairHidSource.h"

#include <gtest/gtest.h>

#include <sys/eventfd.h>
#include <sys/socket.h>

#include <array>
#include <atomic>
#include <mutex>
#include <utility>

namespace {

HidDeviceInfo info(std::string syspath, std::uint16_t vendor = 0x1EA8, std::uint16_t page = 0xF1D0,
                   std::uint16_t usage = 1)
{
    return {std::move(syspath), "", vendor, 0, "", "", page, usage};
}

// A source that replays a fixed script: what enumerate() lists and one batch of events.
class ScriptedSource : public HidDeviceSource {
public:
    ScriptedSource(std::vector<std::shared_ptr<HidDevice>> present, std::vector<Event> events)
        : present_(std::move(present)), events_(std::move(events))
    {
    }
    bool open() override { return true; }
    std::vector<std::shared_ptr<HidDevice>> enumerate() override { return present_; }
    std::vector<pollfd> pollFds() override { return {{fd_.get(), POLLIN, 0}}; }
    std::vector<Event> readEvents() override
    {
        eventfd_t n = 0;
        ::eventfd_read(fd_.get(), &n);
        return std::exchange(events_, {});
    }

private:
    std::vector<std::shared_ptr<HidDevice>> present_;
    std::vector<Event> events_;
    UniqueFd fd_{::eventfd(1, EFD_NONBLOCK)};
};

} // namespace

// The listing and the monitor both see a key that arrives as the HID thread starts (as two objects): it is reported
// once, with the first; a removal is reported only for a key whose arrival was, and only once.
TEST(HidManager, DuplicatesAndRemovalsOfUnreportedDevicesAreDropped)
{
    using Kind = HidDeviceSource::Event::Kind;
    auto a = std::make_shared<HidDevice>(info("/sys/a"));
    auto aAgain = std::make_shared<HidDevice>(info("/sys/a"));
    auto b = std::make_shared<HidDevice>(info("/sys/b"));
    auto mouse = std::make_shared<HidDevice>(info("/sys/mouse", 0x1EA8, 0x0001, 0x0002));
    HidManager manager(std::make_shared<ScriptedSource>(
        std::vector<std::shared_ptr<HidDevice>>{a, mouse},
        std::vector<HidDeviceSource::Event>{{Kind::added, aAgain, "/sys/a"},
                                            {Kind::removed, nullptr, "/sys/x"},
                                            {Kind::removed, nullptr, "/sys/mouse"},
                                            {Kind::added, b, "/sys/b"},
                                            {Kind::removed, nullptr, "/sys/a"},
                                            {Kind::removed, nullptr, "/sys/a"}}));
    manager.setDeviceMatching({0x1EA8, 0, 0xF1D0, 1});
    std::mutex mutex;
    std::vector<std::pair<std::shared_ptr<HidDevice>, bool>> seen;
    manager.registerDeviceMatchingCallback([&](const std::shared_ptr<HidDevice>& d) {
        std::lock_guard lock(mutex);
        seen.emplace_back(d, true);
    });
    manager.registerDeviceRemovalCallback([&](const std::shared_ptr<HidDevice>& d) {
        std::lock_guard lock(mutex);
        seen.emplace_back(d, false);
    });
    ASSERT_TRUE(manager.start());
    ASSERT_TRUE(eventually([&] {
        std::lock_guard lock(mutex);
        return seen.size() >= 3;
    }));
    // Served after the rest of the batch.
    manager.flushInput();
    std::lock_guard lock(mutex);
    EXPECT_EQ(seen, (decltype(seen){{a, true}, {b, true}, {a, false}}));
}

TEST(HidManager, ACriterionOfZeroMatchesEveryValue)
{
    const HidDevice device(HidDeviceInfo{"/sys/k", "", 0x1234, 0x5678, "", "", 0xFF00, 7});
    const std::pair<HidMatching, bool> cases[] = {
        {{}, true},
        {{0x1234, 0, 0, 0}, true},
        {{0, 0x5678, 0, 0}, true},
        {{0, 0, 0xFF00, 0}, true},
        {{0, 0, 0, 7}, true},
        {{0x1234, 0x5678, 0xFF00, 7}, true},
        {{0x1235, 0, 0, 0}, false},
        {{0, 0x5679, 0, 0}, false},
        {{0, 0, 0xF1D0, 0}, false},
        {{0, 0, 0, 1}, false},
    };
    for (const auto& [matching, matches] : cases)
        EXPECT_EQ(matching.matches(device), matches)
            << matching.vendorId << " " << matching.productId << " " << matching.usagePage << " " << matching.usage;
}

TEST(HidManager, StopWithoutStartAndTwice)
{
    HidManager manager(std::make_shared<SocketPairHidSource>());
    manager.stop();
    manager.stop();
    EXPECT_FALSE(manager.start());
}

TEST(HidManager, InputReportsOfTheBoundDeviceAreAllDeliveredByAFlushAndItsHangUpUnbindsIt)
{
    auto source = std::make_shared<SocketPairHidSource>();
    // Announced from here on: the key is both listed and announced when the HID thread starts, and reported once.
    source->open();
    auto key = source->plug();
    HidManager manager(source);
    std::atomic<int> arrivals{0}, gone{0};
    std::atomic<std::size_t> delivered{0};
    std::array<std::uint8_t, 64> buffer{};
    manager.registerDeviceMatchingCallback([&](const std::shared_ptr<HidDevice>&) { ++arrivals; });
    manager.registerInputReportCallback(
        key, buffer, [&](std::span<const std::uint8_t> r) { delivered += r.size(); }, [&] { ++gone; });
    // Without a running thread there is nothing to wait for.
    manager.flushInput();
    ASSERT_TRUE(manager.start());
    EXPECT_FALSE(manager.start());
    std::uint8_t report[100] = {};
    for (std::size_t length : {64, 5, 100}) // the last one is cut to the buffer, as hidraw does
        ASSERT_EQ(::send(source->peerFd(key), report, length, 0), static_cast<ssize_t>(length));
    manager.flushInput();
    EXPECT_EQ(delivered, 64u + 5u + 64u);
    ::shutdown(source->peerFd(key), SHUT_RDWR);
    EXPECT_TRUE(eventually([&] { return gone == 1; }));
    EXPECT_EQ(manager.inputDevice(), nullptr);
    EXPECT_EQ(arrivals, 1);
    // A stopped manager stays stopped, and a flush then returns at once.
    manager.stop();
    EXPECT_FALSE(manager.start());
    manager.flushInput();
}

TEST(HidDevice, ANodeThatCannotBeOpenedIsLoggedOnce)
{
    LogCapture log;
    HidDevice device(HidDeviceInfo{"/sys/none", "/dev/does-not-exist-hidraw", 0, 0, "", "", 0, 0});
    EXPECT_NE(device.open(), kIOReturnSuccess);
    EXPECT_EQ(device.setReport(std::vector<std::uint8_t>{1}), kIOReturnNoDevice);
    EXPECT_EQ(log.lines(),
              std::vector<std::string>{"openDevice: /dev/does-not-exist-hidraw: No such file or directory"});
}

// The padding is zeros whatever was written before: it must not carry bytes of an earlier report to the key.
TEST(HidDevice, WritesReportIdZeroAndPadsToSixtyFourBytes)
{
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds), 0);
    UniqueFd peer(fds[1]);
    HidDevice device(info("/sys/s"), UniqueFd(fds[0]));
    EXPECT_EQ(device.setReport(std::vector<std::uint8_t>(64, 0xFF)), kIOReturnSuccess);
    EXPECT_EQ(device.setReport(std::vector<std::uint8_t>{1, 2, 3}), kIOReturnSuccess);
    EXPECT_EQ(device.setReport(std::vector<std::uint8_t>(65, 0)), kIOReturnOverrun);
    std::array<std::uint8_t, 128> full{}, shortOne{};
    ASSERT_EQ(::recv(peer.get(), full.data(), full.size(), 0), 65);
    ASSERT_EQ(::recv(peer.get(), shortOne.data(), shortOne.size(), 0), 65);
    std::array<std::uint8_t, 128> expected{0, 1, 2, 3};
    EXPECT_EQ(shortOne, expected);
    EXPECT_EQ(full[0], 0);
    peer.reset();
    EXPECT_EQ(device.setReport(std::vector<std::uint8_t>{1}), kIOReturnNoDevice);
}

TEST(UdevHidSource, ParsesHidIdAndRunsOnThisMachine)
{
    auto id = UdevHidSource::parseHidId("0003:00001EA8:00000101");
    EXPECT_TRUE(id && id->vendorId == 0x1EA8 && id->productId == 0x0101);
    for (const char* bad : {"", "0003:00001EA8", "0003:0001FFFFF:0000", "0003:xyz:0101"})
        EXPECT_FALSE(UdevHidSource::parseHidId(bad)) << bad;
    // Whatever HID devices this machine has, listing them and starting the monitor must be safe.
    HidManager manager(std::make_shared<UdevHidSource>());
    ASSERT_TRUE(manager.start());
    // Returns once the thread has listed the devices and is polling.
    manager.flushInput();
}
