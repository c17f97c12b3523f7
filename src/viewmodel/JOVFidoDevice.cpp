#include "viewmodel/JOVFidoDevice.h"

namespace {
constexpr std::string_view usbKeyName = "Tallowfin";
constexpr std::string_view nfcCardName = "Tallowfin NFC Card";
} // namespace

std::string_view rawValue(JOVFidoDevice model)
{
    switch (model) {
    case JOVFidoDevice::kwo01: return "KWO FIDO";
    case JOVFidoDevice::kwo02: return "0E783381024A4F56204B574F3032";
    }
    return {};
}

std::optional<JOVFidoDevice> jovFidoDeviceFromRawValue(std::string_view text)
{
    for (JOVFidoDevice model : {JOVFidoDevice::kwo01, JOVFidoDevice::kwo02}) {
        if (rawValue(model) == text)
            return model;
    }
    return std::nullopt;
}

std::string displayName(std::string_view rawName)
{
    const std::optional<JOVFidoDevice> model = jovFidoDeviceFromRawValue(rawName);
    if (!model)
        return std::string(rawName);
    return std::string(*model == JOVFidoDevice::kwo01 ? usbKeyName : nfcCardName);
}

std::string imageName(std::string_view displayedName)
{
    return displayedName == nfcCardName ? "TallowfinNFC" : "Tallowfin";
}
