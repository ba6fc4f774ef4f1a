#include "core/qmInternalProcessClass.hpp"

#include "core/QMLogger.hpp"
#include "core/QMRuntime.hpp"
#include "core/QMRedaction.hpp"
#include "core/QMSDKDataStore.hpp"
#include "core/QMSDKUserDefaultsData.hpp"

namespace qm {

std::shared_ptr<qmInternalProcessClass> qmInternalProcessClass::sharedInstance() { return QMRuntime::shared().engine(); }


void qmInternalProcessClass::resetQuelmar_iOS_SDK() {
    const auto& store = QMRuntime::shared().qmStoreData();
    store->clear_qm_notifications_bID_Data();
    store->clear_qm_notification_StatisticsData();
    store->clear_qm_push_notifications_Data();
    store->clear_qm_notification_GeofencingData();
    store->clear_qm_BotData();
    store->clearCachedData();
    QMSDKUserDefaultsData::sharedInstance().qmClearAllSDKPreferencesDataIntoUserDefaultsType(QMStore::Both);
    QMRuntime::shared().qmUIDFinalStr.with([](Value& v) { if (isValidString(v)) v = Value(""); });
    qmLastNidClickedForEvent.with([](Value& v) { if (isValidString(v)) v = Value(""); });
    QMRuntime::shared().qmFinalUTMParamsDict.with([](Value& v) { if (v.count() > 0) v = Value(); });
}


}  // namespace qm
