#include "qmplatform/user_notifications.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <deque>
#include <map>
#include <mutex>
#include <utility>

#include "qmbase/no_destructor.hpp"
#include "qmplatform/application.hpp"
#include "qmplatform/clock.hpp"
#include "qmplatform/device.hpp"
#include "qmplatform/dispatch.hpp"
#include "qmplatform/media_probe.hpp"
#include "qmplatform/system_log.hpp"
#include "qmplatform/url.hpp"

namespace qm::platform {

namespace {

Error notificationError(long code, std::string text) {
    return Error{kUserNotificationsErrorDomain, code, std::move(text)};
}

void logLine(const std::string& text) { SystemLog::write("quelmar notifications: " + text); }

std::string lowercased(std::string text) {
    for (auto& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::optional<AttachmentType> typeForExtension(const std::string& path) {
    const auto slash = path.find_last_of('/');
    const auto dot = path.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return std::nullopt;
    const std::string ending = lowercased(path.substr(dot + 1));
    for (const char* e : {"png", "jpg", "jpeg", "gif"})
        if (ending == e) return AttachmentType::Image;
    for (const char* e : {"wav", "mp3", "m4a", "aif", "aiff"})
        if (ending == e) return AttachmentType::Audio;
    for (const char* e : {"mp4", "m4v", "mov", "mpg", "mpeg", "avi"})
        if (ending == e) return AttachmentType::Video;
    return std::nullopt;
}

std::int64_t maxBytes(AttachmentType type) {
    switch (type) {
        case AttachmentType::Image: return kMaxImageAttachmentBytes;
        case AttachmentType::Audio: return kMaxAudioAttachmentBytes;
        case AttachmentType::Video: return kMaxVideoAttachmentBytes;
    }
    return 0;
}

// A path, or the path of a "file:" URL; empty for other URLs.
std::string localPath(const std::string& url) {
    if (url.rfind("file:", 0) != 0) return url;
    const auto parsed = URL::parse(url);
    if (!parsed || parsed->scheme() != "file") return {};
    return parsed->path();
}

bool hasNumber(const Value& value) { return value.isNumber() || value.isBoolean(); }

}  // namespace

const char* attachmentTypeName(AttachmentType type) {
    switch (type) {
        case AttachmentType::Image: return "image";
        case AttachmentType::Audio: return "audio";
        case AttachmentType::Video: return "video";
    }
    return "image";
}

// ---------------------------------------------------------------------------------------------
// NotificationAttachment

std::shared_ptr<NotificationAttachment> NotificationAttachment::attachmentWithIdentifier(const std::string& identifier,
                                                                                         const std::string& url,
                                                                                         const Dictionary& /*options*/,
                                                                                         Error& error) {
    const std::string path = localPath(url);
    if (path.empty()) {
        error = notificationError(kAttachmentInvalidURL, "the attachment is not a local file: " + url);
        return nullptr;
    }
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode) || ::access(path.c_str(), R_OK) != 0) {
        error = notificationError(kAttachmentInvalidURL, "the attachment file is missing or unreadable: " + path);
        return nullptr;
    }
    const auto type = typeForExtension(path);
    if (!type) {
        error = notificationError(kAttachmentUnrecognizedType, "the attachment's name ending is not a supported type: " + path);
        return nullptr;
    }
    if (info.st_size <= 0 || info.st_size > maxBytes(*type)) {
        error = notificationError(kAttachmentInvalidFileSize,
                                  "the " + std::string(attachmentTypeName(*type)) + " attachment has " +
                                      std::to_string(info.st_size) + " bytes; at most " +
                                      std::to_string(maxBytes(*type)) + " are allowed");
        return nullptr;
    }
    const auto probe = MediaProbe::current();
    if (!probe) {
        error = notificationError(kAttachmentUnrecognizedType,
                                  "no media probe is configured, so attachments cannot be checked and are refused");
        return nullptr;
    }
    const MediaProbe::Result found = probe->probe(path);
    if (!found.ok()) {
        error = notificationError(kAttachmentCorrupt, "the attachment cannot be read as media (" + found.error + "): " + path);
        return nullptr;
    }
    const bool matches = (*type == AttachmentType::Image && found.image) ||
                         (*type == AttachmentType::Audio && found.audio && !found.video) ||
                         (*type == AttachmentType::Video && found.video);
    if (!matches) {
        error = notificationError(kAttachmentUnrecognizedType,
                                  "the attachment is not the " + std::string(attachmentTypeName(*type)) +
                                      " its name says: " + path);
        return nullptr;
    }
    std::shared_ptr<NotificationAttachment> attachment(new NotificationAttachment);
    attachment->identifier_ = identifier.empty() ? Device::makeUUID() : identifier;
    attachment->path_ = path;
    attachment->type_ = *type;
    return attachment;
}

// ---------------------------------------------------------------------------------------------
// Content, requests, actions, categories

std::shared_ptr<NotificationContent> NotificationContent::copy() const {
    auto content = std::make_shared<NotificationContent>();
    static_cast<NotificationContent&>(*content) = *this;
    return content;
}

std::shared_ptr<MutableNotificationContent> NotificationContent::mutableCopy() const {
    auto content = std::make_shared<MutableNotificationContent>();
    static_cast<NotificationContent&>(*content) = *this;
    return content;
}

std::shared_ptr<UserNotificationRequest> UserNotificationRequest::requestWithIdentifier(
    std::string identifier, const NotificationContent& content, std::optional<NotificationTrigger> trigger) {
    std::shared_ptr<UserNotificationRequest> request(new UserNotificationRequest);
    request->identifier_ = std::move(identifier);
    request->content_ = content.copy();
    request->trigger_ = trigger;
    return request;
}

std::shared_ptr<NotificationAction> NotificationAction::actionWithIdentifier(std::string identifier, std::string title,
                                                                             unsigned long options) {
    std::shared_ptr<NotificationAction> action(new NotificationAction);
    action->identifier_ = std::move(identifier);
    action->title_ = std::move(title);
    action->options_ = options;
    return action;
}

std::shared_ptr<NotificationCategory> NotificationCategory::categoryWithIdentifier(
    std::string identifier, std::vector<std::shared_ptr<NotificationAction>> actions,
    std::vector<std::string> intentIdentifiers, unsigned long options) {
    std::shared_ptr<NotificationCategory> category(new NotificationCategory);
    category->identifier_ = std::move(identifier);
    actions.erase(std::remove(actions.begin(), actions.end(), nullptr), actions.end());
    category->actions_ = std::move(actions);
    category->intentIdentifiers_ = std::move(intentIdentifiers);
    category->options_ = options;
    return category;
}

// ---------------------------------------------------------------------------------------------
// RecordingNotificationPresenter

struct RecordingNotificationPresenter::State {
    mutable std::mutex mutex;
    std::deque<Shown> shown;
    std::deque<std::string> withdrawn;
};

RecordingNotificationPresenter::RecordingNotificationPresenter() : state_(std::make_unique<State>()) {}
RecordingNotificationPresenter::~RecordingNotificationPresenter() = default;

void RecordingNotificationPresenter::present(const std::shared_ptr<UserNotification>& notification, unsigned long options) {
    std::lock_guard lock(state_->mutex);
    state_->shown.push_back({notification, options});
    if (state_->shown.size() > kMaxRecords) state_->shown.pop_front();
}

void RecordingNotificationPresenter::withdraw(const std::vector<std::string>& identifiers) {
    std::lock_guard lock(state_->mutex);
    for (const auto& identifier : identifiers) {
        state_->withdrawn.push_back(identifier);
        if (state_->withdrawn.size() > kMaxRecords) state_->withdrawn.pop_front();
    }
}

std::vector<RecordingNotificationPresenter::Shown> RecordingNotificationPresenter::shown() const {
    std::lock_guard lock(state_->mutex);
    return {state_->shown.begin(), state_->shown.end()};
}

std::vector<std::string> RecordingNotificationPresenter::withdrawn() const {
    std::lock_guard lock(state_->mutex);
    return {state_->withdrawn.begin(), state_->withdrawn.end()};
}

void RecordingNotificationPresenter::clear() {
    std::lock_guard lock(state_->mutex);
    state_->shown.clear();
    state_->withdrawn.clear();
}

// ---------------------------------------------------------------------------------------------
// The delegate's defaults: not shown in front, responses unheard.

void UserNotificationCenterDelegate::willPresentNotification(UserNotificationCenter&,
                                                             const std::shared_ptr<UserNotification>&,
                                                             std::function<void(unsigned long)> completionHandler) {
    if (completionHandler) completionHandler(0);
}

void UserNotificationCenterDelegate::didReceiveNotificationResponse(UserNotificationCenter&,
                                                                    const std::shared_ptr<UserNotificationResponse>&,
                                                                    std::function<void()> completionHandler) {
    if (completionHandler) completionHandler();
}

// ---------------------------------------------------------------------------------------------
// UserNotificationCenter

namespace {

// Answers kept for presentationAnswer (the oldest go first).
constexpr std::size_t kMaxPresentationAnswers = 256;

struct Pending {
    std::shared_ptr<UserNotificationRequest> request;
    std::uint64_t token = 0;
};

// Completion handlers handed to the delegate: called, and dropped or overdue uncalled.
struct HandlerCounts {
    std::atomic<int> completed{0};
    std::atomic<int> abandoned{0};
};

// The state behind one completion handler handed to the delegate. The handler runs its
// action on its first call only; the state notices when every copy of the handler is gone
// without a call, and a deadline on the platform clock notices a handler kept but never called.
struct HandlerGuard {
    std::atomic<bool> finished{false};
    std::string what;
    std::weak_ptr<HandlerCounts> counts;

    bool finish() { return !finished.exchange(true); }

    void abandon(const char* how) {
        if (!finish()) return;
        logLine("the delegate " + std::string(how) + " the completion handler of " + what + " without calling it");
        if (auto c = counts.lock()) c->abandoned.fetch_add(1);
    }

    ~HandlerGuard() { abandon("dropped"); }
};

template <typename... Args>
std::function<void(Args...)> onceHandler(const std::shared_ptr<HandlerCounts>& counts, const Queue& timers,
                                         std::string what, std::function<void(Args...)> action) {
    auto guard = std::make_shared<HandlerGuard>();
    guard->what = std::move(what);
    guard->counts = counts;
    std::weak_ptr<HandlerGuard> watched = guard;
    timers.asyncAfter(UserNotificationCenter::kCompletionWarningSeconds, [watched] {
        if (auto held = watched.lock()) held->abandon("kept");
    });
    auto shared = std::make_shared<std::function<void(Args...)>>(std::move(action));
    return [guard, shared](Args... args) {
        if (!guard->finish()) {
            logLine("a completion handler of " + guard->what + " was called again; the call is ignored");
            return;
        }
        if (auto c = guard->counts.lock()) c->completed.fetch_add(1);
        if (*shared) (*shared)(args...);
    };
}

}  // namespace

struct UserNotificationCenter::Impl : std::enable_shared_from_this<Impl> {
    mutable std::mutex mutex;
    std::weak_ptr<UserNotificationCenterDelegate> delegate;
    AuthorizationStatus status = AuthorizationStatus::NotDetermined;
    unsigned long allowed = 0;
    AuthorizationAnswer answer = AuthorizationAnswer::Granted;
    int prompts = 0;
    std::vector<std::shared_ptr<NotificationCategory>> categories;
    std::vector<Pending> pending;
    std::deque<std::shared_ptr<UserNotification>> delivered;
    std::deque<std::pair<std::string, unsigned long>> answers;
    std::shared_ptr<NotificationPresenter> presenter;
    const std::shared_ptr<RecordingNotificationPresenter> recording = std::make_shared<RecordingNotificationPresenter>();
    std::uint64_t nextToken = 0;
    std::shared_ptr<HandlerCounts> counts = std::make_shared<HandlerCounts>();
    // Trigger and completion-warning deadlines run here.
    const Queue timers = Queue::serial("qm.user-notifications");

    bool allowedLocked() const {
        return status == AuthorizationStatus::Authorized || status == AuthorizationStatus::Provisional;
    }

    std::shared_ptr<NotificationPresenter> currentPresenter() const {
        std::lock_guard lock(mutex);
        return presenter ? presenter : recording;
    }

    void schedule(std::uint64_t token, double seconds);
    void fire(std::uint64_t token);
    std::shared_ptr<UserNotification> deliver(UserNotificationCenter& center,
                                              const std::shared_ptr<UserNotificationRequest>& request,
                                              std::optional<ApplicationState> state);
    void show(const std::shared_ptr<UserNotification>& notification, unsigned long options);
    void removeDelivered(const std::vector<std::string>& identifiers);
};


void UserNotificationCenter::Impl::schedule(std::uint64_t token, double seconds) {
    std::weak_ptr<Impl> weak = weak_from_this();
    timers.asyncAfter(seconds, [weak, token] {
        if (auto impl = weak.lock()) impl->fire(token);
    });
}

void UserNotificationCenter::Impl::fire(std::uint64_t token) {
    std::shared_ptr<UserNotificationRequest> request;
    {
        std::lock_guard lock(mutex);
        auto it = std::find_if(pending.begin(), pending.end(), [&](const Pending& p) { return p.token == token; });
        if (it == pending.end()) return;  // removed, replaced or reset meanwhile
        request = it->request;
        if (request->trigger() && request->trigger()->repeats) schedule(token, request->trigger()->timeInterval);
        else pending.erase(it);
    }
    deliver(UserNotificationCenter::current(), request, std::nullopt);
}

void UserNotificationCenter::Impl::show(const std::shared_ptr<UserNotification>& notification, unsigned long options) {
    const auto& content = *notification->request()->content();
    std::shared_ptr<NotificationPresenter> target;
    {
        std::lock_guard lock(mutex);
        if (!allowedLocked()) return;
        if (options & kPresentationOptionAlert) options |= kPresentationOptionBanner | kPresentationOptionList;
        options &= ~kPresentationOptionAlert;
        if (!(allowed & kAuthorizationOptionAlert) || status == AuthorizationStatus::Provisional)
            options &= ~kPresentationOptionBanner;  // quietly: the list only
        if (!(allowed & kAuthorizationOptionSound) || status == AuthorizationStatus::Provisional || content.sound.empty())
            options &= ~kPresentationOptionSound;
        if (!(allowed & kAuthorizationOptionBadge) || !hasNumber(content.badge)) options &= ~kPresentationOptionBadge;
        if (options & (kPresentationOptionBanner | kPresentationOptionList)) {
            const std::string& id = notification->request()->identifier();
            delivered.erase(std::remove_if(delivered.begin(), delivered.end(),
                                           [&](const auto& n) { return n->request()->identifier() == id; }),
                            delivered.end());
            delivered.push_back(notification);
            while (delivered.size() > kMaxDeliveredNotifications) delivered.pop_front();
        }
        target = presenter ? presenter : recording;
    }
    if (options & kPresentationOptionBadge)
        Application::shared().setApplicationIconBadgeNumber(static_cast<long>(content.badge.integerValue()));
    if (options == 0) return;
    try {
        target->present(notification, options);
    } catch (...) {
        logLine("the presenter failed to show a notification");
    }
}

std::shared_ptr<UserNotification> UserNotificationCenter::Impl::deliver(UserNotificationCenter& center,
                                                                        const std::shared_ptr<UserNotificationRequest>& request,
                                                                        std::optional<ApplicationState> state) {
    std::shared_ptr<UserNotificationCenterDelegate> listener;
    {
        std::lock_guard lock(mutex);
        if (!allowedLocked()) {
            logLine("notification " + request->identifier() + " arrived while notifications are not allowed; not shown");
            return nullptr;
        }
        listener = delegate.lock();
    }
    auto notification = std::make_shared<UserNotification>(Clock::currentDate(), request);
    const ApplicationState now = state.value_or(Application::shared().applicationState());
    if (now != ApplicationState::Active) {
        show(notification, kPresentationOptionsAll);
        return notification;
    }
    if (!listener) return notification;  // in front without a delegate: not shown
    std::weak_ptr<Impl> weak = weak_from_this();
    auto completion = onceHandler<unsigned long>(
        counts, timers, "willPresent for " + request->identifier(),
        std::function<void(unsigned long)>([weak, notification](unsigned long options) {
            auto impl = weak.lock();
            if (!impl) return;
            {
                std::lock_guard lock(impl->mutex);
                impl->answers.emplace_back(notification->request()->identifier(), options);
                while (impl->answers.size() > kMaxPresentationAnswers) impl->answers.pop_front();
            }
            impl->show(notification, options);
        }));
    try {
        listener->willPresentNotification(center, notification, std::move(completion));
    } catch (...) {
        logLine("the delegate failed while asked how to show notification " + request->identifier());
    }
    return notification;
}

void UserNotificationCenter::Impl::removeDelivered(const std::vector<std::string>& identifiers) {
    std::shared_ptr<NotificationPresenter> target;
    std::vector<std::string> removed;
    {
        std::lock_guard lock(mutex);
        for (auto it = delivered.begin(); it != delivered.end();) {
            const std::string& id = (*it)->request()->identifier();
            if (std::find(identifiers.begin(), identifiers.end(), id) != identifiers.end()) {
                removed.push_back(id);
                it = delivered.erase(it);
            } else {
                ++it;
            }
        }
        target = presenter ? presenter : recording;
    }
    if (!removed.empty()) target->withdraw(removed);
}

UserNotificationCenter::UserNotificationCenter() : impl_(std::make_shared<Impl>()) {}

UserNotificationCenter& UserNotificationCenter::current() {
    static NoDestructor<UserNotificationCenter> center;  // never destroyed
    return *center;
}

void UserNotificationCenter::reset() {
    std::weak_ptr<UserNotificationCenterDelegate> oldDelegate;
    std::vector<std::shared_ptr<NotificationCategory>> oldCategories;
    std::vector<Pending> oldPending;
    std::deque<std::shared_ptr<UserNotification>> oldDelivered;
    std::shared_ptr<NotificationPresenter> oldPresenter;
    {
        std::lock_guard lock(impl_->mutex);
        oldDelegate.swap(impl_->delegate);
        oldCategories.swap(impl_->categories);
        oldPending.swap(impl_->pending);  // their deadlines find nothing to fire
        oldDelivered.swap(impl_->delivered);
        oldPresenter.swap(impl_->presenter);
        impl_->answers.clear();
        impl_->status = AuthorizationStatus::NotDetermined;
        impl_->allowed = 0;
        impl_->answer = AuthorizationAnswer::Granted;
        impl_->prompts = 0;
        impl_->counts->completed = 0;
        impl_->counts->abandoned = 0;
    }
    impl_->recording->clear();
}

void UserNotificationCenter::setDelegate(std::weak_ptr<UserNotificationCenterDelegate> delegate) {
    std::lock_guard lock(impl_->mutex);
    impl_->delegate = std::move(delegate);
}

std::shared_ptr<UserNotificationCenterDelegate> UserNotificationCenter::delegate() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->delegate.lock();
}

void UserNotificationCenter::requestAuthorization(unsigned long options,
                                                  std::function<void(bool, std::optional<Error>)> completion) {
    bool granted = false;
    std::optional<Error> error;
    {
        std::lock_guard lock(impl_->mutex);
        if (impl_->status == AuthorizationStatus::NotDetermined) {
            ++impl_->prompts;
            switch (impl_->answer) {
                case AuthorizationAnswer::Granted:
                    impl_->status = AuthorizationStatus::Authorized;
                    impl_->allowed = options & (kAuthorizationOptionAlert | kAuthorizationOptionSound | kAuthorizationOptionBadge);
                    break;
                case AuthorizationAnswer::Provisional:
                    impl_->status = AuthorizationStatus::Provisional;
                    impl_->allowed = options & (kAuthorizationOptionAlert | kAuthorizationOptionSound | kAuthorizationOptionBadge);
                    break;
                case AuthorizationAnswer::Denied:
                    impl_->status = AuthorizationStatus::Denied;
                    impl_->allowed = 0;
                    break;
                case AuthorizationAnswer::Failed:
                    error = notificationError(kAuthorizationFailed, "the permission question could not be asked");
                    break;
            }
        }
        granted = impl_->allowedLocked();
    }
    if (completion)
        Queue::global().async([completion = std::move(completion), granted, error] { completion(granted, error); });
}

int UserNotificationCenter::authorizationPromptCount() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->prompts;
}

NotificationSettings UserNotificationCenter::notificationSettings() const {
    std::lock_guard lock(impl_->mutex);
    NotificationSettings settings;
    settings.authorizationStatus = impl_->status;
    settings.allowedOptions = impl_->allowedLocked() ? impl_->allowed : 0;
    return settings;
}

void UserNotificationCenter::getNotificationSettings(std::function<void(NotificationSettings)> completion) {
    if (!completion) return;
    Queue::global().async([completion = std::move(completion), settings = notificationSettings()] { completion(settings); });
}

void UserNotificationCenter::setNotificationCategories(std::vector<std::shared_ptr<NotificationCategory>> categories) {
    std::vector<std::shared_ptr<NotificationCategory>> kept;
    for (auto& category : categories) {
        if (!category) continue;
        auto same = std::find_if(kept.begin(), kept.end(),
                                 [&](const auto& c) { return c->identifier() == category->identifier(); });
        if (same != kept.end()) *same = std::move(category);
        else kept.push_back(std::move(category));
    }
    std::lock_guard lock(impl_->mutex);
    impl_->categories.swap(kept);
}

std::vector<std::shared_ptr<NotificationCategory>> UserNotificationCenter::notificationCategories() const {
    std::lock_guard lock(impl_->mutex);
    return impl_->categories;
}

void UserNotificationCenter::getNotificationCategories(
    std::function<void(std::vector<std::shared_ptr<NotificationCategory>>)> completion) {
    if (!completion) return;
    Queue::global().async([completion = std::move(completion), list = notificationCategories()] { completion(list); });
}

void UserNotificationCenter::addNotificationRequest(const std::shared_ptr<UserNotificationRequest>& request,
                                                    std::function<void(std::optional<Error>)> completion) {
    std::optional<Error> error;
    bool atOnce = false;
    const auto reply = [&] {
        if (completion) Queue::global().async([completion = std::move(completion), error] { completion(error); });
    };
    if (!request || request->identifier().empty() || !request->content()) {
        error = notificationError(kNotificationInvalidRequest, "a notification request needs an identifier and content");
        reply();
        return;
    }
    if (const auto& trigger = request->trigger()) {
        const double interval = trigger->timeInterval;
        if (!(interval > 0) || interval > 1e9 || (trigger->repeats && interval < kMinRepeatInterval)) {
            error = notificationError(kNotificationInvalidTrigger,
                                      trigger->repeats ? "a repeating trigger's interval must be at least 60 seconds"
                                                       : "a trigger's interval must be more than 0 seconds");
            reply();
            return;
        }
    } else {
        atOnce = true;
    }
    {
        std::lock_guard lock(impl_->mutex);
        if (!impl_->allowedLocked()) {
            error = notificationError(kNotificationsNotAllowed, "notifications are not allowed for this app");
        } else if (!atOnce) {
            auto same = std::find_if(impl_->pending.begin(), impl_->pending.end(),
                                     [&](const Pending& p) { return p.request->identifier() == request->identifier(); });
            if (same == impl_->pending.end() && impl_->pending.size() >= kMaxPendingRequests) {
                error = notificationError(kNotificationTooMany, "too many pending notification requests");
            } else {
                const std::uint64_t token = ++impl_->nextToken;
                if (same != impl_->pending.end()) *same = Pending{request, token};
                else impl_->pending.push_back(Pending{request, token});
                impl_->schedule(token, request->trigger()->timeInterval);
            }
        }
    }
    if (!error && atOnce) {
        // Delivered at once, on the timer queue like a trigger that fired.
        std::weak_ptr<Impl> weak = impl_;
        impl_->timers.async([weak, request] {
            if (auto impl = weak.lock()) impl->deliver(UserNotificationCenter::current(), request, std::nullopt);
        });
    }
    reply();
}

std::vector<std::shared_ptr<UserNotificationRequest>> UserNotificationCenter::pendingNotificationRequests() const {
    std::lock_guard lock(impl_->mutex);
    std::vector<std::shared_ptr<UserNotificationRequest>> list;
    list.reserve(impl_->pending.size());
    for (const auto& p : impl_->pending) list.push_back(p.request);
    return list;
}

void UserNotificationCenter::getPendingNotificationRequests(
    std::function<void(std::vector<std::shared_ptr<UserNotificationRequest>>)> completion) {
    if (!completion) return;
    Queue::global().async([completion = std::move(completion), list = pendingNotificationRequests()] { completion(list); });
}

void UserNotificationCenter::removePendingNotificationRequests(const std::vector<std::string>& identifiers) {
    std::vector<Pending> removed;  // released after the lock
    std::lock_guard lock(impl_->mutex);
    auto& pending = impl_->pending;
    auto keep = std::stable_partition(pending.begin(), pending.end(), [&](const Pending& p) {
        return std::find(identifiers.begin(), identifiers.end(), p.request->identifier()) == identifiers.end();
    });
    removed.assign(std::make_move_iterator(keep), std::make_move_iterator(pending.end()));
    pending.erase(keep, pending.end());
}

void UserNotificationCenter::removeAllPendingNotificationRequests() {
    std::vector<Pending> removed;
    std::lock_guard lock(impl_->mutex);
    removed.swap(impl_->pending);
}

std::vector<std::shared_ptr<UserNotification>> UserNotificationCenter::deliveredNotifications() const {
    std::lock_guard lock(impl_->mutex);
    return {impl_->delivered.begin(), impl_->delivered.end()};
}

void UserNotificationCenter::getDeliveredNotifications(
    std::function<void(std::vector<std::shared_ptr<UserNotification>>)> completion) {
    if (!completion) return;
    Queue::global().async([completion = std::move(completion), list = deliveredNotifications()] { completion(list); });
}

void UserNotificationCenter::removeDeliveredNotifications(const std::vector<std::string>& identifiers) {
    impl_->removeDelivered(identifiers);
}

void UserNotificationCenter::removeAllDeliveredNotifications() {
    std::vector<std::string> all;
    for (const auto& notification : deliveredNotifications()) all.push_back(notification->request()->identifier());
    impl_->removeDelivered(all);
}

void UserNotificationCenter::setAuthorizationAnswer(AuthorizationAnswer answer) {
    std::lock_guard lock(impl_->mutex);
    impl_->answer = answer;
}

void UserNotificationCenter::setPresenter(std::shared_ptr<NotificationPresenter> presenter) {
    std::shared_ptr<NotificationPresenter> previous;  // released after the lock
    std::lock_guard lock(impl_->mutex);
    previous = std::exchange(impl_->presenter, std::move(presenter));
}

std::shared_ptr<NotificationPresenter> UserNotificationCenter::presenter() const { return impl_->currentPresenter(); }

std::shared_ptr<RecordingNotificationPresenter> UserNotificationCenter::recordingPresenter() const {
    return impl_->recording;
}

std::shared_ptr<UserNotification> UserNotificationCenter::receive(const std::shared_ptr<UserNotificationRequest>& request,
                                                                  std::optional<ApplicationState> state) {
    if (!request || request->identifier().empty() || !request->content()) {
        logLine("a notification without identifier or content was not delivered");
        return nullptr;
    }
    return impl_->deliver(*this, request, state);
}

std::shared_ptr<UserNotification> UserNotificationCenter::receive(const NotificationContent& content,
                                                                  std::optional<ApplicationState> state) {
    return receive(UserNotificationRequest::requestWithIdentifier(Device::makeUUID(), content), state);
}

std::optional<unsigned long> UserNotificationCenter::presentationAnswer(const std::string& identifier) const {
    std::lock_guard lock(impl_->mutex);
    for (auto it = impl_->answers.rbegin(); it != impl_->answers.rend(); ++it)
        if (it->first == identifier) return it->second;
    return std::nullopt;
}

std::shared_ptr<UserNotificationResponse> UserNotificationCenter::respond(const std::shared_ptr<UserNotification>& notification,
                                                                          const std::string& actionIdentifier) {
    if (!notification || !notification->request() || !notification->request()->content()) {
        logLine("a response without a notification was not delivered");
        return nullptr;
    }
    const auto& request = notification->request();
    const std::string& categoryName = request->content()->categoryIdentifier;
    std::shared_ptr<NotificationCategory> category;
    std::shared_ptr<UserNotificationCenterDelegate> listener;
    {
        std::lock_guard lock(impl_->mutex);
        for (const auto& c : impl_->categories)
            if (c->identifier() == categoryName) category = c;
        listener = impl_->delegate.lock();
    }
    const bool isDefault = actionIdentifier == kNotificationDefaultActionIdentifier;
    const bool isDismiss = actionIdentifier == kNotificationDismissActionIdentifier;
    std::shared_ptr<NotificationAction> action;
    if (!isDefault && !isDismiss && category) {
        for (const auto& a : category->actions())
            if (a->identifier() == actionIdentifier) action = a;
    }
    if (!isDefault && !isDismiss && !action) {
        logLine("notification " + request->identifier() + " has no action \"" + actionIdentifier + "\"; nothing was answered");
        return nullptr;
    }
    if (isDefault || (action && (action->options() & kActionOptionForeground)))
        Application::shared().setApplicationState(ApplicationState::Active);
    impl_->removeDelivered({request->identifier()});

    auto response = std::make_shared<UserNotificationResponse>(notification, actionIdentifier);
    const bool tell = !isDismiss || (category && (category->options() & kCategoryOptionCustomDismissAction));
    if (!tell || !listener) return response;
    auto completion = onceHandler<>(impl_->counts, impl_->timers, "didReceive for " + request->identifier(), std::function<void()>([] {}));
    try {
        listener->didReceiveNotificationResponse(*this, response, std::move(completion));
    } catch (...) {
        logLine("the delegate failed while told of a response to notification " + request->identifier());
    }
    return response;
}

int UserNotificationCenter::completedHandlerCount() const { return impl_->counts->completed.load(); }
int UserNotificationCenter::abandonedHandlerCount() const { return impl_->counts->abandoned.load(); }

}  // namespace qm::platform
