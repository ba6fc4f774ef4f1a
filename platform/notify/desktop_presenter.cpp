#include "qmnotify/desktop_presenter.hpp"

#include <libnotify/notify.h>

#include <cstdlib>
#include <deque>
#include <mutex>
#include <utility>

#include "qmplatform/system_log.hpp"

namespace qm::platform::notify {

namespace {

// Notifications kept open so that they can be closed later; older ones are let go.
constexpr std::size_t kMaxOpen = 64;

bool sessionBusPresent() {
    const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    return address && *address;
}

struct NotificationDeleter {
    void operator()(NotifyNotification* notification) const { g_object_unref(notification); }
};
using NotificationPtr = std::unique_ptr<NotifyNotification, NotificationDeleter>;

class DesktopPresenter final : public NotificationPresenter {
public:
    void present(const std::shared_ptr<UserNotification>& notification, unsigned long options) override {
        if (!(options & (kPresentationOptionBanner | kPresentationOptionList))) return;
        const auto& request = notification->request();
        const NotificationContent& content = *request->content();
        std::string text = content.subtitle;
        if (!text.empty() && !content.body.empty()) text += "\n";
        text += content.body;
        std::string icon;
        for (const auto& attachment : content.attachments)
            if (attachment && attachment->type() == AttachmentType::Image) icon = attachment->path();

        std::lock_guard lock(mutex_);
        NotificationPtr shown(notify_notification_new(content.title.c_str(), text.c_str(),
                                                      icon.empty() ? nullptr : icon.c_str()));
        if (!shown) return;
        if (!content.categoryIdentifier.empty())
            notify_notification_set_category(shown.get(), content.categoryIdentifier.c_str());
        GError* error = nullptr;
        if (!notify_notification_show(shown.get(), &error)) {
            SystemLog::write(std::string("quelmar notifications: the desktop did not show a notification: ") +
                             (error && error->message ? error->message : "unknown error"));
            if (error) g_error_free(error);
            return;
        }
        open_.emplace_back(request->identifier(), std::move(shown));
        while (open_.size() > kMaxOpen) open_.pop_front();
    }

    void withdraw(const std::vector<std::string>& identifiers) override {
        std::lock_guard lock(mutex_);
        for (auto it = open_.begin(); it != open_.end();) {
            bool named = false;
            for (const auto& id : identifiers) named = named || id == it->first;
            if (!named) {
                ++it;
                continue;
            }
            GError* error = nullptr;
            if (!notify_notification_close(it->second.get(), &error) && error) g_error_free(error);
            it = open_.erase(it);
        }
    }

private:
    std::mutex mutex_;
    std::deque<std::pair<std::string, NotificationPtr>> open_;
};

}  // namespace

std::shared_ptr<NotificationPresenter> desktopPresenter(const std::string& applicationName) {
    if (!sessionBusPresent()) {
        SystemLog::write("quelmar notifications: no session bus; desktop notifications are off");
        return nullptr;
    }
    static std::mutex initMutex;
    std::lock_guard lock(initMutex);
    if (!notify_is_initted() && !notify_init(applicationName.empty() ? "quelmar" : applicationName.c_str())) {
        SystemLog::write("quelmar notifications: libnotify could not start; desktop notifications are off");
        return nullptr;
    }
    return std::make_shared<DesktopPresenter>();
}

}  // namespace qm::platform::notify
