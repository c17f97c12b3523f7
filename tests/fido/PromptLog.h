#pragma once

#include <functional>
#include <mutex>
#include <vector>

// The calls a transport makes to raise (true) and lower (false) the touch prompt, in order.
class PromptLog {
public:
    std::function<void(bool)> action()
    {
        return [this](bool waiting) {
            std::lock_guard lock(mutex_);
            calls_.push_back(waiting);
        };
    }
    std::vector<bool> calls()
    {
        std::lock_guard lock(mutex_);
        return calls_;
    }

private:
    std::mutex mutex_;
    std::vector<bool> calls_;
};
