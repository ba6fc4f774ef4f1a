// The library's property-list files in Documents (campaigns, statistics, push and inbox
// notifications, geofences, bot settings) and its media cache in Library/Caches.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "core/Guarded.hpp"
#include "quelmar/value.hpp"

namespace qm {

class QMSDKDataStore {
public:
    static std::shared_ptr<QMSDKDataStore> sharedInstance();
    // Start-up of a store: removes, on a global queue, the temporary files that writes cut
    // short (the process killed midway) left in Documents and the caches folder.
    QMSDKDataStore();

    // Carried between the steps of attaching a push's rich media.
    Guarded<Value> qmNID;
    Guarded<Value> qmRichMediaData;

    std::string qm_notifications_bID_FilePath() const;
    std::string qm_notification_StatisticsFilePath() const;
    std::string qm_push_notifications_FilePath() const;
    std::string qm_notification_GeofencingFilePath() const;
    std::string qm_BotData_FilePath() const;

    void write_qm_notifications_bID_Data(const Value& data);
    Value read_qm_notifications_bID_Data() const;
    void clear_qm_notifications_bID_Data();

    void write_qm_Statistics(const Value& data);
    Value read_qm_Statistics() const;
    void clear_qm_notification_StatisticsData();

    // An empty list leaves the file as it was.
    void write_qm_push_notifications_Data(const Value& list);
    Value read_qm_push_notifications_Data() const;
    void clear_qm_push_notifications_Data();

    void write_qm_Geofencing(const Value& list);
    Value read_qm_GeoData() const;
    void clear_qm_notification_GeofencingData();

    void write_qm_BotData(const Value& data);
    Value read_qm_BotData() const;
    void clear_qm_BotData();

    // Media cache.
    std::string cachesDirectoryName() const;
    std::string pathForName(const std::string& name) const;
    void saveToCacheDirectory(const Bytes& data, const std::string& name);
    std::optional<Bytes> cachedDataWithName(const std::string& name) const;
    // Removes every cached item whose name starts with "qm_nc_", ignoring case and diacritics.
    void clearCachedData();
    void clearCachedDataForFileName(const std::string& name);

    bool qmAddSkipBackupAttributeToItemAtPath(const std::string& path);
    void qmResetBackupAttributesToFilePath(const Value& path);

private:
    void writeArchive(const std::string& path, const Value& object, const char* logLine);
    void clearFile(const std::string& path, const char* logLine);
    Value readArchive(const std::string& path, bool emptyIsNothing) const;
};

}  // namespace qm
