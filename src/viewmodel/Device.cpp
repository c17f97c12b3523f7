#include "viewmodel/Device.h"

#include "viewmodel/HashCombine.h"

Device Device::hidDevice(std::shared_ptr<HidDevice> device)
{
    return Device(Payload(std::in_place_index<0>, std::move(device)));
}

Device Device::pcscDevice(std::string readerName)
{
    return Device(Payload(std::in_place_index<1>, std::move(readerName)));
}

std::shared_ptr<HidDevice> Device::hid() const
{
    const auto* device = std::get_if<0>(&payload_);
    return device ? *device : nullptr;
}

const std::string& Device::readerName() const
{
    static const std::string none;
    const auto* reader = std::get_if<1>(&payload_);
    return reader ? *reader : none;
}

std::size_t Device::hash() const
{
    std::size_t seed = std::hash<std::size_t>{}(payload_.index());
    if (const auto* device = std::get_if<0>(&payload_))
        hashCombine(seed, std::hash<std::shared_ptr<HidDevice>>{}(*device));
    else
        hashCombine(seed, std::hash<std::string>{}(std::get<1>(payload_)));
    return seed;
}
