#pragma once

#include "fido/PcscMonitor.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

// A card monitor's reports as "+R1" (present) and "-R1" (gone), in arrival order, with any markers the test
// adds; waits are woken by each new entry.
class CardEvents {
public:
    // onReport runs first at each report, as a receiver's own work would.
    PcscMonitor::CardAction action(std::function<void(const std::string& reader)> onReport = {})
    {
        return [this, onReport](bool present, const std::string& reader) {
            if (onReport)
                onReport(reader);
            add((present ? "+" : "-") + reader);
        };
    }
    void add(std::string event)
    {
        std::lock_guard lock(mutex_);
        events_.push_back(std::move(event));
        cv_.notify_all();
    }
    std::vector<std::string> get() { return of({}); }
    // The entries of one reader (other tests on this machine may use another); all of them for "".
    std::vector<std::string> of(const std::string& reader)
    {
        std::lock_guard lock(mutex_);
        return ofLocked(reader);
    }
    bool waitFor(std::size_t count, std::chrono::milliseconds limit = std::chrono::seconds(3),
                 const std::string& reader = {})
    {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, limit, [&] { return ofLocked(reader).size() >= count; });
    }

private:
    std::vector<std::string> ofLocked(const std::string& reader)
    {
        std::vector<std::string> mine;
        for (const auto& e : events_)
            if (reader.empty() || e.substr(1) == reader)
                mine.push_back(e);
        return mine;
    }

    std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<std::string> events_;
};
