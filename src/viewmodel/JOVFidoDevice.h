#pragma once

#include <optional>
#include <string>
#include <string_view>

// The maker's two models, recognised by their exact raw names: the USB product string of the key, and the
// identity a card reports (upper-case hex).
enum class JOVFidoDevice {
    kwo01,
    kwo02,
};

std::string_view rawValue(JOVFidoDevice model);

// The model whose raw value is exactly text (case-sensitive, no trimming); nothing for any other text.
std::optional<JOVFidoDevice> jovFidoDeviceFromRawValue(std::string_view text);

// The name a device list row shows for a raw device name: the model's marketing name, or the text unchanged.
std::string displayName(std::string_view rawName);

// The image asset a row shows for its display name.
std::string imageName(std::string_view displayedName);
