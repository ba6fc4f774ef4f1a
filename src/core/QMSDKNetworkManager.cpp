#include "core/QMSDKNetworkManager.hpp"

#include <mutex>

#include "quelmar/value.hpp"
#include "qmbase/no_destructor.hpp"

namespace qm {
namespace {
struct DomainSetting {
    std::mutex mutex;
    std::string domain = kQMDefaultServiceDomain;
};
DomainSetting& domainSetting() {
    static NoDestructor<DomainSetting> setting;
    return *setting;
}

// Subdomain labels per service kind, by environment (development, acceptance, staging, live).
constexpr const char* kLabels[4][4] = {
    {"devmobile6", "mobile1uat", "stagemobile", "mobile"},
    {"devpush6", "push1uat", "stagepush", "push"},
    {"devanal6", "anal1uat", "stageanal", "analytics"},
    {"devpush6", "push1uat", "stagepush", "livechat"},
};
}  // namespace

QMSDKNetworkManager& QMSDKNetworkManager::sharedInstance() {
    static NoDestructor<QMSDKNetworkManager> instance;
    return *instance;
}

std::string QMSDKNetworkManager::serviceDomain() const {
    std::lock_guard lock(domainSetting().mutex);
    return domainSetting().domain;
}

void QMSDKNetworkManager::setServiceDomain(const std::string& domain) {
    std::lock_guard lock(domainSetting().mutex);
    domainSetting().domain = domain.empty() ? std::string(kQMDefaultServiceDomain) : domain;
}

std::string QMSDKNetworkManager::qmGetApiSubdomainForType(long type) const {
    if (type < QMServiceTypeMobile || type > QMServiceTypeChatbot) type = QMServiceTypeMobile;
    long env = environment_;
    if (env < QMSDKEnvironmentDevelopment || env > QMSDKEnvironmentLive) env = QMSDKEnvironmentLive;
    return kLabels[type][env];
}

std::string QMSDKNetworkManager::qmMobileApiSubdomain() const { return qmGetApiSubdomainForType(QMServiceTypeMobile); }
std::string QMSDKNetworkManager::qmPushApiSubdomain() const { return qmGetApiSubdomainForType(QMServiceTypePush); }
std::string QMSDKNetworkManager::qmAnalyticsApiSubdomain() const { return qmGetApiSubdomainForType(QMServiceTypeAnalytics); }
std::string QMSDKNetworkManager::qmChatbotApiSubdomain() const { return qmGetApiSubdomainForType(QMServiceTypeChatbot); }

std::string QMSDKNetworkManager::qmGetApiBaseURLStringWithSubdomain(const std::string& subdomain, const std::string& apiPath) const {
    return format("%@%@.%@%@", "https://", subdomain, serviceDomain(), apiPath);
}

std::string QMSDKNetworkManager::endpoint(long type, const char* apiPath, const char* name) const {
    return qmGetApiBaseURLStringWithSubdomain(qmGetApiSubdomainForType(type), apiPath) + name;
}

std::string QMSDKNetworkManager::qmGetFetchClicksApiURLString() const { return endpoint(QMServiceTypeAnalytics, "/mobile/api/", "fetch_click"); }
std::string QMSDKNetworkManager::qmGetFetchSettingsApiURLString() const { return endpoint(QMServiceTypeMobile, "/mobile/api_v2/", "settings"); }
std::string QMSDKNetworkManager::qmRecordEventApiURLString() const { return endpoint(QMServiceTypeAnalytics, "/mobile/api/", "event"); }
std::string QMSDKNetworkManager::qmTrackUserApiURLString() const { return endpoint(QMServiceTypeAnalytics, "/mobile/api/", "user"); }
std::string QMSDKNetworkManager::qmGetInAppSurveyApiURLString() const { return endpoint(QMServiceTypeMobile, "/user/survey/", "modal"); }
std::string QMSDKNetworkManager::qmRecordInAppBannerSurveyStatisticsApiURLString() const { return endpoint(QMServiceTypeMobile, "/mobile/api/", "stats"); }
std::string QMSDKNetworkManager::qmRecordPushSubscriberApiURLString() const { return endpoint(QMServiceTypePush, "/mobile/api/", "ios_subscribe"); }
std::string QMSDKNetworkManager::qmRecordPushStatisticsDefaultApiURLString() const { return endpoint(QMServiceTypePush, "/mobile/api/", "stats"); }
std::string QMSDKNetworkManager::qmSchedulePushNotificationApiURLString() const { return endpoint(QMServiceTypePush, "/mobile/api/", "schedule"); }
std::string QMSDKNetworkManager::qmGetNotificationCenterApiURLString() const { return endpoint(QMServiceTypePush, "/mobile/api/", "notifications_ios"); }

}  // namespace qm
