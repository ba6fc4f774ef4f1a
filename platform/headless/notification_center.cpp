#include "qmplatform/notification_center.hpp"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <vector>

namespace qm::platform {

namespace {

struct Observer {
    NotificationCenter::Token token;
    std::string name;
    NotificationCenter::Callback callback;
    std::atomic<bool> active{true};
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
    static auto* center = new NotificationCenter();  // never destroyed
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
    std::lock_guard lock(impl_->mutex);
    auto& list = impl_->observers;
    auto it = std::find_if(list.begin(), list.end(), [&](const auto& o) { return o->token == token; });
    if (it == list.end()) return;
    (*it)->active.store(false);
    list.erase(it);
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
        if (!o->active.load()) continue;
        try {
            if (o->callback) o->callback(notification);
        } catch (...) {
        }
    }
}

}  // namespace qm::platform
