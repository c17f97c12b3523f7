// Interleavings of the work queue, the main thread and device events.
#include "ViewModelHarness.h"

#include <future>

// A wink queued for a selection that is gone when it runs is skipped.
TEST(ViewModelOrder, QueuedWinkAfterDeselectionIsSkipped)
{
    const auto winks = [](CtaphidFront& front) {
        const auto received = front.received();
        return std::count_if(received.begin(), received.end(), [](const auto& r) { return r.cmd == 0x08; });
    };
    ViewModelHarness h;
    auto& key = h.plugAndList();
    h.select(0);
    ASSERT_TRUE(h.waitIdle() && pumpUntil([&] { return winks(*key.front) == 1; }));
    // Hold the work queue with a slow refresh, then select and deselect while it is held.
    key.authenticator().setProcessingDelay(std::chrono::milliseconds(300));
    h.vm->setCurrentView(DeviceViewModel::View::deviceList);
    ViewModelTestSeam::select(*h.vm, h.vm->deviceList().at(0));
    ViewModelTestSeam::select(*h.vm, std::nullopt);
    ASSERT_TRUE(h.waitIdle() && h.settle());
    EXPECT_EQ(winks(*key.front), 1);
}

// A box shown over another replaces it: only the newer one's callback runs, once.
TEST(ViewModelOrder, ASecondMessageBoxReplacesTheFirst)
{
    ViewModelHarness h;
    int first = 0;
    int second = 0;
    h.vm->presentMessageBox("T1", "M1", "Ok", std::nullopt, [&] { ++first; });
    h.vm->presentMessageBox("T2", "M2", "Ok", std::string("Cancel"), [&] { ++second; });
    ASSERT_TRUE(h.waitForMessage("M2"));
    EXPECT_EQ(h.vm->messageBoxInfo().title, "T2");
    h.vm->closeMessageBox(false);
    EXPECT_FALSE(h.vm->showMessageBox() || h.vm->messageBoxInfo().result);
    h.vm->closeMessageBox(true); // a box that is not shown cannot be closed twice
    EXPECT_TRUE(first == 0 && second == 1);
}

// While a PIN is set on the selected key, another leaves and a third arrives: both are seen, the PIN is set once,
// and on the selected key through its own channel (a key read after the selection opened one of its own).
TEST(ViewModelOrder, ArrivalAndRemovalDuringAPendingPinOperationBothComplete)
{
    ViewModelHarness h;
    auto& slow = h.plugAndList();
    h.select(0);
    ASSERT_TRUE(h.waitIdle());
    CtaphidFront::Options otherChannel;
    otherChannel.firstChannel = 0x22220001;
    auto& leaving = h.rig.plug({}, "KWO FIDO", {}, otherChannel);
    ASSERT_TRUE(pumpUntil([&] { return h.vm->deviceList().size() == 2; }));
    h.vm->showPinViewForSetOrChange();
    h.typePins("1357", "1357");
    slow.authenticator().setProcessingDelay(std::chrono::milliseconds(150));
    h.vm->pinOkClicked();
    ASSERT_TRUE(h.vm->busy());
    h.rig.unplug(leaving);
    auto& arriving = h.rig.plug();
    h.vm->pinOkClicked(); // refused while busy
    ASSERT_TRUE(h.waitForMessage("New PIN is set"));
    ASSERT_TRUE(pumpUntil([&] { return h.vm->deviceList().size() == 2 && !h.vm->busy(); }));
    EXPECT_EQ(h.vm->deviceList()[1].device.hid(), arriving.device);
    EXPECT_EQ(countRequests(slow.authenticator(), 0x06, 0x03), 1u); // one setPin, not two
    EXPECT_TRUE(slow.authenticator().hasPin() && !leaving.authenticator().hasPin());
}

TEST(ViewModelOrder, ShutdownWithAPendingTouchWaitEnds)
{
    ViewModelHarness h(false, {{"AdvancedMode", "true"}});
    auto& key = h.plugAndSelectWithPin("pin 1234\n");
    ASSERT_TRUE(h.openCredentials("1234"));
    key.authenticator().setTouch(SoftAuthenticator::Touch::HeldUntilCancel);
    h.vm->credMgmtDeleteClicked();
    ASSERT_TRUE(pumpUntil([&] { return h.vm->waitUserTouch(); }));
    auto done = std::async(std::launch::async, [&] { h.vm->shutdown(); });
    // A hang here would be a thread that never stops; the limit is far above any real stop time.
    EXPECT_EQ(done.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    done.wait();
}
