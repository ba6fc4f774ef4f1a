#include "inapp/qmInAppSurveyURL.hpp"

#include "core/QMSDKNetworkManager.hpp"
#include "core/QMSDKUserDefaultsData.hpp"
#include "core/qmGetFilteredData.hpp"
#include "core/qmInternalProcessClass.hpp"
#include "qmplatform/bundle.hpp"
#include "qmplatform/device.hpp"
#include "qmplatform/url.hpp"
#include "quelmar/version.hpp"

namespace qm::inapp {

std::string qmInAppSurveyURLForCampaign(const Value& campaign) {
    auto& prefs = QMSDKUserDefaultsData::sharedInstance();
    auto& utility = qmGetFilteredData::sharedInstance();
    auto engine = qmInternalProcessClass::sharedInstance();
    const long brandID = static_cast<long>(prefs.qmIntegerForKey("qm_brandID", QMStore::Library));
    const Value id(campaign["notificationID"].description());
    Value appVersion = prefs.qmObjectForKey("qm_appVersion", QMStore::Library);
    if (!isValidString(appVersion)) appVersion = platform::Bundle::main().objectForInfoDictionaryKey("CFBundleShortVersionString");
    // The system version as a single-precision number, as the page has always been told it.
    const double systemVersion =
        static_cast<double>(static_cast<float>(Value(platform::Device::current().systemVersion()).doubleValue()));
    const Value endpoint(QMSDKNetworkManager::sharedInstance().qmGetInAppSurveyApiURLString());
    const Value mode = engine->qm_IP_Mode.get();
    const Value clickID = engine->qm_anal_id.get();
    const Value language = engine->qmLanguage.get();
    const Value offset(utility.qmGetGMTTimeOffset());

    std::string url =
        campaign["template"].integerValue() == 102
            ? format("%@?brandid=%ld&notificationid=%@&sdk_version=%@&mode=%@&device=2&clickID=%@&language=%@&gmOffset=%@"
                     "&os_version=%f&app_version=%@",
                     endpoint, brandID, id, kSDKVersion, mode, clickID, language, offset, systemVersion, appVersion)
            : format("%@?brandid=%ld&notificationid=%@&mode=%@&sdk_version=%@&device=2&clickID=%@&language=%@&gmOffset=%@"
                     "&os_version=%f&app_version=%@",
                     endpoint, brandID, id, mode, kSDKVersion, clickID, language, offset, systemVersion, appVersion);
    const Value tokens = campaign["qm_sdkSurveyTmpUserTokens"];
    if (isValidString(tokens, true)) url += format("&tokens=%@", tokens);
    const Value userID = prefs.qmObjectForKey("qm_userID", QMStore::Library);
    if (isValidString(userID, true)) url += format("&userID=%@", userID);
    const Value deviceID = prefs.qmObjectForKey("qm_iOS_VENDOR_IDENTIFIER", QMStore::Library);
    if (isValidString(deviceID, true)) url += format("&deviceID=%@", deviceID);
    url = utility.qmAddMobleAppIDToUrlString(Value(url)).description();
    url = utility.qmAddCookiesDataInUrlString(url);
    for (std::size_t at = url.find("(null)"); at != std::string::npos; at = url.find("(null)", at)) url.erase(at, 6);
    return platform::percentEncodeQuery(url);
}

}  // namespace qm::inapp
