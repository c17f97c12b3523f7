#include "support/UsbKeyRig.h"

#include <unistd.h>

using namespace std::chrono_literals;

HidHelper::Timing UsbKeyRig::fastTiming()
{
    return {.answerTimeout = 1500ms, .silenceTimeout = 3000ms, .arrivalPause = 10ms};
}

UsbKeyRig::UsbKeyRig(HidHelper::Timing timing)
    : source_(std::make_shared<SocketPairHidSource>()), helper_(std::make_unique<HidHelper>(source_, timing))
{
}

UsbKeyRig::~UsbKeyRig()
{
    helper_->stopUsb();
    for (Key& k : keys_)
        k.front->hangUp();
    helper_.reset();
}

UsbKeyRig::Key& UsbKeyRig::plug(SoftKeyConfig config, std::string product, std::string serial,
                                CtaphidFront::Options options)
{
    HidDeviceInfo info = SocketPairHidSource::makerKey(std::move(product));
    info.serialNumber = std::move(serial);
    Key& k = keys_.emplace_back();
    k.key = std::make_unique<SoftAuthenticator>(std::move(config));
    k.device = source_->plug(info);
    // The front owns its descriptor; the source keeps its own end open until it is destroyed.
    k.front = std::make_unique<CtaphidFront>(*k.key, ::dup(source_->peerFd(k.device)), options);
    return k;
}

void UsbKeyRig::unplug(Key& key)
{
    source_->unplug(key.device);
    key.front->hangUp();
}

UsbKeyRig::Key& UsbKeyRig::replug(Key& old, CtaphidFront::Options options)
{
    HidDeviceInfo info = old.device->info();
    info.syspath.clear();
    info.devnode.clear();
    Key& k = keys_.emplace_back();
    k.key = std::move(old.key);
    k.device = source_->plug(info);
    k.front = std::make_unique<CtaphidFront>(*k.key, ::dup(source_->peerFd(k.device)), options);
    return k;
}
