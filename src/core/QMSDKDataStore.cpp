#include "core/QMSDKDataStore.hpp"

#include "core/QMLogger.hpp"
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
}  // namespace

// Listing the folders is file work: it runs on a global queue, off the caller's thread.
QMSDKDataStore::QMSDKDataStore() {
    platform::Queue::global().async([] { platform::Sandbox::removeAbandonedTemporaryFiles(); });
}

std::shared_ptr<QMSDKDataStore> QMSDKDataStore::sharedInstance() {
    static auto* instance = new std::shared_ptr<QMSDKDataStore>(std::make_shared<QMSDKDataStore>());
    return *instance;
}

std::string QMSDKDataStore::qm_notifications_bID_FilePath() const {
    return documentsPath(format("qm_notifications_%d.plist", brandIDFromInfo()));
}
std::string QMSDKDataStore::qm_notification_StatisticsFilePath() const { return documentsPath("qm_Staticstics.plist"); }
std::string QMSDKDataStore::qm_push_notifications_FilePath() const { return documentsPath("qm_push_notifications.plist"); }
std::string QMSDKDataStore::qm_notification_GeofencingFilePath() const { return documentsPath("qm_Geofencing.plist"); }
std::string QMSDKDataStore::qm_BotData_FilePath() const {
    return documentsPath(format("qm_BotSettingsData_%d.plist", brandIDFromInfo()));
}

void QMSDKDataStore::writeArchive(const std::string& path, const Value& object, const char* logLine) {
    if (auto bytes = platform::keyed_archive::archive(object)) {
        Files::writeFileAtomically(path, *bytes);
        qmResetBackupAttributesToFilePath(Value(path));
    }
    QMLog(QMLogLevelInfo, logLine);
}

void QMSDKDataStore::clearFile(const std::string& path, const char* logLine) {
    Files::writeFileAtomically(path, "");
    QMLog(QMLogLevelInfo, logLine);
}

Value QMSDKDataStore::readArchive(const std::string& path, bool emptyIsNothing) const {
    auto bytes = Files::readFile(path);
    if (!bytes) return Value();
    if (bytes->empty() && emptyIsNothing) return Value();
    auto value = platform::keyed_archive::unarchive(*bytes);
    return value ? *value : Value();
}

void QMSDKDataStore::write_qm_notifications_bID_Data(const Value& data) {
    writeArchive(qm_notifications_bID_FilePath(), data, "Inside, write brand settings data finished.");
}
Value QMSDKDataStore::read_qm_notifications_bID_Data() const { return readArchive(qm_notifications_bID_FilePath(), false); }
void QMSDKDataStore::clear_qm_notifications_bID_Data() {
    clearFile(qm_notifications_bID_FilePath(), "Inside, clear brand settings data finished.");
}

void QMSDKDataStore::write_qm_Statistics(const Value& data) {
    writeArchive(qm_notification_StatisticsFilePath(), data, "Inside, write InApp banner/survey statistics finished.");
}
Value QMSDKDataStore::read_qm_Statistics() const { return readArchive(qm_notification_StatisticsFilePath(), false); }
void QMSDKDataStore::clear_qm_notification_StatisticsData() {
    clearFile(qm_notification_StatisticsFilePath(), "Inside, clear InApp banner/survey statistics finished.");
}

void QMSDKDataStore::write_qm_push_notifications_Data(const Value& list) {
    Value plain = list.isArray() ? list : Value::array();
    if (plain.count() > 0) {
        writeArchive(qm_push_notifications_FilePath(), plain, "Inside, write notification center data finished.");
    } else {
        QMLog(QMLogLevelInfo, "Inside, write notification center data finished.");
    }
}
Value QMSDKDataStore::read_qm_push_notifications_Data() const { return readArchive(qm_push_notifications_FilePath(), true); }
void QMSDKDataStore::clear_qm_push_notifications_Data() {
    clearFile(qm_push_notifications_FilePath(), "Inside, clear notification center data finished.");
}

void QMSDKDataStore::write_qm_Geofencing(const Value& list) {
    writeArchive(qm_notification_GeofencingFilePath(), list, "Inside, write geofence notifications data finished.");
}
Value QMSDKDataStore::read_qm_GeoData() const { return readArchive(qm_notification_GeofencingFilePath(), true); }
void QMSDKDataStore::clear_qm_notification_GeofencingData() {
    clearFile(qm_notification_GeofencingFilePath(), "Inside, clear geofence notifications data finished.");
}

void QMSDKDataStore::write_qm_BotData(const Value& data) {
    writeArchive(qm_BotData_FilePath(), data, "Inside, write bot settings data finished.");
}
Value QMSDKDataStore::read_qm_BotData() const { return readArchive(qm_BotData_FilePath(), false); }
void QMSDKDataStore::clear_qm_BotData() { clearFile(qm_BotData_FilePath(), "Inside, clear bot settings data finished."); }

std::string QMSDKDataStore::cachesDirectoryName() const {
    static const std::string* dir = new std::string(platform::Sandbox::cachesDirectory());
    return *dir;
}
std::string QMSDKDataStore::pathForName(const std::string& name) const { return cachesDirectoryName() + "/" + name; }

void QMSDKDataStore::saveToCacheDirectory(const Bytes& data, const std::string& name) {
    Files::writeFileAtomically(pathForName(name), std::string_view(reinterpret_cast<const char*>(data.data()), data.size()));
}

std::optional<Bytes> QMSDKDataStore::cachedDataWithName(const std::string& name) const {
    auto bytes = Files::readFile(pathForName(name));
    if (!bytes) return std::nullopt;
    return Bytes(bytes->begin(), bytes->end());
}

void QMSDKDataStore::clearCachedData() {
    const std::string dir = cachesDirectoryName();
    for (const auto& entry : Files::contentsOfDirectory(dir)) {
        if (platform::Text::hasPrefixIgnoringCaseAndDiacritics(entry, "qm_nc_")) Files::removeItem(dir + "/" + entry);
    }
}

void QMSDKDataStore::clearCachedDataForFileName(const std::string& name) {
    const std::string path = pathForName(name);
    if (Files::fileExists(path)) Files::removeItem(path);
}

bool QMSDKDataStore::qmAddSkipBackupAttributeToItemAtPath(const std::string& path) {
    if (!Files::fileExists(path)) return false;
    return Files::setExcludedFromBackup(path, true);
}

void QMSDKDataStore::qmResetBackupAttributesToFilePath(const Value& path) {
    if (!isValidString(path)) return;
    const std::string text = path.description();
    const std::string name = lastPathComponent(text);
    for (const auto& entry : Files::contentsOfDirectory(platform::Sandbox::documentsDirectory())) {
        if (entry == name) Files::setExcludedFromBackup(text, true);
    }
}

}  // namespace qm
