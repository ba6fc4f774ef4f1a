#include "core/QMSDKDataStore.hpp"

#include <optional>
#include <utility>

#include "core/QMLogger.hpp"
#include "core/QMRuntime.hpp"
#include "qmplatform/bundle.hpp"
#include "qmplatform/dispatch.hpp"
#include "qmplatform/plist.hpp"
#include "qmplatform/sandbox.hpp"
#include "qmplatform/text.hpp"

namespace qm {
namespace {
using platform::Files;

std::string documentsPath(const std::string& name) { return platform::Sandbox::documentsDirectory() + "/" + name; }

// The brand id in file names is read from the Info.plist at every access.
long long brandIDFromInfo() { return platform::Bundle::main().objectForInfoDictionaryKey("qmBrandID").integerValue(); }

std::string lastPathComponent(const std::string& path) {
    auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The file work itself. These run on the file queue only, and take nothing from a store
// object: a store replaced by the next start-up may be gone before its queued work runs.

void resetBackupAttributes(const std::string& path) {
    const std::string name = lastPathComponent(path);
    for (const auto& entry : Files::contentsOfDirectory(platform::Sandbox::documentsDirectory())) {
        if (entry == name) Files::setExcludedFromBackup(path, true);
    }
}

void writeArchive(const std::string& path, const Value& object, const char* logLine) {
    if (auto bytes = platform::keyed_archive::archive(object)) {
        Files::writeFileAtomically(path, *bytes);
        resetBackupAttributes(path);
    }
    QMLog(QMLogLevelInfo, logLine);
}

void clearFile(const std::string& path, const char* logLine) {
    Files::writeFileAtomically(path, "");
    QMLog(QMLogLevelInfo, logLine);
}

Value readArchive(const std::string& path, bool emptyIsNothing) {
    auto bytes = Files::readFile(path);
    if (!bytes) return Value();
    if (bytes->empty() && emptyIsNothing) return Value();
    auto value = platform::keyed_archive::unarchive(*bytes);
    return value ? *value : Value();
}

void onFileQueue(platform::Block work) { QMSDKDataStore::fileQueue().async(std::move(work)); }

// Runs `work` on the file queue and waits for its result. A block of the file queue runs it
// directly: waiting on the queue from one of its own blocks would wait for itself.
template <typename Work>
auto onFileQueueAndWait(Work&& work) -> decltype(work()) {
    const auto& queue = QMSDKDataStore::fileQueue();
    if (queue.isCurrent()) return work();
    std::optional<decltype(work())> result;
    queue.sync([&] { result.emplace(work()); });
    return std::move(*result);
}
}  // namespace

const platform::Queue& QMSDKDataStore::fileQueue() {
    static const auto* queue = new platform::Queue(platform::Queue::serial("qm.datastore.files"));
    return *queue;
}

bool QMSDKDataStore::qmFinishPendingFileWork(double realTimeoutSeconds) {
    if (fileQueue().isCurrent()) return true;
    platform::Semaphore drained;
    fileQueue().async([drained]() mutable { drained.signal(); });
    return drained.wait(realTimeoutSeconds);
}

// Listing the folders is file work: it runs on the file queue, off the caller's thread, and
// ahead of the writes asked for after it.
void QMSDKDataStore::qmRemoveAbandonedFiles() {
    onFileQueue([] { platform::Sandbox::removeAbandonedTemporaryFiles(); });
}

std::shared_ptr<QMSDKDataStore> QMSDKDataStore::sharedInstance() { return QMRuntime::shared().qmStoreData(); }

std::string QMSDKDataStore::qm_notifications_bID_FilePath() const {
    return documentsPath(format("qm_notifications_%d.plist", brandIDFromInfo()));
}
std::string QMSDKDataStore::qm_notification_StatisticsFilePath() const { return documentsPath("qm_Staticstics.plist"); }
std::string QMSDKDataStore::qm_push_notifications_FilePath() const { return documentsPath("qm_push_notifications.plist"); }
std::string QMSDKDataStore::qm_notification_GeofencingFilePath() const { return documentsPath("qm_Geofencing.plist"); }
std::string QMSDKDataStore::qm_BotData_FilePath() const {
    return documentsPath(format("qm_BotSettingsData_%d.plist", brandIDFromInfo()));
}

// Paths are taken when the operation is asked for; the work runs on the file queue.
namespace {
void queueWrite(std::string path, Value object, const char* logLine) {
    onFileQueue([path = std::move(path), object = std::move(object), logLine] { writeArchive(path, object, logLine); });
}
void queueClear(std::string path, const char* logLine) {
    onFileQueue([path = std::move(path), logLine] { clearFile(path, logLine); });
}
Value readWaiting(std::string path, bool emptyIsNothing) {
    return onFileQueueAndWait([&] { return readArchive(path, emptyIsNothing); });
}
}  // namespace

void QMSDKDataStore::write_qm_notifications_bID_Data(const Value& data) {
    queueWrite(qm_notifications_bID_FilePath(), data, "Inside, write brand settings data finished.");
}
Value QMSDKDataStore::read_qm_notifications_bID_Data() const { return readWaiting(qm_notifications_bID_FilePath(), false); }
void QMSDKDataStore::clear_qm_notifications_bID_Data() {
    queueClear(qm_notifications_bID_FilePath(), "Inside, clear brand settings data finished.");
}

void QMSDKDataStore::write_qm_Statistics(const Value& data) {
    queueWrite(qm_notification_StatisticsFilePath(), data, "Inside, write InApp banner/survey statistics finished.");
}
Value QMSDKDataStore::read_qm_Statistics() const { return readWaiting(qm_notification_StatisticsFilePath(), false); }
void QMSDKDataStore::clear_qm_notification_StatisticsData() {
    queueClear(qm_notification_StatisticsFilePath(), "Inside, clear InApp banner/survey statistics finished.");
}

void QMSDKDataStore::write_qm_push_notifications_Data(const Value& list) {
    Value plain = list.isArray() ? list : Value::array();
    if (plain.count() > 0) {
        queueWrite(qm_push_notifications_FilePath(), std::move(plain), "Inside, write notification center data finished.");
    } else {
        // Nothing to write; logged in turn with the file work around it.
        onFileQueue([] { QMLog(QMLogLevelInfo, "Inside, write notification center data finished."); });
    }
}
Value QMSDKDataStore::read_qm_push_notifications_Data() const { return readWaiting(qm_push_notifications_FilePath(), true); }
void QMSDKDataStore::clear_qm_push_notifications_Data() {
    queueClear(qm_push_notifications_FilePath(), "Inside, clear notification center data finished.");
}

void QMSDKDataStore::write_qm_Geofencing(const Value& list) {
    queueWrite(qm_notification_GeofencingFilePath(), list, "Inside, write geofence notifications data finished.");
}
Value QMSDKDataStore::read_qm_GeoData() const { return readWaiting(qm_notification_GeofencingFilePath(), true); }
void QMSDKDataStore::clear_qm_notification_GeofencingData() {
    queueClear(qm_notification_GeofencingFilePath(), "Inside, clear geofence notifications data finished.");
}

void QMSDKDataStore::write_qm_BotData(const Value& data) {
    queueWrite(qm_BotData_FilePath(), data, "Inside, write bot settings data finished.");
}
Value QMSDKDataStore::read_qm_BotData() const { return readWaiting(qm_BotData_FilePath(), false); }
void QMSDKDataStore::clear_qm_BotData() { queueClear(qm_BotData_FilePath(), "Inside, clear bot settings data finished."); }

std::string QMSDKDataStore::cachesDirectoryName() const {
    static const std::string* dir = new std::string(platform::Sandbox::cachesDirectory());
    return *dir;
}
std::string QMSDKDataStore::pathForName(const std::string& name) const { return cachesDirectoryName() + "/" + name; }

void QMSDKDataStore::saveToCacheDirectory(const Bytes& data, const std::string& name) {
    onFileQueue([path = pathForName(name), data] {
        Files::writeFileAtomically(path, std::string_view(reinterpret_cast<const char*>(data.data()), data.size()));
    });
}

std::optional<Bytes> QMSDKDataStore::cachedDataWithName(const std::string& name) const {
    return onFileQueueAndWait([path = pathForName(name)]() -> std::optional<Bytes> {
        auto bytes = Files::readFile(path);
        if (!bytes) return std::nullopt;
        return Bytes(bytes->begin(), bytes->end());
    });
}

void QMSDKDataStore::clearCachedData() {
    onFileQueue([dir = cachesDirectoryName()] {
        for (const auto& entry : Files::contentsOfDirectory(dir)) {
            if (platform::Text::hasPrefixIgnoringCaseAndDiacritics(entry, "qm_nc_")) Files::removeItem(dir + "/" + entry);
        }
    });
}

void QMSDKDataStore::clearCachedDataForFileName(const std::string& name) {
    onFileQueue([path = pathForName(name)] {
        if (Files::fileExists(path)) Files::removeItem(path);
    });
}

bool QMSDKDataStore::qmAddSkipBackupAttributeToItemAtPath(const std::string& path) {
    return onFileQueueAndWait([&] { return Files::fileExists(path) && Files::setExcludedFromBackup(path, true); });
}

void QMSDKDataStore::qmResetBackupAttributesToFilePath(const Value& path) {
    if (!isValidString(path)) return;
    onFileQueue([text = path.description()] { resetBackupAttributes(text); });
}

}  // namespace qm
