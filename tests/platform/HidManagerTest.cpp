#include "platform/HidManager.h"

#include "platform/UdevHidSource.h"
#include "support/Eventually.h"
#include "support/LogCapture.h"
#include "support/SocketPairHidSource.h"

#include <gtest/gtest.h>

#include <sys/socket.h>

#include <array>
#include <atomic>

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
