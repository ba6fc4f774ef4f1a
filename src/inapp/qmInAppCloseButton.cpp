#include "inapp/qmInAppCloseButton.hpp"

#include <algorithm>
#include <fstream>
#include <sstream>

#include "core/QMLogger.hpp"
#include "core/QMRuntime.hpp"
#include "core/QMSDKDataStore.hpp"
#include "core/QMSDKNetworkManager.hpp"
#include "inapp/qmInAppPopupView.hpp"
#include "qmplatform/bundle.hpp"
#include "qmplatform/dispatch.hpp"
#include "qmplatform/image.hpp"
#include "qmplatform/plist.hpp"
#include "qmplatform/url.hpp"
#include "qmplatform/url_session.hpp"
#include "qmui/view.hpp"

namespace qm::inapp {

void qmCheckCrossBtnInPopups(const Value& closeButton, const Value& notificationID) {
    const long long rule = closeButton.integerValue();
    Value record = rule == 0      ? Value{{"qmShowCloseBtn", false}}
                 : rule == 5000   ? Value{{"qmShowCloseBtn", true}, {"qmShowCloseBtntimeDelay", 0}}
                                  : Value{{"qmShowCloseBtn", true}, {"qmShowCloseBtntimeDelay", rule}};
    QMRuntime::shared().updateContainer("qmInAppCloseBtnConditions", [&](Value& conditions) {
        if (!conditions.isDictionary()) conditions = Value::dictionary();
        conditions.set(notificationID.description(), std::move(record));
    });
}

void qmAddCloseButtonInPopupstoParentView(const std::shared_ptr<platform::View>& parent,
                                          const std::shared_ptr<platform::View>& button, const Value& notificationID) {
    if (!parent || !button) return;
    const Value record = QMRuntime::shared().container("qmInAppCloseBtnConditions")[notificationID.description()];
    if (record.isDictionary() && record.contains("qmShowCloseBtn") && !record["qmShowCloseBtn"].boolValue()) return;
    // A negative delay counts as none.
    const double delay = std::max(0.0, record["qmShowCloseBtntimeDelay"].doubleValue());
    std::weak_ptr<platform::View> weakParent = parent;
    platform::Queue::main().asyncAfter(delay, [weakParent, button] {
        if (auto p = weakParent.lock()) p->addSubview(button);
    });
}

namespace {

constexpr const char* kCachedCloseImage = "qmCloseButtonData";

void useCloseImage(std::shared_ptr<platform::Image> image) {
    if (!image) return;
    platform::Queue::main().async([image = std::move(image)] { qmSetCloseButtonImage(image); });
}

// "qmStrings" / "qmCloseButtonImageResource" of the app's appearance file, if any.
std::string configuredCloseImage() {
    const auto path = platform::Bundle::main().pathForResource("qmResourceValues", "plist");
    if (!path) return {};
    std::ifstream in(*path, std::ios::binary);
    std::stringstream bytes;
    bytes << in.rdbuf();
    const auto values = platform::plist::read(bytes.str());
    if (!values || !values->isDictionary()) return {};
    const Value& name = (*values)["qmStrings"]["qmCloseButtonImageResource"];
    return name.isString() ? name.string() : std::string();
}

// Downloads the picture; one that decodes replaces the cached copy and is used.
void downloadCloseImage(const std::string& url) {
    platform::URLRequest request;
    request.url = url;
    auto task = platform::URLSession::sharedSession()->dataTaskWithRequest(
        std::move(request), [url](const std::optional<std::string>& data,
                                  const std::optional<platform::HTTPURLResponse>& response,
                                  const std::optional<platform::URLError>& error) {
            const bool ok = !error && data && (!response || (response->statusCode >= 200 && response->statusCode < 300));
            auto image = ok ? platform::Image::withData(*data) : nullptr;
            if (!image) {
                QMLog(QMLogLevelDebug, "The close button picture at %@ could not be used", Value(url));
                return;
            }
            QMRuntime::shared().qmStoreData()->saveToCacheDirectory(Bytes(data->begin(), data->end()), kCachedCloseImage);
            useCloseImage(std::move(image));
        });
    task->resume();
}

}  // namespace

void qmLoadCloseButtonImage() {
    platform::Queue::global().async([] {
        // The copy of an earlier launch shows until a download replaces it.
        if (auto cached = QMRuntime::shared().qmStoreData()->cachedDataWithName(kCachedCloseImage)) {
            useCloseImage(platform::Image::withData(std::string_view(reinterpret_cast<const char*>(cached->data()), cached->size())));
        }
        const std::string name = configuredCloseImage();
        const bool remote = name.starts_with("http://") || name.starts_with("https://");
        if (!name.empty() && !remote) {
            const auto& bundle = platform::Bundle::main();
            auto path = bundle.pathForResource(name, "png");
            if (!path) path = bundle.pathForResource(name, "");
            if (auto image = path ? platform::Image::withContentsOfFile(*path) : nullptr) {
                useCloseImage(std::move(image));
                return;
            }
        }
        if (remote) {
            const auto url = platform::URL::parse(name);
            const std::string last = url ? url->lastPathComponent() : std::string();
            const auto dot = last.rfind('.');
            std::string extension = dot == std::string::npos ? std::string() : last.substr(dot + 1);
            std::transform(extension.begin(), extension.end(), extension.begin(), [](unsigned char c) { return std::tolower(c); });
            if (extension == "png" || extension == "jpg") {
                downloadCloseImage(name);
                return;
            }
        }
        auto& network = QMSDKNetworkManager::sharedInstance();
        downloadCloseImage("https://" + network.qmMobileApiSubdomain() + "." + network.serviceDomain() + "/assets/close.png");
    });
}

}  // namespace qm::inapp
