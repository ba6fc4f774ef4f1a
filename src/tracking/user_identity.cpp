// User identification and the service's user id.
#include <memory>

#include "core/QMFormFields.hpp"
#include "core/QMLogger.hpp"
#include "core/QMRuntime.hpp"
#include "core/QMSDKNetworkManager.hpp"
#include "core/QMSDKUserDefaultsData.hpp"
#include "core/qmGetFilteredData.hpp"
#include "core/qmInternalProcessClass.hpp"
#include "qmplatform/dispatch.hpp"
#include "qmplatform/error.hpp"
#include "qmplatform/plist.hpp"
#include "quelmar/quelmar.hpp"

namespace qm {
namespace {

// The one engine (it exists before start-up too).
const std::shared_ptr<qmInternalProcessClass>& currentEngine() { return QMRuntime::shared().engine(); }

bool setUpComplete() {
    auto engine = QMRuntime::shared().qmInternalProcess();
    return engine && engine->fetchBrandSettingsComplete();
}

// Main queue: applies the answer to an identification of `userID`; `previousUUID` is the
// service user id stored before the request, `deviceToken` the stored push token.
void applyUserAnswer(const Value& answer, const Value& userID, const Value& previousUUID, const Value& deviceToken) {
    const bool accepted = answer.count() > 0 && answer["Authentication"].description() == "success" &&
                          answer.contains("Account") && answer["Account"].description() == "success";
    if (!accepted) {
        QMLog(QMLogLevelInfo, "Authentication failed for User Identifier setup method.");
        return;
    }
    auto& prefs = QMSDKUserDefaultsData::sharedInstance();
    // The accepted app user id: later requests carry it as "userID" and the next
    // identification as "prev_user_id".
    prefs.qmSetObject(Value(userID.description()), "qm_userID", QMStore::Library);

    bool userChanged = false;
    const Value& uuid = answer["uuid"];
    if (isValidString(uuid)) {
        const Value uuidText(uuid.description());
        QMRuntime::shared().qmUIDFinalStr.set(uuidText);
        userChanged = !previousUUID || previousUUID.isNull() || previousUUID.description() != uuidText.description();
        if (answer["campaignCookie"].count() > 0) {
            qmGetFilteredData::sharedInstance().qmSetCampaignCookiesWithCampaignData(answer["campaignCookie"]);
        }
        prefs.qmSetObject(uuidText, "qm_uuID", QMStore::Both);
        prefs.qmSetBOOL(false, "qm_isSendUserData", QMStore::Library);
        prefs.qmSynchronizeIntoUserDefaultsType(QMStore::Both);
    } else {
        prefs.qmSynchronizeIntoUserDefaultsType(QMStore::Library);
    }

    if (userChanged && isValidString(deviceToken)) {
        quelmar::sharedInstance().qmSendSubscriptionIDToPanelWithToken(deviceToken, true, Value(), false);
    }

    const Value& newUserHit = answer["new_user_hit"];
    const long long hit = newUserHit.isNumber() || newUserHit.isString() ? newUserHit.integerValue() : 0;
    if (hit == 2) {
        for (const char* key : {"qm_AppCookieEventsHitID", "qm_AppCookieEventsHitUID"}) {
            for (QMStore store : {QMStore::Library, QMStore::AppGroup}) {
                if (prefs.qmObjectForKey(key, store)) prefs.qmRemoveObjectForKey(key, store);
            }
        }
        prefs.qmSynchronizeIntoUserDefaultsType(QMStore::Both);
    }
    if (hit == 1 || hit == 2) currentEngine()->qmFetchSettingsWithPushClId(Value());
}

}  // namespace

void quelmar::UserIdentifier(const Value& userID, const Value& userParams) {
    if (!isValidString(userID)) {
        QMLog(QMLogLevelError, "Parameter missing, userID can not be nil or empty in user identifier method");
        return;
    }
    auto& prefs = QMSDKUserDefaultsData::sharedInstance();
    if (!setUpComplete()) {
        Value record{{"qmFunctionName", "qmTrackUser"}, {"qmTrackUserID", userID}};
        if (userParams.count() > 0) record.set("qmTrackUserParams", userParams);
        qmGetFilteredData::sharedInstance().qmSceduleWaitingFunctionsWithData(record);
        return;
    }

    const Value deviceToken = prefs.qmObjectForKey("qm_deviceID", QMStore::Library);
    const Value userAgent = prefs.qmObjectForKey("qm_secretAgent", QMStore::Library);

    // The last non-empty parameters are kept as a keyed archive (in memory here; written to
    // disk with the request's synchronisation below).
    if (userParams.count() > 0) {
        if (auto archive = platform::keyed_archive::archive(userParams)) {
            prefs.qmSetObject(Value(Bytes(archive->begin(), archive->end())), "qm_user_identifier", QMStore::Library);
        }
    }

    platform::Queue::global().async([userID, userParams, deviceToken, userAgent] {
        auto& defaults = QMSDKUserDefaultsData::sharedInstance();
        defaults.qmSynchronizeIntoUserDefaultsType(QMStore::Library);
        auto shared = qmInternalProcessClass::sharedInstance();

        std::string params = shared->qmGetDefaultPostParamsWithDeviceIDType(0, 0);
        params += qmFormField("userID", userID);
        if (userParams.count() > 0) {
            Value json = qmGetFilteredData::sharedInstance().qmStringifyDictionary(userParams);
            if (isValidString(json)) params += qmFormField("userParams", json);
        }
        const Value previousUserID = defaults.qmObjectForKey("qm_userID", QMStore::Library);
        if (previousUserID && !previousUserID.isNull()) params += qmFormField("prev_user_id", previousUserID);
        const Value previousUUID = defaults.qmObjectForKey("qm_uuID", QMStore::Library);

        shared->qmHitAPIWithPOSTRequestforUrlString(
            Value(QMSDKNetworkManager::sharedInstance().qmTrackUserApiURLString()), userAgent, Value(params), 1,
            // Main queue.
            [userID, previousUUID, deviceToken](const Value& answer) {
                applyUserAnswer(answer, userID, previousUUID, deviceToken);
            },
            // Main queue, before the completion.
            [](const std::optional<platform::Error>& error) {
                if (!error || !isValidString(Value(error->description()))) return;
                QMLog(QMLogLevelError, "Authentication failed for Quelmar user identifier request with error description = %@",
                      error->description());
            });
    });
}

void quelmar::getQmUid(std::function<void(const Value&)> completion) {
    auto& module = QMRuntime::shared();
    const Value known = module.qmUIDFinalStr.get();
    if (isValidString(known)) {
        platform::Queue::main().async([completion, known] {
            if (completion) completion(known);
        });
        return;
    }
    sharedInstance().qmDispatchRepeatforGetQmUidInSeconds(1, [completion] {
        auto& state = QMRuntime::shared();
        const Value response = state.qmGetQmUidWaitingResponse.get();
        if (!(response["Authentication"].description() == "success" && response["http_code"].description() == "200")) {
            QMLog(QMLogLevelError,
                  "Request time out or data not found for qmUID. Kindly check your internet connection and try again");
        }
        const Value uid = state.qmUIDFinalStr.get();
        platform::Queue::main().async([completion, uid] {
            if (completion) completion(isValidString(uid) ? uid : Value());
        });
    });
}

// Each check runs on the main queue `seconds` after the previous one. The waiting budget is
// shared by every wait of the process and only Initialize resets it.
void quelmar::qmDispatchRepeatforGetQmUidInSeconds(long seconds, std::function<void()> block) {
    platform::Queue::main().asyncAfter(static_cast<double>(seconds), [this, seconds, block] {
        auto& module = QMRuntime::shared();
        const long waited = (module.qmGetQmUidWaitingTimeCounter += seconds);
        if (setUpComplete()) {
            module.qmGetQmUidWaitingResponse.set(Value{{"Authentication", "success"}, {"http_code", "200"}});
        } else if (waited <= 9) {
            qmDispatchRepeatforGetQmUidInSeconds(seconds, block);
            return;
        } else {
            module.qmGetQmUidWaitingResponse.set(Value{{"Authentication", "failed"}, {"http_code", "408"}});
        }
        if (block) block();
    });
}

}  // namespace qm
