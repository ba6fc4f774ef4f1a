// The user-notification center: permission, categories, scheduled and remote notifications,
// the delegate's questions and their completion handlers, attachments checked by the media
// probe, and use from several threads.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "fixtures.hpp"
#include "qmmedia/media_probe.hpp"
#include "qmplatform/application.hpp"
#include "qmplatform/media_probe.hpp"
#include "qmplatform/user_notifications.hpp"
#include "test_host.hpp"

#ifdef QM_HAVE_DESKTOP_NOTIFICATIONS
#include <cstdlib>

#include "qmnotify/desktop_presenter.hpp"
#endif

using namespace qm;
using namespace qm::platform;
using qm::testkit::TestHost;

namespace {

UserNotificationCenter& center() { return UserNotificationCenter::current(); }

NotificationContent content(const std::string& title, Value badge = {}, std::string sound = {}) {
    NotificationContent c;
    c.title = title;
    c.badge = std::move(badge);
    c.sound = std::move(sound);
    return c;
}

std::shared_ptr<UserNotificationRequest> request(const std::string& id, std::optional<NotificationTrigger> trigger = {},
                                                 NotificationContent c = {}) {
    if (c.title.empty()) c.title = id;
    return UserNotificationRequest::requestWithIdentifier(id, c, trigger);
}

// Collects what completions hand back on other threads.
template <typename T>
class Inbox {
public:
    void put(T value) {
        std::lock_guard lock(mutex_);
        items_.push_back(std::move(value));
    }
    std::vector<T> items() const {
        std::lock_guard lock(mutex_);
        return items_;
    }
    std::size_t size() const { return items().size(); }

private:
    mutable std::mutex mutex_;
    std::vector<T> items_;
};

// Authorises notifications (alert, sound, badge) and waits for the answer.
void allow(TestHost& host) {
    std::atomic<bool> done{false};
    center().requestAuthorization(7, [&](bool, std::optional<Error>) { done = true; });
    ASSERT_TRUE(host.runUntil([&] { return done.load(); }));
}

std::vector<std::string> shownIDs() {
    std::vector<std::string> ids;
    for (const auto& s : center().recordingPresenter()->shown()) ids.push_back(s.notification->request()->identifier());
    return ids;
}

std::vector<std::string> pendingIDs() {
    std::vector<std::string> ids;
    for (const auto& r : center().pendingNotificationRequests()) ids.push_back(r->identifier());
    return ids;
}

std::vector<std::string> deliveredIDs() {
    std::vector<std::string> ids;
    for (const auto& n : center().deliveredNotifications()) ids.push_back(n->request()->identifier());
    return ids;
}

// A delegate that answers willPresent with `options` at once (or keeps the handler) and keeps
// didReceive's handlers for the test to call.
class Delegate final : public UserNotificationCenterDelegate {
public:
    std::optional<unsigned long> answer;  // nothing: keep the handler
    bool dropDidReceive = false;

    void willPresentNotification(UserNotificationCenter&, const std::shared_ptr<UserNotification>& notification,
                                 std::function<void(unsigned long)> completion) override {
        {
            std::lock_guard lock(mutex);
            asked.push_back(notification->request()->identifier());
            if (!answer) keptPresent.push_back(completion);
        }
        if (answer) completion(*answer);
    }
    void didReceiveNotificationResponse(UserNotificationCenter&, const std::shared_ptr<UserNotificationResponse>& response,
                                        std::function<void()> completion) override {
        std::lock_guard lock(mutex);
        responses.push_back(response->actionIdentifier());
        if (!dropDidReceive) keptReceive.push_back(std::move(completion));
    }

    std::mutex mutex;
    std::vector<std::string> asked, responses;
    std::vector<std::function<void(unsigned long)>> keptPresent;
    std::vector<std::function<void()>> keptReceive;
};

}  // namespace

TEST(UserNotificationPermission, AskedOnceAndTheDecisionStands) {
    TestHost host;
    Inbox<std::pair<bool, std::optional<Error>>> answers;
    auto collect = [&](bool granted, std::optional<Error> error) { answers.put({granted, error}); };

    // A question that could not be asked decides nothing: the next request asks again.
    center().setAuthorizationAnswer(AuthorizationAnswer::Failed);
    center().requestAuthorization(7, collect);
    ASSERT_TRUE(host.runUntil([&] { return answers.size() == 1; }));
    EXPECT_FALSE(answers.items()[0].first);
    ASSERT_TRUE(answers.items()[0].second);
    EXPECT_EQ(answers.items()[0].second->code, kAuthorizationFailed);
    EXPECT_EQ(center().notificationSettings().authorizationStatus, AuthorizationStatus::NotDetermined);

    // Denied once, denied for good: a later "yes" from the host is never asked for.
    center().setAuthorizationAnswer(AuthorizationAnswer::Denied);
    center().requestAuthorization(7, collect);
    center().setAuthorizationAnswer(AuthorizationAnswer::Granted);
    center().requestAuthorization(7, collect);
    ASSERT_TRUE(host.runUntil([&] { return answers.size() == 3; }));
    EXPECT_FALSE(answers.items()[1].first);
    EXPECT_FALSE(answers.items()[1].second);
    EXPECT_FALSE(answers.items()[2].first);
    EXPECT_EQ(center().authorizationPromptCount(), 2);
    const NotificationSettings denied = center().notificationSettings();
    EXPECT_EQ(denied.authorizationStatus, AuthorizationStatus::Denied);
    EXPECT_FALSE(denied.alertEnabled());

    // Nothing is scheduled or shown while not allowed, and the refusal says so.
    Inbox<std::optional<Error>> added;
    center().addNotificationRequest(request("r"), [&](std::optional<Error> e) { added.put(e); });
    ASSERT_TRUE(host.runUntil([&] { return added.size() == 1; }));
    ASSERT_TRUE(added.items()[0]);
    EXPECT_EQ(added.items()[0]->code, kNotificationsNotAllowed);
    EXPECT_EQ(center().receive(content("push"), ApplicationState::Background), nullptr);
    EXPECT_TRUE(center().recordingPresenter()->shown().empty());

    // A new start forgets the decision; granted options are those asked for.
    TestHost fresh;
    EXPECT_EQ(center().notificationSettings().authorizationStatus, AuthorizationStatus::NotDetermined);
    std::atomic<bool> granted{false};
    center().requestAuthorization(kAuthorizationOptionAlert | kAuthorizationOptionBadge,
                                  [&](bool ok, std::optional<Error>) { granted = ok; });
    ASSERT_TRUE(fresh.runUntil([&] { return granted.load(); }));
    Inbox<NotificationSettings> settings;
    center().getNotificationSettings([&](NotificationSettings s) { settings.put(s); });
    ASSERT_TRUE(fresh.runUntil([&] { return settings.size() == 1; }));
    EXPECT_EQ(settings.items()[0].authorizationStatus, AuthorizationStatus::Authorized);
    EXPECT_TRUE(settings.items()[0].alertEnabled());
    EXPECT_TRUE(settings.items()[0].badgeEnabled());
    EXPECT_FALSE(settings.items()[0].soundEnabled());
}

TEST(UserNotificationPermission, RemoteRegistrationIsRecordedAndForgottenOnANewStart) {
    {
        TestHost host;
        Application& app = Application::shared();
        EXPECT_FALSE(app.isRegisteredForRemoteNotifications());
        app.registerForRemoteNotifications();
        app.registerForRemoteNotifications();
        EXPECT_TRUE(app.isRegisteredForRemoteNotifications());
        EXPECT_EQ(app.remoteNotificationRegistrationCount(), 2);
        app.unregisterForRemoteNotifications();
        EXPECT_FALSE(app.isRegisteredForRemoteNotifications());
        app.registerForRemoteNotifications();
    }
    TestHost again;
    EXPECT_FALSE(Application::shared().isRegisteredForRemoteNotifications());
    EXPECT_EQ(Application::shared().remoteNotificationRegistrationCount(), 0);
}

TEST(UserNotificationCategories, SettingReplacesTheWholeSet) {
    TestHost host;
    auto open = NotificationAction::actionWithIdentifier("open", "Open", kActionOptionForeground);
    auto remove = NotificationAction::actionWithIdentifier("delete", "Delete", kActionOptionDestructive);
    center().setNotificationCategories({NotificationCategory::categoryWithIdentifier("a", {open}),
                                        NotificationCategory::categoryWithIdentifier("b", {}), nullptr,
                                        NotificationCategory::categoryWithIdentifier("a", {open, remove, nullptr})});
    auto list = center().notificationCategories();
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0]->identifier(), "a");  // the last "a" given, in the first one's place
    ASSERT_EQ(list[0]->actions().size(), 2u);
    EXPECT_EQ(list[0]->actions()[1]->options(), kActionOptionDestructive);
    EXPECT_EQ(list[1]->identifier(), "b");

    center().setNotificationCategories({NotificationCategory::categoryWithIdentifier("c", {}, {}, 1)});
    Inbox<std::vector<std::shared_ptr<NotificationCategory>>> got;
    center().getNotificationCategories([&](auto categories) { got.put(std::move(categories)); });
    ASSERT_TRUE(host.runUntil([&] { return got.size() == 1; }));
    ASSERT_EQ(got.items()[0].size(), 1u);
    EXPECT_EQ(got.items()[0][0]->identifier(), "c");
    EXPECT_EQ(got.items()[0][0]->options(), kCategoryOptionCustomDismissAction);
    center().setNotificationCategories({});
    EXPECT_TRUE(center().notificationCategories().empty());
}

TEST(UserNotificationScheduling, RequestsWaitForTheirTriggerOnThePlatformClock) {
    TestHost host;
    allow(host);
    Application::shared().setApplicationState(ApplicationState::Background);
    // Completions run on a global queue, in no particular order: each is told by its label.
    std::mutex mutex;
    std::map<std::string, std::optional<Error>> errors;
    auto add = [&](std::string label, std::shared_ptr<UserNotificationRequest> r) {
        center().addNotificationRequest(r, [&, label](std::optional<Error> e) {
            std::lock_guard lock(mutex);
            errors[label] = e;
        });
    };
    auto answered = [&](std::size_t count) {
        return host.runUntil([&] {
            std::lock_guard lock(mutex);
            return errors.size() == count;
        });
    };
    auto code = [&](const std::string& label) {
        std::lock_guard lock(mutex);
        return errors.at(label) ? errors.at(label)->code : 0;
    };

    add("later", request("later", NotificationTrigger{10, false}, content("later", Value(5), kDefaultNotificationSound)));
    add("hourly", request("hourly", NotificationTrigger{60, true}));
    add("now", request("now"));
    add("zero", request("zero", NotificationTrigger{0, false}));
    add("fast", request("fast", NotificationTrigger{30, true}));
    add("unnamed", request(""));
    add("null", nullptr);
    ASSERT_TRUE(answered(7));
    ASSERT_TRUE(host.runUntil([&] { return shownIDs().size() == 1; }));
    for (const char* fine : {"later", "hourly", "now"}) EXPECT_EQ(code(fine), 0) << fine;
    EXPECT_EQ(code("zero"), kNotificationInvalidTrigger);
    EXPECT_EQ(code("fast"), kNotificationInvalidTrigger);
    EXPECT_EQ(code("unnamed"), kNotificationInvalidRequest);
    EXPECT_EQ(code("null"), kNotificationInvalidRequest);
    EXPECT_EQ(shownIDs(), std::vector<std::string>{"now"});
    EXPECT_EQ(pendingIDs(), (std::vector<std::string>{"later", "hourly"}));

    // A pending request replaced by one of the same identifier fires on the new trigger only.
    add("soon", request("soon", NotificationTrigger{5, false}));
    add("soon again", request("soon", NotificationTrigger{20, false}));
    host.advance(9.9);
    host.runUntilIdle();
    EXPECT_EQ(shownIDs(), std::vector<std::string>{"now"});
    host.advance(0.1);
    ASSERT_TRUE(host.runUntil([&] { return shownIDs().size() == 2; }));
    EXPECT_EQ(shownIDs()[1], "later");
    const auto shown = center().recordingPresenter()->shown();
    // Shown fully in the background: banner, list, its sound and its badge.
    EXPECT_EQ(shown[1].options, kPresentationOptionBanner | kPresentationOptionList | kPresentationOptionSound |
                                    kPresentationOptionBadge);
    EXPECT_EQ(shown[1].notification->date(), Date::fromUnix(1705312800 + 10));
    EXPECT_EQ(Application::shared().applicationIconBadgeNumber(), 5);
    EXPECT_EQ(pendingIDs(), (std::vector<std::string>{"hourly", "soon"}));

    // A removed request never fires; a repeating one stays pending and fires every interval.
    center().removePendingNotificationRequests({"soon"});
    host.advance(50);
    ASSERT_TRUE(host.runUntil([&] { return shownIDs().size() == 3; }));
    host.advance(60);
    ASSERT_TRUE(host.runUntil([&] { return shownIDs().size() == 4; }));
    EXPECT_EQ(shownIDs(), (std::vector<std::string>{"now", "later", "hourly", "hourly"}));
    EXPECT_EQ(pendingIDs(), std::vector<std::string>{"hourly"});
    // Delivered once per identifier, oldest first.
    EXPECT_EQ(deliveredIDs(), (std::vector<std::string>{"now", "later", "hourly"}));
    center().removeAllPendingNotificationRequests();
    host.advance(120);
    host.runUntilIdle();
    EXPECT_EQ(shownIDs().size(), 4u);

    // Removing delivered notifications takes them off the screen.
    center().removeDeliveredNotifications({"later", "unknown"});
    EXPECT_EQ(deliveredIDs(), (std::vector<std::string>{"now", "hourly"}));
    center().removeAllDeliveredNotifications();
    EXPECT_TRUE(deliveredIDs().empty());
    EXPECT_EQ(center().recordingPresenter()->withdrawn(), (std::vector<std::string>{"later", "now", "hourly"}));

    // The pending list is bounded; a replacement still fits when it is full.
    const std::size_t before = 9;
    ASSERT_TRUE(answered(before));
    for (std::size_t i = 0; i <= UserNotificationCenter::kMaxPendingRequests; ++i)
        add("r" + std::to_string(i), request("r" + std::to_string(i), NotificationTrigger{100, false}));
    ASSERT_TRUE(answered(before + UserNotificationCenter::kMaxPendingRequests + 1));
    add("r0 again", request("r0", NotificationTrigger{200, false}));
    ASSERT_TRUE(answered(before + UserNotificationCenter::kMaxPendingRequests + 2));
    EXPECT_EQ(code("r" + std::to_string(UserNotificationCenter::kMaxPendingRequests)), kNotificationTooMany);
    EXPECT_EQ(code("r0 again"), 0);
    EXPECT_EQ(center().pendingNotificationRequests().size(), UserNotificationCenter::kMaxPendingRequests);
}

TEST(UserNotificationPresentation, WillPresentIsAskedOnlyInFrontAndItsAnswerApplies) {
    TestHost host;
    allow(host);
    auto delegate = std::make_shared<Delegate>();
    delegate->answer = kPresentationOptionBanner | kPresentationOptionSound;
    center().setDelegate(delegate);
    auto recording = center().recordingPresenter();

    // In the background the delegate is not asked; the notification is shown fully.
    auto back = center().receive(content("back", Value(3), "chime"), ApplicationState::Background);
    ASSERT_TRUE(back);
    EXPECT_TRUE(delegate->asked.empty());
    EXPECT_FALSE(center().presentationAnswer(back->request()->identifier()));
    ASSERT_EQ(recording->shown().size(), 1u);
    EXPECT_EQ(recording->shown()[0].options, kPresentationOptionsAll & ~kPresentationOptionAlert);

    // In front the delegate decides: a banner with sound, no badge.
    Application::shared().setApplicationIconBadgeNumber(0);
    auto front = center().receive(content("front", Value(9), "chime"));
    ASSERT_TRUE(front);
    EXPECT_EQ(delegate->asked, std::vector<std::string>{front->request()->identifier()});
    EXPECT_EQ(center().presentationAnswer(front->request()->identifier()),
              kPresentationOptionBanner | kPresentationOptionSound);
    ASSERT_EQ(recording->shown().size(), 2u);
    EXPECT_EQ(recording->shown()[1].options, kPresentationOptionBanner | kPresentationOptionSound);
    EXPECT_EQ(Application::shared().applicationIconBadgeNumber(), 0);

    // "Alert" is banner and list; sound is dropped for silent content.
    delegate->answer = kPresentationOptionAlert | kPresentationOptionSound | kPresentationOptionBadge;
    auto alert = center().receive(content("alert", Value(4)), ApplicationState::Active);
    ASSERT_EQ(recording->shown().size(), 3u);
    EXPECT_EQ(recording->shown()[2].options, kPresentationOptionBanner | kPresentationOptionList | kPresentationOptionBadge);
    EXPECT_EQ(Application::shared().applicationIconBadgeNumber(), 4);

    // Nothing asked for: not shown and not delivered.
    delegate->answer = 0;
    auto hidden = center().receive(content("hidden"), ApplicationState::Active);
    EXPECT_EQ(center().presentationAnswer(hidden->request()->identifier()), 0u);
    EXPECT_EQ(recording->shown().size(), 3u);
    EXPECT_EQ(deliveredIDs(), (std::vector<std::string>{back->request()->identifier(), front->request()->identifier(),
                                                        alert->request()->identifier()}));

    // A delegate that answers later, from another thread: shown then.
    delegate->answer.reset();
    auto late = center().receive(content("late"), ApplicationState::Active);
    EXPECT_EQ(recording->shown().size(), 3u);
    ASSERT_EQ(delegate->keptPresent.size(), 1u);
    std::thread([&] { delegate->keptPresent[0](kPresentationOptionList); }).join();
    ASSERT_EQ(recording->shown().size(), 4u);
    EXPECT_EQ(recording->shown()[3].notification, late);

    // Without a delegate nothing is shown in front; a scheduled request asks the delegate too.
    center().setDelegate({});
    center().receive(content("nobody"), ApplicationState::Active);
    EXPECT_EQ(recording->shown().size(), 4u);
    center().setDelegate(delegate);
    delegate->answer = kPresentationOptionBanner;
    center().addNotificationRequest(request("timed", NotificationTrigger{1, false}));
    host.advance(1);
    ASSERT_TRUE(host.runUntil([&] { return recording->shown().size() == 5; }));
    EXPECT_EQ(center().presentationAnswer("timed"), kPresentationOptionBanner);
}

TEST(UserNotificationResponses, DidReceiveGetsOneCompletionThatMayBeCalledOnceOrNever) {
    TestHost host;
    allow(host);
    auto delegate = std::make_shared<Delegate>();
    center().setDelegate(delegate);
    center().setNotificationCategories(
        {NotificationCategory::categoryWithIdentifier(
             "order", {NotificationAction::actionWithIdentifier("track", "Track", kActionOptionForeground),
                       NotificationAction::actionWithIdentifier("later", "Later")}),
         NotificationCategory::categoryWithIdentifier("chat", {}, {}, kCategoryOptionCustomDismissAction)});
    NotificationContent order = content("order");
    order.categoryIdentifier = "order";
    NotificationContent chat = content("chat");
    chat.categoryIdentifier = "chat";
    Application& app = Application::shared();

    // A tap brings the app to the front, tells the delegate and takes the notification away.
    app.setApplicationState(ApplicationState::Background);
    auto n = center().receive(order);
    auto response = center().respond(n, kNotificationDefaultActionIdentifier);
    ASSERT_TRUE(response);
    EXPECT_EQ(response->notification(), n);
    EXPECT_EQ(app.applicationState(), ApplicationState::Active);
    EXPECT_EQ(delegate->responses, std::vector<std::string>{kNotificationDefaultActionIdentifier});
    EXPECT_TRUE(deliveredIDs().empty());
    EXPECT_EQ(center().recordingPresenter()->withdrawn(), std::vector<std::string>{n->request()->identifier()});

    // Called twice, from two threads at once: it counts once, the other call is ignored.
    ASSERT_EQ(delegate->keptReceive.size(), 1u);
    auto handler = delegate->keptReceive[0];
    std::thread a(handler), b(handler);
    a.join();
    b.join();
    handler();
    EXPECT_EQ(center().completedHandlerCount(), 1);
    EXPECT_EQ(host.logCount("was called again"), 2u);

    // Actions: only the category's; a background action leaves the app where it is.
    app.setApplicationState(ApplicationState::Background);
    EXPECT_FALSE(center().respond(center().receive(order), "unknown"));
    EXPECT_TRUE(host.logContains("has no action \"unknown\""));
    EXPECT_TRUE(center().respond(center().receive(order), "later"));
    EXPECT_EQ(app.applicationState(), ApplicationState::Background);
    EXPECT_TRUE(center().respond(center().receive(order), "track"));
    EXPECT_EQ(app.applicationState(), ApplicationState::Active);

    // Dismissals reach the delegate only when the category asks for them.
    app.setApplicationState(ApplicationState::Background);
    EXPECT_TRUE(center().respond(center().receive(order), kNotificationDismissActionIdentifier));
    EXPECT_TRUE(center().respond(center().receive(chat), kNotificationDismissActionIdentifier));
    EXPECT_EQ(delegate->responses, (std::vector<std::string>{kNotificationDefaultActionIdentifier, "later", "track",
                                                              kNotificationDismissActionIdentifier}));
    EXPECT_EQ(app.applicationState(), ApplicationState::Background);

    // Never called: a handler kept too long and one dropped are both logged, nothing waits.
    delegate->keptReceive.clear();  // the three handlers above are dropped uncalled
    EXPECT_EQ(center().abandonedHandlerCount(), 3);
    center().respond(center().receive(chat), kNotificationDefaultActionIdentifier);
    ASSERT_EQ(delegate->keptReceive.size(), 1u);
    host.advance(UserNotificationCenter::kCompletionWarningSeconds);
    ASSERT_TRUE(host.runUntil([&] { return center().abandonedHandlerCount() == 4; }));
    EXPECT_TRUE(host.logContains("the delegate kept the completion handler"));
    delegate->keptReceive[0]();  // too late: ignored, not counted
    EXPECT_EQ(center().completedHandlerCount(), 1);
    delegate->dropDidReceive = true;
    center().respond(center().receive(chat), kNotificationDefaultActionIdentifier);
    EXPECT_EQ(center().abandonedHandlerCount(), 5);
    EXPECT_TRUE(host.logContains("the delegate dropped the completion handler"));
    EXPECT_FALSE(center().respond(nullptr, kNotificationDefaultActionIdentifier));
}

TEST(UserNotificationAttachments, TheFileMustBeTheMediaItsNameSays) {
    TestHost host;
    testkit::media::TemporaryFolder folder;
    const std::string png = folder.write("photo.png", testkit::media::encodePNG(testkit::media::Picture(8, 6, 0xff2080c0)));
    const std::string wav = folder.write("chime.WAV", testkit::media::encodeWAV(0.25));
    std::string film = folder.file("clip.mp4");
    if (!testkit::media::writeFilm(film, "mp4", "mpeg4", 6, 10, 32, 24)) {
        film = folder.file("clip.avi");
        ASSERT_TRUE(testkit::media::writeFilm(film, "avi", "mjpeg", 6, 10, 32, 24));
    }
    const std::string fakePNG = folder.write("fake.png", "this is only text, not a picture");
    const std::string soundAsPNG = folder.write("sound.png", testkit::media::encodeWAV(0.25));
    const std::string unknownEnding = folder.write("notes.txt", testkit::media::encodePNG(testkit::media::Picture(2, 2, 0)));
    const std::string empty = folder.write("empty.jpg", "");

    Error error;
    // Without a probe nothing can be checked, so nothing is attached.
    EXPECT_FALSE(NotificationAttachment::attachmentWithIdentifier("a", png, {}, error));
    EXPECT_NE(error.localizedDescription.find("no media probe is configured"), std::string::npos);
    EXPECT_EQ(error.domain, kUserNotificationsErrorDomain);

    MediaProbe::setCurrent(media::mediaProbe());
    auto image = NotificationAttachment::attachmentWithIdentifier("img", png, {}, error);
    ASSERT_TRUE(image) << error.localizedDescription;
    EXPECT_EQ(image->type(), AttachmentType::Image);
    EXPECT_EQ(image->identifier(), "img");
    EXPECT_EQ(image->path(), png);
    auto sound = NotificationAttachment::attachmentWithIdentifier("", "file://" + wav, {}, error);
    ASSERT_TRUE(sound) << error.localizedDescription;
    EXPECT_EQ(sound->type(), AttachmentType::Audio);
    EXPECT_EQ(sound->path(), wav);
    EXPECT_FALSE(sound->identifier().empty());  // one is made up
    auto video = NotificationAttachment::attachmentWithIdentifier("v", film, {}, error);
    ASSERT_TRUE(video) << error.localizedDescription;
    EXPECT_EQ(video->type(), AttachmentType::Video);

    struct Refused {
        std::string path;
        long code;
    };
    for (const Refused& bad : {Refused{fakePNG, kAttachmentCorrupt}, Refused{soundAsPNG, kAttachmentUnrecognizedType},
                               Refused{folder.file("missing.png"), kAttachmentInvalidURL},
                               Refused{unknownEnding, kAttachmentUnrecognizedType},
                               Refused{empty, kAttachmentInvalidFileSize}, Refused{folder.path(), kAttachmentInvalidURL},
                               Refused{"https://example.com/a.png", kAttachmentInvalidURL}}) {
        error = {};
        EXPECT_FALSE(NotificationAttachment::attachmentWithIdentifier("x", bad.path, {}, error)) << bad.path;
        EXPECT_EQ(error.code, bad.code) << bad.path << ": " << error.localizedDescription;
        EXPECT_FALSE(error.localizedDescription.empty());
    }

    // Content carries its attachments through copies; a request keeps its own copy.
    auto best = std::make_shared<MutableNotificationContent>();
    best->title = "sale";
    auto shown = best->mutableCopy();
    shown->attachments = {image};
    EXPECT_TRUE(best->attachments.empty());
    auto r = UserNotificationRequest::requestWithIdentifier("r", *shown);
    shown->title = "changed";
    EXPECT_EQ(r->content()->title, "sale");
    ASSERT_EQ(r->content()->attachments.size(), 1u);
    EXPECT_EQ(r->content()->attachments[0], image);
}

TEST(UserNotificationThreads, AddingListingAndReceivingFromManyThreads) {
    TestHost host;
    allow(host);
    Application::shared().setApplicationState(ApplicationState::Background);
    auto delegate = std::make_shared<Delegate>();
    center().setDelegate(delegate);
    constexpr int kAdders = 4, kPerAdder = 200, kIdentifiers = 16;
    std::atomic<bool> stop{false};
    std::atomic<int> listed{0};
    Inbox<std::optional<Error>> errors;

    std::vector<std::thread> threads;
    for (int t = 0; t < kAdders; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kPerAdder; ++i) {
                const std::string id = "t" + std::to_string(t) + "-" + std::to_string(i % kIdentifiers);
                center().addNotificationRequest(request(id, NotificationTrigger{30.0 + i, false}),
                                                [&](std::optional<Error> e) { errors.put(e); });
            }
        });
    }
    std::thread lister([&] {
        while (!stop) {
            for (const auto& r : center().pendingNotificationRequests()) EXPECT_FALSE(r->identifier().empty());
            center().deliveredNotifications();
            ++listed;
        }
    });
    std::thread receiver([&] {
        for (int i = 0; i < 50; ++i) center().receive(content("push " + std::to_string(i)));
    });
    for (auto& thread : threads) thread.join();
    receiver.join();
    stop = true;
    lister.join();

    ASSERT_TRUE(host.runUntil([&] { return errors.size() == kAdders * kPerAdder; }));
    for (const auto& e : errors.items()) EXPECT_FALSE(e);
    EXPECT_GT(listed.load(), 0);
    EXPECT_EQ(center().pendingNotificationRequests().size(), static_cast<std::size_t>(kAdders * kIdentifiers));
    EXPECT_EQ(center().deliveredNotifications().size(), 50u);
    EXPECT_EQ(center().recordingPresenter()->shown().size(), 50u);

    // Each identifier fires once, on its last trigger (30 + 199 - 15 .. 30 + 199 seconds).
    host.advance(30 + kPerAdder);
    ASSERT_TRUE(host.runUntil([&] { return center().recordingPresenter()->shown().size() == 50u + kAdders * kIdentifiers; }));
    EXPECT_TRUE(center().pendingNotificationRequests().empty());
    EXPECT_EQ(center().deliveredNotifications().size(), UserNotificationCenter::kMaxDeliveredNotifications);
}

#ifdef QM_HAVE_DESKTOP_NOTIFICATIONS
TEST(UserNotificationDesktop, WithoutASessionBusTheRecordingPresenterStays) {
    TestHost host;
    ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
    EXPECT_EQ(platform::notify::desktopPresenter("test"), nullptr);
    EXPECT_TRUE(host.logContains("no session bus"));
    EXPECT_EQ(center().presenter(), center().recordingPresenter());
}
#endif
