#include "qmplatform/notification_center.hpp"
#include "qmbase/no_destructor.hpp"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace qm::platform {

namespace {

struct Observer {
    NotificationCenter::Token token;
    std::string name;
    NotificationCenter::Callback callback;

    // Delivery state: whether callbacks may still start, and the threads running one now.
    std::mutex mutex;
    std::condition_variable finished;
    bool active = true;
    std::vector<std::thread::id> running;

    // Registers a call on this thread; false once the observer was removed.
    bool enter() {
        std::lock_guard lock(mutex);
        if (!active) return false;
        running.push_back(std::this_thread::get_id());
        return true;
    }
    void leave() {
        {
            std::lock_guard lock(mutex);
            running.erase(std::find(running.begin(), running.end(), std::this_thread::get_id()));
        }
        finished.notify_all();
    }
    // No new calls; waits for the calls on other threads. Calls further up this thread's
    // stack (an observer removing itself) cannot be waited for and are left to finish.
    void deactivate() {
        std::unique_lock lock(mutex);
        active = false;
        const auto self = std::this_thread::get_id();
        finished.wait(lock, [&] {
            return std::all_of(running.begin(), running.end(), [&](std::thread::id id) { return id == self; });
        });
    }
};

}  // namespace

struct NotificationCenter::Impl {
    std::mutex mutex;
    Token nextToken = 1;
    std::vector<std::shared_ptr<Observer>> observers;  // in registration order
};

NotificationCenter::NotificationCenter() : impl_(std::make_unique<Impl>()) {}
NotificationCenter::~NotificationCenter() = default;

NotificationCenter& NotificationCenter::defaultCenter() {
    static NoDestructor<NotificationCenter> center;  // never destroyed
    return *center;
}

NotificationCenter::Token NotificationCenter::addObserver(std::string name, Callback callback) {
    auto observer = std::make_shared<Observer>();
    observer->name = std::move(name);
    observer->callback = std::move(callback);
    std::lock_guard lock(impl_->mutex);
    observer->token = impl_->nextToken++;
    impl_->observers.push_back(observer);
    return observer->token;
}

void NotificationCenter::removeObserver(Token token) {
    std::shared_ptr<Observer> removed;
    {
        std::lock_guard lock(impl_->mutex);
        auto& list = impl_->observers;
        auto it = std::find_if(list.begin(), list.end(), [&](const auto& o) { return o->token == token; });
        if (it == list.end()) return;
        removed = *it;
        list.erase(it);
    }
    // Outside the center's lock: a running callback may add or remove observers itself.
    removed->deactivate();
}

void NotificationCenter::post(const std::string& name, Value userInfo, const void* object) {
    std::vector<std::shared_ptr<Observer>> targets;
    {
        std::lock_guard lock(impl_->mutex);
        for (const auto& o : impl_->observers) {
            if (o->name.empty() || o->name == name) targets.push_back(o);
        }
    }
    const Notification notification{name, std::move(userInfo), object};
    // Called without the lock so callbacks can add and remove observers or post again.
    for (const auto& o : targets) {
        if (!o->enter()) continue;
        try {
            if (o->callback) o->callback(notification);
        } catch (...) {
        }
        o->leave();
    }
}

}  // namespace qm::platform
