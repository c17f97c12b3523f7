#include "platform/HidManager.h"

#include "platform/UdevHidSource.h"
#include "support/Eventually.h"
#include "support/LogCapture.h"
#include "support/SocketPairHidSource.h"

#include <gtest/gtest.h>

#include <sys/socket.h>

#include <atomic>
#include <mutex>

TEST(HidManager, InputReportsOfTheBoundDeviceAreAllDeliveredByAFlushAndItsHangUpUnbindsIt)
{
    auto source = std::make_shared<SocketPairHidSource>();
    // Announced from here on: the key is both listed and announced when the HID thread starts, and reported once.
    source->open();
    auto key = source->plug();
    HidManager manager(source);
    std::atomic<int> arrivals{0};
    manager.registerDeviceMatchingCallback([&](const std::shared_ptr<HidDevice>&) { ++arrivals; });
    // Without a running thread there is nothing to wait for.
    manager.flushInput();
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
    EXPECT_FALSE(manager.start());
    const int peer = source->peerFd(key);
    std::uint8_t report[100] = {};
    for (std::size_t length : {64, 5, 100}) // the last one is cut to the buffer, as hidraw does
        ASSERT_EQ(::send(peer, report, length, 0), static_cast<ssize_t>(length));
    manager.flushInput();
    {
        std::lock_guard lock(mutex);
        EXPECT_EQ(lengths, (std::vector<std::size_t>{64, 5, 64}));
    }
    ::shutdown(peer, SHUT_RDWR);
    EXPECT_TRUE(eventually([&] { return gone == 1; }));
    EXPECT_EQ(manager.inputDevice(), nullptr);
    EXPECT_EQ(arrivals, 1);
    // A stopped manager stays stopped, and a flush then returns at once.
    manager.stop();
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
    EXPECT_EQ(device.fd(), -1);
    EXPECT_EQ(log.lines(),
              std::vector<std::string>{"openDevice: /dev/does-not-exist-hidraw: No such file or directory"});
}

TEST(UdevHidSource, ParsesHidIdAndRunsOnThisMachine)
{
    auto id = UdevHidSource::parseHidId("0003:00001EA8:00000101");
    ASSERT_TRUE(id);
    EXPECT_EQ(id->vendorId, 0x1EA8);
    EXPECT_EQ(id->productId, 0x0101);
    for (const char* bad : {"", "0003:00001EA8", "0003:0001FFFFF:0000", "0003:xyz:0101"})
        EXPECT_FALSE(UdevHidSource::parseHidId(bad)) << bad;
    // Whatever HID devices this machine has, listing them and starting the monitor must be safe.
    HidManager manager(std::make_shared<UdevHidSource>());
    manager.setDeviceMatching({0x1EA8, 0, 0xF1D0, 1});
    ASSERT_TRUE(manager.start());
    // Returns once the thread has listed the devices and is polling.
    manager.flushInput();
}
