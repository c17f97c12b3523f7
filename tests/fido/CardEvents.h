#pragma once

#include "fido/PcscMonitor.h"
#include "support/Eventually.h"

#include <algorithm>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

// A card monitor's reports as "+R1" (present) and "-R1" (gone), in arrival order.
class CardEvents {
public:
    // onReport runs first at each report, as a receiver's own work would.
    PcscMonitor::CardAction action(std::function<void(const std::string& reader)> onReport = {})
    {
        return [this, onReport](bool present, const std::string& reader) {
            if (onReport)
                onReport(reader);
            std::lock_guard lock(mutex_);
            events_.push_back((present ? "+" : "-") + reader);
        };
    }
    // The reports of one reader (a test elsewhere on this machine may use another one), or all of them.
    std::vector<std::string> of(const std::string& reader = {})
    {
        std::lock_guard lock(mutex_);
        std::vector<std::string> mine;
        std::copy_if(events_.begin(), events_.end(), std::back_inserter(mine),
                     [&](const std::string& e) { return reader.empty() || e.substr(1) == reader; });
        return mine;
    }
    bool waitFor(std::size_t count, const std::string& reader = {})
    {
        return eventually([&] { return of(reader).size() >= count; }, std::chrono::seconds(5));
    }

private:
    std::mutex mutex_;
    std::vector<std::string> events_;
};
