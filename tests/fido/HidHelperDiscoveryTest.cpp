#include "fido/HidHelper.h"

#include "platform/NotificationCenter.h"
#include "support/Eventually.h"
#include "support/SocketPairHidSource.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <mutex>
#include <vector>

using namespace std::chrono_literals;

namespace {

struct Report {
    std::shared_ptr<HidDevice> device;
    bool added;
    bool operator==(const Report&) const = default;
};

class HidHelperDiscovery : public testing::Test {
protected:
    void SetUp() override
    {
        timing.arrivalPause = 10ms;
        helper = std::make_unique<HidHelper>(source, timing);
        token = NotificationCenter::defaultCenter().addObserver(
            "deviceDisconnected", [this](const std::string&, const NotificationCenter::UserInfo& info) {
                std::lock_guard lock(mutex);
                notifications.push_back(info);
            });
    }

    void TearDown() override
    {
        if (helper)
            helper->stopUsb();
        NotificationCenter::defaultCenter().removeObserver(token);
    }

    void monitor()
    {
        helper->setMonitorCallback([this](const std::shared_ptr<HidDevice>& device, bool added) {
            std::lock_guard lock(mutex);
            reports.push_back({device, added});
        });
    }

    bool waitForReports(std::size_t n)
    {
        return eventually([&] {
            std::lock_guard lock(mutex);
            return reports.size() >= n;
        });
    }

    std::vector<Report> seen()
    {
        std::lock_guard lock(mutex);
        return reports;
    }

    std::size_t notificationCount()
    {
        std::lock_guard lock(mutex);
        return notifications.size();
    }

    HidHelper::Timing timing;
    std::shared_ptr<SocketPairHidSource> source = std::make_shared<SocketPairHidSource>();
    std::unique_ptr<HidHelper> helper;
    NotificationCenter::Token token = 0;
    std::mutex mutex;
    std::vector<Report> reports;
    std::vector<NotificationCenter::UserInfo> notifications;
};

} // namespace

TEST_F(HidHelperDiscovery, KeysAlreadyAttachedAreReportedFirst)
{
    auto a = source->plug();
    auto b = source->plug();
    monitor();
    helper->initUsb();
    ASSERT_TRUE(waitForReports(2));
    auto c = source->plug();
    ASSERT_TRUE(waitForReports(3));
    EXPECT_EQ(seen(), (std::vector<Report>{{a, true}, {b, true}, {c, true}}));
    // Without a monitor callback the arrival would bind the key; with one, binding is left to the receiver.
    EXPECT_EQ(helper->device(), nullptr);
}

TEST_F(HidHelperDiscovery, RemovalIsReportedWithTheSameObjectAndPostsANotification)
{
    monitor();
    helper->initUsb();
    auto a = source->plug();
    ASSERT_TRUE(waitForReports(1));
    source->unplug(a);
    ASSERT_TRUE(waitForReports(2));
    EXPECT_EQ(seen(), (std::vector<Report>{{a, true}, {a, false}}));
    // Posted just after the report.
    ASSERT_TRUE(eventually([&] { return notificationCount() == 1; }));
    std::lock_guard lock(mutex);
    EXPECT_EQ(notifications[0], (NotificationCenter::UserInfo{{"class", "HidHelper"}}));
}

TEST_F(HidHelperDiscovery, KeysThatDoNotMatchAreNeitherAddedNorRemoved)
{
    monitor();
    helper->initUsb();
    HidDeviceInfo foreignVendor = SocketPairHidSource::makerKey();
    foreignVendor.vendorId = 0x0001;
    HidDeviceInfo notFido = SocketPairHidSource::makerKey();
    notFido.primaryUsagePage = 0x0001;
    notFido.primaryUsage = 0x0006;
    HidDeviceInfo otherUsage = SocketPairHidSource::makerKey();
    otherUsage.primaryUsage = 2;
    HidDeviceInfo anyProduct = SocketPairHidSource::makerKey("Other model");
    anyProduct.productId = 0x9999;

    std::vector<std::shared_ptr<HidDevice>> ignored = {source->plug(foreignVendor), source->plug(notFido),
                                                       source->plug(otherUsage)};
    auto matched = source->plug(anyProduct);
    ASSERT_TRUE(waitForReports(1));
    for (const auto& device : ignored)
        source->unplug(device);
    source->unplug(matched);
    // Events come in order: anything about the keys above is reported before this one's arrival.
    auto marker = source->plug();
    ASSERT_TRUE(waitForReports(3));
    EXPECT_EQ(seen(), (std::vector<Report>{{matched, true}, {matched, false}, {marker, true}}));
    EXPECT_EQ(notificationCount(), 1u);
}

TEST_F(HidHelperDiscovery, ReplugGivesANewKeyEvenOnTheSameNode)
{
    monitor();
    helper->initUsb();
    const auto info = SocketPairHidSource::makerKey("KWO FIDO", "/sys/devices/test/hidraw7", "/dev/hidraw7");
    auto first = source->plug(info);
    ASSERT_TRUE(waitForReports(1));
    source->unplug(first);
    auto second = source->plug(info);
    ASSERT_TRUE(waitForReports(3));
    EXPECT_EQ(seen(), (std::vector<Report>{{first, true}, {first, false}, {second, true}}));
    EXPECT_NE(first, second);
    EXPECT_EQ(second->info().devnode, "/dev/hidraw7");
}

TEST_F(HidHelperDiscovery, WithoutMonitorCallbackArrivalBindsAndRemovalStillNotifies)
{
    helper->initUsb();
    auto a = source->plug(SocketPairHidSource::makerKey("KWO FIDO"));
    ASSERT_TRUE(eventually([&] { return helper->device() == a; }));
    EXPECT_EQ(helper->getProductName(), "KWO FIDO");
    source->unplug(a);
    EXPECT_TRUE(eventually([&] { return notificationCount() == 1; }));
    // The bound key is not cleared by its removal.
    EXPECT_EQ(helper->device(), a);
}

TEST_F(HidHelperDiscovery, ProductNameIsEmptyWithoutKeyOrProductString)
{
    EXPECT_EQ(helper->getProductName(), "");
    helper->setDevice(source->plug(SocketPairHidSource::makerKey("")));
    EXPECT_EQ(helper->getProductName(), "");
}

TEST_F(HidHelperDiscovery, StopEndsThePauseAndJoinsTheThread)
{
    timing.arrivalPause = std::chrono::hours(1);
    helper = std::make_unique<HidHelper>(source, timing);
    monitor();
    source->plug();
    helper->initUsb();
    auto stopped = std::async(std::launch::async, [&] { helper->stopUsb(); });
    // A stop that waited for the pause would not return for an hour.
    ASSERT_EQ(stopped.wait_for(10s), std::future_status::ready);
    helper.reset();
}

TEST(HidHelperShared, OneInstanceForTheProcess)
{
    EXPECT_EQ(&HidHelper::shared(), &HidHelper::shared());
    EXPECT_EQ(HidHelper::shared().getProductName(), "");
}
