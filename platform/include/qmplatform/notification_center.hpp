// Named notifications with user info, posted synchronously to their observers.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "quelmar/value.hpp"

namespace qm::platform {

struct Notification {
    std::string name;
    Value userInfo;
    const void* object = nullptr;  // the sender, when the poster names one
};

class NotificationCenter {
public:
    using Token = std::uint64_t;
    using Callback = std::function<void(const Notification&)>;

    NotificationCenter();
    ~NotificationCenter();
    NotificationCenter(const NotificationCenter&) = delete;
    NotificationCenter& operator=(const NotificationCenter&) = delete;

    // The process-wide center.
    static NotificationCenter& defaultCenter();

    // Registers an observer for one name (an empty name observes every notification).
    // The token is never 0.
    Token addObserver(std::string name, Callback callback);
    // Stops delivery to the observer, also for a post that is under way on another thread
    // or further up this thread's stack. When it returns, no callback of that observer is
    // running on another thread (one further up this thread's stack may still finish), so
    // whatever the callback uses may be released. Unknown tokens are ignored.
    void removeObserver(Token token);

    // Calls the observers of this name (and the catch-all observers) on the calling
    // thread, in the order they were added. Observers may add or remove observers from
    // inside their callback; observers added during a post are first called by the next
    // post. A callback that throws is skipped over.
    void post(const std::string& name, Value userInfo = {}, const void* object = nullptr);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace qm::platform
