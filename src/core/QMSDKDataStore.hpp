// The library's property-list files in Documents (campaigns, statistics, push and inbox
// notifications, geofences, bot settings) and its media cache in Library/Caches.
//
// Every file operation runs on one serial queue, in the order it was asked for: writes,
// clears and cache changes are queued and return at once; reads and the backup check wait on
// the queue for their answer, so a read sees every write asked for before it. The queue
// belongs to the class, not to an instance. No file operation waits for the main queue, so waiting on the file
// queue from the main thread cannot deadlock. There is one store, owned by the runtime.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "core/Guarded.hpp"
#include "qmplatform/dispatch.hpp"
#include "quelmar/value.hpp"

namespace qm {

class QMSDKDataStore {
public:
    // The runtime's store.
    static std::shared_ptr<QMSDKDataStore> sharedInstance();
    // At start-up: removes, on the file queue, the temporary files that writes cut short (the
    // process killed midway) left in Documents and the caches folder.
    void qmRemoveAbandonedFiles();

    // The queue that runs every file operation of the stores. A caller that must read, change
    // and write a file as one step runs the whole step on it.
    static const platform::Queue& fileQueue();
    // Waits (up to realTimeoutSeconds of real time) until the file operations asked for so far
    // have finished; true when they have. Returns at once on the file queue itself.
    static bool qmFinishPendingFileWork(double realTimeoutSeconds);

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
};

}  // namespace qm
