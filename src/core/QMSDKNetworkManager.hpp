// Service hosts and endpoints. Every service kind has its own host per environment under
// one service domain.
#pragma once

#include <atomic>
#include <string>

#include "core/QMTypes.hpp"

namespace qm {

template <typename T>
class NoDestructor;

// The service domain used unless the host sets another one.
inline constexpr const char* kQMDefaultServiceDomain = "quelmar.io";

class QMSDKNetworkManager {
    template <typename> friend class qm::NoDestructor;  // builds the one instance
public:
    static QMSDKNetworkManager& sharedInstance();

    long qmGetSDKEnvironment() const { return environment_; }
    void qmSetSDKEnvironment(long environment) { environment_ = environment; }
    std::string serviceDomain() const;
    void setServiceDomain(const std::string& domain);

    std::string qmMobileApiSubdomain() const;
    std::string qmPushApiSubdomain() const;
    std::string qmAnalyticsApiSubdomain() const;
    std::string qmChatbotApiSubdomain() const;
    std::string qmGetApiSubdomainForType(long type) const;
    std::string qmGetApiBaseURLStringWithSubdomain(const std::string& subdomain, const std::string& apiPath) const;

    std::string qmGetFetchClicksApiURLString() const;
    std::string qmGetFetchSettingsApiURLString() const;
    std::string qmRecordEventApiURLString() const;
    std::string qmTrackUserApiURLString() const;
    std::string qmGetInAppSurveyApiURLString() const;
    std::string qmRecordInAppBannerSurveyStatisticsApiURLString() const;
    std::string qmRecordPushSubscriberApiURLString() const;
    std::string qmRecordPushStatisticsDefaultApiURLString() const;
    std::string qmSchedulePushNotificationApiURLString() const;
    std::string qmGetNotificationCenterApiURLString() const;

private:
    QMSDKNetworkManager() = default;
    std::string endpoint(long type, const char* apiPath, const char* name) const;
    std::atomic<long> environment_{QMSDKEnvironmentLive};
};

}  // namespace qm
