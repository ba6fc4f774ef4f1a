// A value behind its own lock, for state that the main thread and background completions
// both touch.
#pragma once

#include <mutex>
#include <utility>

namespace qm {

template <typename T>
class Guarded {
public:
    Guarded() = default;
    explicit Guarded(T initial) : value_(std::move(initial)) {}
    Guarded(const Guarded&) = delete;
    Guarded& operator=(const Guarded&) = delete;

    T get() const {
        std::lock_guard lock(mutex_);
        return value_;
    }
    void set(T v) {
        std::lock_guard lock(mutex_);
        value_ = std::move(v);
    }
    // Runs f(T&) under the lock and returns its result.
    template <typename F>
    auto with(F&& f) {
        std::lock_guard lock(mutex_);
        return f(value_);
    }

private:
    mutable std::mutex mutex_;
    T value_{};
};

}  // namespace qm
