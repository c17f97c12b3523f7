#pragma once

#include "fido/PcscMonitor.h"
#include "support/Eventually.h"

#include <chrono>
#include <mutex>
#include <string>
#include <vector>

// A card monitor's reports as "+R1" (present) and "-R1" (gone), in arrival order.
class CardEvents {
public:
    PcscMonitor::CardAction action()
    {
        return [this](bool present, const std::string& reader) {
            std::lock_guard lock(mutex_);
            events_.push_back((present ? "+" : "-") + reader);
        };
    }
    std::vector<std::string> get()
    {
        std::lock_guard lock(mutex_);
        return events_;
    }
    // The reports of one reader (other tests on this machine may use another).
    std::vector<std::string> of(const std::string& reader)
    {
        std::vector<std::string> mine;
        for (const auto& e : get())
            if (e.substr(1) == reader)
                mine.push_back(e);
        return mine;
    }
    bool waitFor(std::size_t count, std::chrono::milliseconds limit = std::chrono::seconds(3))
    {
        return eventually([&] { return get().size() >= count; }, limit);
    }
    bool waitFor(const std::string& reader, std::size_t count, std::chrono::milliseconds limit)
    {
        return eventually([&] { return of(reader).size() >= count; }, limit);
    }

private:
    std::mutex mutex_;
    std::vector<std::string> events_;
};
