#pragma once

#include <functional>
#include <utility>

// Keeps an observer registered while it lives; dropping or resetting it unregisters the observer. It does
// not wait for a call already under way, so observers hold their target weakly.
class Observation {
public:
    Observation() = default;
    explicit Observation(std::function<void()> unregister) : unregister_(std::move(unregister)) {}
    ~Observation() { reset(); }
    Observation(const Observation&) = delete;
    Observation& operator=(const Observation&) = delete;
    Observation(Observation&& other) noexcept : unregister_(std::exchange(other.unregister_, nullptr)) {}
    Observation& operator=(Observation&& other) noexcept
    {
        if (this != &other) {
            reset();
            unregister_ = std::exchange(other.unregister_, nullptr);
        }
        return *this;
    }

    void reset()
    {
        if (auto unregister = std::exchange(unregister_, nullptr))
            unregister();
    }
    explicit operator bool() const { return static_cast<bool>(unregister_); }

private:
    std::function<void()> unregister_;
};
