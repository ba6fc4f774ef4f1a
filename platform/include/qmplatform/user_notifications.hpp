// The user-notification service: what notifications carry (content, attachments, triggers,
// requests), the app's categories and actions, permission, and the notification center that
// schedules local notifications on the platform clock, receives remote pushes from the host,
// asks the app's delegate how to show them in front and tells it what the user answered.
//
// Everything here may be used from any thread. Completion handlers the center takes from the
// app run on a global queue, as the phone's do; completion handlers the center hands to the
// delegate may be called once, from any thread (a second call is ignored, and one that is
// never called holds nothing up: it is logged when dropped or when the wait runs out).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "qmplatform/error.hpp"
#include "quelmar/value.hpp"

namespace qm {
template <typename T>
class NoDestructor;
}  // namespace qm

namespace qm::platform {

enum class ApplicationState;
struct Configuration;

inline constexpr const char* kUserNotificationsErrorDomain = "QMUserNotificationsErrorDomain";
// Codes of that domain.
enum UserNotificationsErrorCode : long {
    kNotificationsNotAllowed = 1,
    kAttachmentInvalidURL = 100,
    kAttachmentUnrecognizedType = 101,
    kAttachmentInvalidFileSize = 102,
    kAttachmentNotInDataStore = 103,
    kAttachmentCorrupt = 105,
    kNotificationInvalidTrigger = 1400,
    kNotificationInvalidRequest = 1401,
    kNotificationTooMany = 1402,
    kAuthorizationFailed = 1500,
};

// ---------------------------------------------------------------------------------------------
// Attachments

enum class AttachmentType { Image, Audio, Video };
const char* attachmentTypeName(AttachmentType type);  // "image", "audio", "video"

// Largest attachment files accepted, by type.
inline constexpr std::int64_t kMaxImageAttachmentBytes = 10ll * 1024 * 1024;
inline constexpr std::int64_t kMaxAudioAttachmentBytes = 5ll * 1024 * 1024;
inline constexpr std::int64_t kMaxVideoAttachmentBytes = 50ll * 1024 * 1024;

// A local picture, sound or film shown with a notification. The type follows from the file
// name's ending (.png .jpg .jpeg .gif: image; .wav .mp3 .m4a .aif .aiff: audio; .mp4 .m4v .mov
// .mpg .mpeg .avi: video) and is checked by reading the file with the configured media probe.
class NotificationAttachment {
public:
    // `url` is a path or a "file://" URL. Null with `error` set when the file is missing or
    // unreadable, too large for its type, of an ending not listed above, not what its ending
    // says, or when no media probe is configured (see Configuration::mediaProbe). Options
    // are accepted and not used.
    static std::shared_ptr<NotificationAttachment> attachmentWithIdentifier(const std::string& identifier,
                                                                            const std::string& url,
                                                                            const Dictionary& options, Error& error);

    const std::string& identifier() const { return identifier_; }
    // The file's path.
    const std::string& path() const { return path_; }
    AttachmentType type() const { return type_; }

private:
    NotificationAttachment() = default;
    std::string identifier_;
    std::string path_;
    AttachmentType type_ = AttachmentType::Image;
};

// ---------------------------------------------------------------------------------------------
// Content

inline constexpr const char* kDefaultNotificationSound = "default";

class MutableNotificationContent;

class NotificationContent {
public:
    virtual ~NotificationContent() = default;

    std::string title;
    std::string subtitle;
    std::string body;
    std::string categoryIdentifier;
    std::string threadIdentifier;
    std::string sound;  // a sound name, kDefaultNotificationSound, or empty for silence
    Value badge;        // a number, or nothing to leave the badge as it is
    Value userInfo;     // the push payload
    std::vector<std::shared_ptr<NotificationAttachment>> attachments;

    // Copies of the fields (attachments are shared: they do not change).
    std::shared_ptr<NotificationContent> copy() const;
    std::shared_ptr<MutableNotificationContent> mutableCopy() const;
};

// Content that an extension may change before the notification is shown; it is handed back
// through the extension's content handler as the content to show.
class MutableNotificationContent : public NotificationContent {};

// ---------------------------------------------------------------------------------------------
// Triggers, requests, notifications, responses

// Fires `timeInterval` seconds after the request is added (and every `timeInterval` seconds
// when it repeats, which needs at least kMinRepeatInterval). A request without a trigger is
// delivered at once.
struct NotificationTrigger {
    double timeInterval = 0;
    bool repeats = false;
};
inline constexpr double kMinRepeatInterval = 60;

class UserNotificationRequest {
public:
    // The content is copied. An empty identifier is refused when the request is added.
    static std::shared_ptr<UserNotificationRequest> requestWithIdentifier(std::string identifier,
                                                                          const NotificationContent& content,
                                                                          std::optional<NotificationTrigger> trigger = {});
    const std::string& identifier() const { return identifier_; }
    const std::shared_ptr<NotificationContent>& content() const { return content_; }
    const std::optional<NotificationTrigger>& trigger() const { return trigger_; }

private:
    UserNotificationRequest() = default;
    std::string identifier_;
    std::shared_ptr<NotificationContent> content_;
    std::optional<NotificationTrigger> trigger_;
};

// A delivered notification.
class UserNotification {
public:
    UserNotification(Date date, std::shared_ptr<UserNotificationRequest> request)
        : date_(date), request_(std::move(request)) {}
    Date date() const { return date_; }
    const std::shared_ptr<UserNotificationRequest>& request() const { return request_; }

private:
    Date date_;
    std::shared_ptr<UserNotificationRequest> request_;
};

// The action identifiers of a tap on the notification itself and of its dismissal.
inline constexpr const char* kNotificationDefaultActionIdentifier = "qm.notification.action.open";
inline constexpr const char* kNotificationDismissActionIdentifier = "qm.notification.action.dismiss";

class UserNotificationResponse {
public:
    UserNotificationResponse(std::shared_ptr<UserNotification> notification, std::string actionIdentifier)
        : notification_(std::move(notification)), actionIdentifier_(std::move(actionIdentifier)) {}
    const std::shared_ptr<UserNotification>& notification() const { return notification_; }
    const std::string& actionIdentifier() const { return actionIdentifier_; }

private:
    std::shared_ptr<UserNotification> notification_;
    std::string actionIdentifier_;
};

// ---------------------------------------------------------------------------------------------
// Categories and actions

// NotificationAction options (bits).
inline constexpr unsigned long kActionOptionAuthenticationRequired = 1;
inline constexpr unsigned long kActionOptionDestructive = 2;
inline constexpr unsigned long kActionOptionForeground = 4;

class NotificationAction {
public:
    static std::shared_ptr<NotificationAction> actionWithIdentifier(std::string identifier, std::string title,
                                                                    unsigned long options = 0);
    const std::string& identifier() const { return identifier_; }
    const std::string& title() const { return title_; }
    unsigned long options() const { return options_; }

private:
    NotificationAction() = default;
    std::string identifier_, title_;
    unsigned long options_ = 0;
};

// NotificationCategory options (bits). With kCategoryOptionCustomDismissAction the delegate
// hears of dismissals too.
inline constexpr unsigned long kCategoryOptionCustomDismissAction = 1;
inline constexpr unsigned long kCategoryOptionAllowInCarPlay = 2;

class NotificationCategory {
public:
    static std::shared_ptr<NotificationCategory> categoryWithIdentifier(
        std::string identifier, std::vector<std::shared_ptr<NotificationAction>> actions,
        std::vector<std::string> intentIdentifiers = {}, unsigned long options = 0);
    const std::string& identifier() const { return identifier_; }
    const std::vector<std::shared_ptr<NotificationAction>>& actions() const { return actions_; }
    const std::vector<std::string>& intentIdentifiers() const { return intentIdentifiers_; }
    unsigned long options() const { return options_; }

private:
    NotificationCategory() = default;
    std::string identifier_;
    std::vector<std::shared_ptr<NotificationAction>> actions_;
    std::vector<std::string> intentIdentifiers_;
    unsigned long options_ = 0;
};

// ---------------------------------------------------------------------------------------------
// Permission and presentation

// Authorisation options (bits).
inline constexpr unsigned long kAuthorizationOptionBadge = 1;
inline constexpr unsigned long kAuthorizationOptionSound = 2;
inline constexpr unsigned long kAuthorizationOptionAlert = 4;
inline constexpr unsigned long kAuthorizationOptionProvisional = 64;

// How a notification is shown while the app is in front (bits).
inline constexpr unsigned long kPresentationOptionBadge = 1;
inline constexpr unsigned long kPresentationOptionSound = 2;
inline constexpr unsigned long kPresentationOptionAlert = 4;  // banner and list together
inline constexpr unsigned long kPresentationOptionList = 8;
inline constexpr unsigned long kPresentationOptionBanner = 16;
// What a notification gets when the app is not in front.
inline constexpr unsigned long kPresentationOptionsAll = 31;

enum class AuthorizationStatus { NotDetermined, Denied, Authorized, Provisional };

// What the user answers when asked for permission (decided by the host or a test).
enum class AuthorizationAnswer { Granted, Denied, Provisional, Failed };

struct NotificationSettings {
    AuthorizationStatus authorizationStatus = AuthorizationStatus::NotDetermined;
    // The options the user allowed (kAuthorizationOption… bits; 0 unless authorised).
    unsigned long allowedOptions = 0;
    bool alertEnabled() const { return allowedOptions & kAuthorizationOptionAlert; }
    bool soundEnabled() const { return allowedOptions & kAuthorizationOptionSound; }
    bool badgeEnabled() const { return allowedOptions & kAuthorizationOptionBadge; }
};

// Shows notifications. Called from any thread, without the center's lock held.
class NotificationPresenter {
public:
    virtual ~NotificationPresenter() = default;
    // `options` says what is shown (kPresentationOption… bits: banner, list, sound, badge).
    virtual void present(const std::shared_ptr<UserNotification>& notification, unsigned long options) = 0;
    // The notifications with these identifiers are no longer on screen.
    virtual void withdraw(const std::vector<std::string>& identifiers) { (void)identifiers; }
};

// Keeps what was shown, for tests and hosts that print it. Holds the last kMaxRecords.
class RecordingNotificationPresenter final : public NotificationPresenter {
public:
    static constexpr std::size_t kMaxRecords = 1000;
    struct Shown {
        std::shared_ptr<UserNotification> notification;
        unsigned long options = 0;
    };
    void present(const std::shared_ptr<UserNotification>& notification, unsigned long options) override;
    void withdraw(const std::vector<std::string>& identifiers) override;
    std::vector<Shown> shown() const;
    // Identifiers withdrawn, in order.
    std::vector<std::string> withdrawn() const;
    void clear();

    RecordingNotificationPresenter();
    ~RecordingNotificationPresenter() override;

private:
    struct State;
    std::unique_ptr<State> state_;
};

// ---------------------------------------------------------------------------------------------
// The center and its delegate

class UserNotificationCenter;

// The app's delegate. Both methods are optional: without willPresent a notification that
// arrives while the app is in front is not shown; without didReceive responses go unheard.
// Each completion may be called once, from any thread.
class UserNotificationCenterDelegate {
public:
    virtual ~UserNotificationCenterDelegate() = default;
    virtual void willPresentNotification(UserNotificationCenter& center,
                                         const std::shared_ptr<UserNotification>& notification,
                                         std::function<void(unsigned long options)> completionHandler);
    virtual void didReceiveNotificationResponse(UserNotificationCenter& center,
                                                const std::shared_ptr<UserNotificationResponse>& response,
                                                std::function<void()> completionHandler);
};

class UserNotificationCenter {
public:
    // Pending requests kept at most (adding more fails) and delivered notifications kept (the
    // oldest go first).
    static constexpr std::size_t kMaxPendingRequests = 64;
    static constexpr std::size_t kMaxDeliveredNotifications = 64;
    // Seconds of the platform clock a delegate has to call a completion before it is logged.
    static constexpr double kCompletionWarningSeconds = 30;

    static UserNotificationCenter& current();

    // Kept weakly.
    void setDelegate(std::weak_ptr<UserNotificationCenterDelegate> delegate);
    std::shared_ptr<UserNotificationCenterDelegate> delegate() const;

    // Asks the user once: the first request gets the host's answer (see
    // setAuthorizationAnswer), later ones the same decision without asking again; a failed
    // question decides nothing and is asked again next time. The completion runs on a global
    // queue with whether notifications are allowed and the error, if any.
    void requestAuthorization(unsigned long options,
                              std::function<void(bool granted, std::optional<Error> error)> completion);
    // How many times the user was actually asked.
    int authorizationPromptCount() const;
    // The completion runs on a global queue.
    void getNotificationSettings(std::function<void(NotificationSettings)> completion);
    NotificationSettings notificationSettings() const;

    // Replaces the app's categories (one per identifier, the last given wins).
    void setNotificationCategories(std::vector<std::shared_ptr<NotificationCategory>> categories);
    // The completion runs on a global queue.
    void getNotificationCategories(
        std::function<void(std::vector<std::shared_ptr<NotificationCategory>>)> completion);
    std::vector<std::shared_ptr<NotificationCategory>> notificationCategories() const;

    // Schedules the request on the platform clock (a request with the identifier of a pending
    // one replaces it). Refused while notifications are not allowed, for a missing identifier
    // or content, a trigger interval that is not positive (or under kMinRepeatInterval when
    // repeating), and past kMaxPendingRequests. The completion runs on a global queue.
    void addNotificationRequest(const std::shared_ptr<UserNotificationRequest>& request,
                                std::function<void(std::optional<Error> error)> completion = {});
    void getPendingNotificationRequests(
        std::function<void(std::vector<std::shared_ptr<UserNotificationRequest>>)> completion);
    std::vector<std::shared_ptr<UserNotificationRequest>> pendingNotificationRequests() const;
    void removePendingNotificationRequests(const std::vector<std::string>& identifiers);
    void removeAllPendingNotificationRequests();

    // Oldest first.
    void getDeliveredNotifications(std::function<void(std::vector<std::shared_ptr<UserNotification>>)> completion);
    std::vector<std::shared_ptr<UserNotification>> deliveredNotifications() const;
    void removeDeliveredNotifications(const std::vector<std::string>& identifiers);
    void removeAllDeliveredNotifications();

    // --- The system's side, driven by the host or a test ---------------------------------------
    // The user's answer to the permission question (Granted until set).
    void setAuthorizationAnswer(AuthorizationAnswer answer);
    // Where shown notifications go; null: the recording presenter.
    void setPresenter(std::shared_ptr<NotificationPresenter> presenter);
    std::shared_ptr<NotificationPresenter> presenter() const;
    // The center's own recording presenter (what it shows while no other presenter is set).
    std::shared_ptr<RecordingNotificationPresenter> recordingPresenter() const;

    // A remote push arrives (or a scheduled request fires) in the given application state
    // (the application's current one when not given). While the app is active the delegate's
    // willPresent answer decides how it is shown (see presentationAnswer); otherwise it is
    // shown fully. Null when notifications are not allowed or the request is unusable.
    std::shared_ptr<UserNotification> receive(const std::shared_ptr<UserNotificationRequest>& request,
                                              std::optional<ApplicationState> state = {});
    // The same with a request of a fresh identifier.
    std::shared_ptr<UserNotification> receive(const NotificationContent& content,
                                              std::optional<ApplicationState> state = {});
    // The options the delegate answered for the notification of this identifier (nothing
    // while it has not answered, or when it was not asked).
    std::optional<unsigned long> presentationAnswer(const std::string& identifier) const;

    // The user taps the notification (kNotificationDefaultActionIdentifier), one of its
    // category's actions, or dismisses it (kNotificationDismissActionIdentifier). The
    // default action and foreground actions bring the app to the front first; the delegate's
    // didReceive is then called on the calling thread. A tap or dismissal takes the
    // notification off the delivered list; a dismissal reaches the delegate only when the
    // category asks for it (kCategoryOptionCustomDismissAction). Null, with a log line, for an
    // action the notification's category does not have.
    std::shared_ptr<UserNotificationResponse> respond(const std::shared_ptr<UserNotification>& notification,
                                                      const std::string& actionIdentifier);
    // Completions handed to the delegate that were called, and those dropped or overdue
    // without being called.
    int completedHandlerCount() const;
    int abandonedHandlerCount() const;

    UserNotificationCenter(const UserNotificationCenter&) = delete;
    UserNotificationCenter& operator=(const UserNotificationCenter&) = delete;

private:
    // Back to a fresh start (configure() does it): not determined, the answer Granted, no
    // categories, requests, notifications or delegate, the recording presenter emptied.
    friend bool configure(Configuration configuration);
    void reset();

    UserNotificationCenter();
    ~UserNotificationCenter() = default;
    template <typename> friend class qm::NoDestructor;

    struct Impl;
    std::shared_ptr<Impl> impl_;
};

}  // namespace qm::platform
