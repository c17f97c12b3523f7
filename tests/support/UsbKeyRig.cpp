#include "support/UsbKeyRig.h"

#include <unistd.h>

using namespace std::chrono_literals;

HidHelper::Timing UsbKeyRig::fastTiming()
{
    return {.answerTimeout = 1500ms, .silenceTimeout = 3000ms, .arrivalPause = 10ms};
}

UsbKeyRig::~UsbKeyRig()
{
    helper_->stopUsb();
    for (Key& k : keys_)
        k.front->hangUp();
}

UsbKeyRig::Key& UsbKeyRig::plug(SoftKeyConfig config, std::string product, std::string serial,
                                CtaphidFront::Options options)
{
    HidDeviceInfo info = SocketPairHidSource::makerKey(std::move(product));
    info.serialNumber = std::move(serial);
    auto key = std::make_unique<SoftAuthenticator>(std::move(config));
    auto device = source_->plug(std::move(info));
    // The front owns its descriptor; the source keeps its own end open until it is destroyed.
    auto front = std::make_unique<CtaphidFront>(*key, ::dup(source_->peerFd(device)), options);
    return keys_.emplace_back(Key{device, std::move(key), std::move(front)});
}

void UsbKeyRig::unplug(Key& key)
{
    source_->unplug(key.device);
    key.front->hangUp();
}

UsbKeyRig::Key& UsbKeyRig::replug(Key& old, CtaphidFront::Options options)
{
    HidDeviceInfo info = SocketPairHidSource::makerKey(old.device->product());
    info.serialNumber = old.device->serialNumber();
    auto device = source_->plug(std::move(info));
    auto front = std::make_unique<CtaphidFront>(*old.key, ::dup(source_->peerFd(device)), options);
    return keys_.emplace_back(Key{device, std::move(old.key), std::move(front)});
}
