#pragma once

#include "viewmodel/Device.h"

#include <optional>
#include <string>

// The key a reset waits for: a USB key must be unplugged and plugged in again, a card taken away and tapped
// twice, before the reset is sent. Used on the work queue only.
class ReinsertWait
{
public:
    // name: the USB product string, or the card's identity as read before it left; serial: the USB serial
    // number ("" when the key reports none, and for a card).
    void start(Device device, std::string name, std::string serial);
    void clear();

    // The arriving device is the awaited key come back (id: the identity a card answers with).
    bool isAwaited(const Device& device, const std::optional<std::string>& id) const;

    // A returning card is reset on its second tap: true for the first, which only counts.
    bool firstTap();

private:
    std::optional<Device> device_;
    std::string name_;
    std::string serial_;
    unsigned tapCount_ = 0;
};
