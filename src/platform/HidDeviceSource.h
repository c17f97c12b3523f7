#pragma once

#include "platform/HidDevice.h"

#include <poll.h>

#include <memory>
#include <string>
#include <vector>

// Where HID devices come from: the system (udev + hidraw) or, in tests, devices on socket pairs. Every call is
// made on the HID thread; a source reports all HID devices and leaves matching to HidManager.
class HidDeviceSource {
public:
    struct Event {
        enum class Kind { added, removed };
        Kind kind = Kind::added;
        // The new device (added); nothing for a removal.
        std::shared_ptr<HidDevice> device;
        // The device's identity across arrival and removal.
        std::string syspath;
    };

    virtual ~HidDeviceSource() = default;

    // Starts listening for changes. Called once, before enumerate(), so no arrival falls between the two.
    virtual bool open() = 0;
    // The devices attached now.
    virtual std::vector<std::shared_ptr<HidDevice>> enumerate() = 0;
    // Descriptors the HID thread polls; when any of them is ready it calls readEvents().
    virtual std::vector<pollfd> pollFds() = 0;
    // Arrivals and removals since the last call, in order (bounded by what is pending now).
    virtual std::vector<Event> readEvents() = 0;
};
