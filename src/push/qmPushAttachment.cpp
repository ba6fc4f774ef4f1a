// The notification-service extension's entry: before a push is shown, the library marks it
// with its view id and badge number, reports the view, records the push for the inbox,
// registers its buttons and attaches its picture, sound or film. The content handler is called
// exactly once on every road, with the changed content or the best attempt unchanged.
#include <atomic>
#include <memory>
#include <string>

#include "core/QMLogger.hpp"
#include "core/QMRuntime.hpp"
#include "core/QMSDKDataStore.hpp"
#include "core/QMSDKUserDefaultsData.hpp"
#include "core/qmGetFilteredData.hpp"
#include "core/qmInternalProcessClass.hpp"
#include "push/QMSDKPushBadgeHandler.hpp"
#include "push/qmPushStatistics.hpp"
#include "qmplatform/application.hpp"
#include "qmplatform/bundle.hpp"
#include "qmplatform/sandbox.hpp"
#include "qmplatform/url.hpp"
#include "qmplatform/url_session.hpp"
#include "qmplatform/user_notifications.hpp"
#include "quelmar/quelmar.hpp"

namespace qm {
namespace {

using ContentHandler = std::function<void(const std::shared_ptr<platform::NotificationContent>&)>;

// Calls the app's handler once; later calls are dropped. A handler that throws is the host's
// fault, but it must not escape into the library's threads.
class OnceHandler {
public:
    explicit OnceHandler(ContentHandler handler) : handler_(std::move(handler)) {}
    void operator()(const std::shared_ptr<platform::NotificationContent>& content) {
        if (called_.exchange(true) || !handler_) return;
        try {
            handler_(content);
        } catch (...) {
            QMLog(QMLogLevelError, "The notification's content handler failed.");
        }
    }

private:
    ContentHandler handler_;
    std::atomic<bool> called_{false};
};

bool isPresentText(const Value& v) {
    return isValidString(v) && v.description() != "(null)";
}

// The extension shares the app's state only through the app-group suite, which one of these
// keys of its Info.plist names. Without either, the suite would be the extension's own and
// nothing it records would reach the app.
bool extensionNamesItsAppGroup() {
    const auto& bundle = platform::Bundle::main();
    return isPresentText(bundle.objectForInfoDictionaryKey("qmAppGroupKey")) ||
           isPresentText(bundle.objectForInfoDictionaryKey("App Bundle identifier"));
}

// Where the downloaded file goes: the download's own location with the media file's name
// appended, so that the name ends as the media's does (its type follows from that).
// A name decoded from the URL may hold a slash: it stays one name.
std::string attachmentPath(const std::string& location, const std::string& mediaURL) {
    const auto url = platform::URL::parse(mediaURL);
    std::string name = url ? url->lastPathComponent() : std::string();
    for (char& c : name) {
        if (c == '/' || c == '\0') c = '_';
    }
    return location + name;
}

void downloadAndAttach(const std::string& mediaURL, const std::shared_ptr<platform::MutableNotificationContent>& content,
                       const std::shared_ptr<OnceHandler>& deliver) {
    auto configuration = platform::URLSessionConfiguration::defaultSessionConfiguration();
    // Nothing larger could be attached: a film is the largest attachment there is.
    configuration.maximumResponseBodySize = static_cast<std::size_t>(platform::kMaxVideoAttachmentBytes);
    auto session = platform::URLSession::sessionWithConfiguration(configuration);
    auto task = session->downloadTaskWithRequest(
        platform::URLRequest{mediaURL},
        [content, deliver, mediaURL](const std::optional<std::string>& location,
                                     const std::optional<platform::HTTPURLResponse>&,
                                     const std::optional<platform::URLError>& error) {
            if (error || !location) {
                const Value description(error ? error->description() : std::string("no file"));
                QMLog(QMLogLevelError, "Failed to download push rich media content with an error description: %@",
                      description);
                (*deliver)(content);
                return;
            }
            const std::string path = attachmentPath(*location, mediaURL);
            // A failed move leaves no file, and the attachment below fails on its own.
            platform::Files::moveItem(*location, path);
            platform::Error attachmentError;
            auto attachment =
                platform::NotificationAttachment::attachmentWithIdentifier("", path, {}, attachmentError);
            if (!attachment) {
                (*deliver)(content);
                return;
            }
            auto withMedia = content->mutableCopy();
            withMedia->attachments = {attachment};
            (*deliver)(withMedia);
        });
    if (!task) {
        (*deliver)(content);
        return;
    }
    task->resume();
    session->finishTasksAndInvalidate();
}

}  // namespace

void quelmar::LoadAttachmentWithRequest(const std::shared_ptr<platform::UserNotificationRequest>& request,
                                        const std::shared_ptr<platform::MutableNotificationContent>& bestAttemptContent,
                                        std::function<void(const std::shared_ptr<platform::NotificationContent>&)> contentHandler) {
    auto deliver = std::make_shared<OnceHandler>(std::move(contentHandler));
    // Without content there is nothing to change; the system gets back what it gave.
    if (!request || !request->content() || !bestAttemptContent) {
        (*deliver)(bestAttemptContent);
        return;
    }
    const Value userInfo = request->content()->userInfo;
    if (!extensionNamesItsAppGroup()) {
        QMLog(QMLogLevelError,
              "'App Bundle identifier' or 'qmAppGroupKey' key is not set in info.plist of your Notification Service "
              "Extension. Kindly set any one of these first as per the integration documentation.");
        (*deliver)(bestAttemptContent);
        return;
    }
    const Value& aps = userInfo["aps"];
    if (userInfo.count() == 0 || !aps.isDictionary() || aps.count() == 0) {
        (*deliver)(bestAttemptContent);
        return;
    }
    const Value data = aps["qm_data"];
    const Value category = push::payloadText(aps["category"]);
    if (category.string() == "qmpush") {
        bestAttemptContent->userInfo = sharedInstance().pushPayloadWithPushViewID(userInfo, Value(request->identifier()));
        bestAttemptContent->badge = Value(QMSDKPushBadgeHandler::sharedInstance().qmGetCurrentPushBadgeNumberCount());
    }

    // An engine of the extension's own: the app's shared one is not running here.
    auto engine = std::make_shared<qmInternalProcessClass>();
    if (data.isDictionary() && data.count() > 0) {
        const Value notificationID = push::payloadText(data["nid"]);
        const Value& sidValue = data["sid"];
        const Value sidText = push::payloadText(sidValue);
        const Value sid = sidValue.isNone() || sidValue.isNull() || sidText.string().empty() ? Value() : sidText;
        if (platform::Application::shared().applicationState() != platform::ApplicationState::Inactive) {
            // The app's inbox reads the service again the next time it is shown.
            if (auto store = QMRuntime::shared().qmStoreData()) store->clear_qm_push_notifications_Data();
            QMSDKUserDefaultsData::sharedInstance().qmSetBOOL(true, "qm_shouldResetCenterDataOnNewPush",
                                                             QMStore::AppGroup);
        }
        const Value& statsURL = data["stats_url"];
        engine->PushNotificationStatisticsWithStatsApiUrl(statsURL.isNone() ? Value() : push::payloadText(statsURL),
                                                          notificationID, "views", sid, 5000);
        const Value appBundle = platform::Bundle::main().objectForInfoDictionaryKey("App Bundle identifier");
        const Value bundleID = appBundle ? Value(appBundle.description()) : Value(platform::Bundle::main().bundleIdentifier());
        sharedInstance().setReceivedPushInPreferenceWithNotificationID(notificationID, bundleID);
    }
    engine->setUserActionForCategoryName(category, data);

    if (!data.contains("mediaUrl") || !data.contains("mediaType")) {
        (*deliver)(bestAttemptContent);
        return;
    }
    const Value& media = data["mediaUrl"];
    if (!isPresentText(media)) {
        (*deliver)(bestAttemptContent);
        return;
    }
    downloadAndAttach(media.description(), bestAttemptContent, deliver);
}

}  // namespace qm
