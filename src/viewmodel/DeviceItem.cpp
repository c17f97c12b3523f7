#include "viewmodel/DeviceItem.h"

#include "viewmodel/HashCombine.h"

std::size_t DeviceItem::hash() const
{
    std::size_t seed = std::hash<std::string>{}(deviceName);
    hashCombine(seed, device.hash());
    hashCombine(seed, std::hash<std::string>{}(firmware));
    hashCombine(seed, std::hash<std::string>{}(aaguid));
    hashCombine(seed, std::hash<std::string>{}(protocols));
    hashCombine(seed, std::hash<bool>{}(pinPresent));
    hashCombine(seed, std::hash<bool>{}(hasCredMgmt));
    hashCombine(seed, std::hash<bool>{}(fido2Pre));
    hashCombine(seed, std::hash<std::optional<std::uint64_t>>{}(retries));
    hashCombine(seed, std::hash<std::uint64_t>{}(minPinLength));
    hashCombine(seed, std::hash<std::uint32_t>{}(cid));
    hashCombine(seed, std::hash<std::uint64_t>{}(rawValue(pinProtocol)));
    return seed;
}
