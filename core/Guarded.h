// A value that one thread may replace while other threads read it: every
// access copies under a mutex, so readers always see a whole value.
// Use it for settings wider than a machine word (texts, port lists, AGC
// parameter sets); plain numbers use std::atomic instead.
#pragma once

#include <mutex>
#include <utility>

namespace halvane {

template <typename T>
class Guarded {
public:
    Guarded() = default;
    explicit Guarded(T value) : value_(std::move(value)) {}
    Guarded(const Guarded&) = delete;
    Guarded& operator=(const Guarded&) = delete;

    T get() const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return value_;
    }

    void set(T value)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        value_ = std::move(value);
    }

    // Runs `change` on the value under the lock (read-modify-write).
    template <typename F>
    void update(F&& change)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        change(value_);
    }

private:
    mutable std::mutex mutex_;
    T value_{};
};

} // namespace halvane
