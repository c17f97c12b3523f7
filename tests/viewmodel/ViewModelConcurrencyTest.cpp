// Interleavings of the work queue, the main thread and device events.
#include "ViewModelHarness.h"

#include <gtest/gtest.h>

#include <future>

using View = DeviceViewModel::View;

namespace {

std::size_t countCtaphid(CtaphidFront& front, std::uint8_t cmd)
{
    std::size_t n = 0;
    for (const auto& r : front.received())
        if (r.cmd == cmd)
            ++n;
    return n;
}

constexpr std::uint8_t kWink = 0x08;

} // namespace

TEST(ViewModelOrder, QueuedWinkAfterDeselectionIsSkipped)
{
    ViewModelHarness h;
    auto& key = h.plugAndList();
    h.select(0);
    ASSERT_TRUE(h.waitIdle());
    ASSERT_TRUE(pumpUntil([&] { return countCtaphid(*key.front, kWink) == 1; }));

    // Hold the work queue with a slow refresh, then select and deselect while it is held.
    key.authenticator().setProcessingDelay(std::chrono::milliseconds(300));
    h.vm->setCurrentView(View::deviceList);
    ViewModelTestSeam::select(*h.vm, h.vm->deviceList().at(0));
    ViewModelTestSeam::select(*h.vm, std::nullopt);
    ASSERT_TRUE(h.waitIdle());
    ASSERT_TRUE(h.settle());
    EXPECT_EQ(countCtaphid(*key.front, kWink), 1u);
}

TEST(ViewModelOrder, ASecondMessageBoxReplacesTheFirst)
{
    ViewModelHarness h;
    int first = 0;
    int second = 0;
    h.vm->presentMessageBox("T1", "M1", "Ok", std::nullopt, [&] { ++first; });
    h.vm->presentMessageBox("T2", "M2", "Ok", std::string("Cancel"), [&] { ++second; });
    ASSERT_TRUE(h.waitForMessage("M2"));
    EXPECT_EQ(h.vm->messageBoxInfo().title, "T2");
    EXPECT_TRUE(h.vm->messageBoxInfo().result);
    h.vm->closeMessageBox(false);
    EXPECT_FALSE(h.vm->showMessageBox());
    EXPECT_FALSE(h.vm->messageBoxInfo().result);
    EXPECT_EQ(first, 0);
    EXPECT_EQ(second, 1);
    h.vm->closeMessageBox(true); // a box that is not shown cannot be closed twice
    EXPECT_EQ(second, 1);
}

TEST(ViewModelOrder, ArrivalAndRemovalDuringAPendingPinOperationBothComplete)
{
    ViewModelHarness h;
    auto& slow = h.plugAndList();
    auto& leaving = h.plugAndList();
    h.select(0);
    ASSERT_TRUE(h.waitIdle());
    h.vm->showPinViewForSetOrChange();
    h.vm->pinFieldEdited(DeviceViewModel::PinField::newPin, "1357");
    h.vm->pinFieldEdited(DeviceViewModel::PinField::confirmPin, "1357");
    slow.authenticator().setProcessingDelay(std::chrono::milliseconds(150));
    h.vm->pinOkClicked();
    ASSERT_TRUE(h.vm->busy());
    // While the PIN exchange runs, one key leaves and another arrives; the main thread keeps turning.
    h.rig.unplug(leaving);
    auto& arriving = h.rig.plug();
    h.vm->pinOkClicked(); // refused while busy
    ASSERT_TRUE(h.waitForMessage("New PIN is set"));
    ASSERT_TRUE(pumpUntil([&] { return h.vm->deviceList().size() == 2 && !h.vm->busy(); }));
    EXPECT_EQ(h.vm->deviceList()[1].device.hid(), arriving.device);
    EXPECT_EQ(countRequests(slow.authenticator(), 0x06, 0x03), 1u); // one setPin, not two
    EXPECT_TRUE(slow.authenticator().hasPin());
}

TEST(ViewModelOrder, ShutdownWithAPendingTouchWaitEnds)
{
    auto h = std::make_unique<ViewModelHarness>(false, std::map<std::string, std::string>{{"AdvancedMode", "true"}});
    auto& key = h->plugAndSelectWithPin("pin 1234\n");
    ASSERT_TRUE(h->openCredentials("1234"));
    key.authenticator().setTouch(SoftAuthenticator::Touch::HeldUntilCancel);
    h->vm->credMgmtDeleteClicked();
    ASSERT_TRUE(pumpUntil([&] { return h->vm->waitUserTouch(); }));

    auto done = std::async(std::launch::async, [&] { h->vm->shutdown(); });
    // A hang here would be a thread that never stops; the limit is far above any real stop time.
    EXPECT_EQ(done.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    done.wait();
    h.reset();
}

TEST(ViewModelOrder, EachOperationUsesItsOwnKeysChannel)
{
    ViewModelHarness h;
    auto& first = h.plugAndList();
    h.select(0);
    ASSERT_TRUE(h.waitIdle());
    // A second key arrives after the selection: reading it opens a channel of its own on the client.
    CtaphidFront::Options otherChannel;
    otherChannel.firstChannel = 0x22220001;
    auto& second = h.rig.plug({}, "KWO FIDO", {}, otherChannel);
    ASSERT_TRUE(pumpUntil([&] { return h.vm->deviceList().size() == 2; }));
    h.vm->showPinViewForSetOrChange();
    h.vm->pinFieldEdited(DeviceViewModel::PinField::newPin, "8642");
    h.vm->pinFieldEdited(DeviceViewModel::PinField::confirmPin, "8642");
    h.vm->pinOkClicked();
    ASSERT_TRUE(h.waitForMessage("New PIN is set"));
    EXPECT_TRUE(first.authenticator().hasPin());
    EXPECT_FALSE(second.authenticator().hasPin());
}
