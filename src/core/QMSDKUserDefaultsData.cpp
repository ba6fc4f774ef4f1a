#include "core/QMSDKUserDefaultsData.hpp"

#include "core/QMRuntime.hpp"

#include <cmath>

#include "core/QMLogger.hpp"
#include "qmplatform/bundle.hpp"
#include "qmplatform/preferences.hpp"

namespace qm {
namespace {
bool writesLibrary(QMStore type) { return type == QMStore::Library || type == QMStore::Both; }
bool writesGroup(QMStore type) { return type == QMStore::AppGroup || type == QMStore::Both; }
}  // namespace

QMSDKUserDefaultsData& QMSDKUserDefaultsData::sharedInstance() { return QMRuntime::shared().qmPreferences(); }

QMSDKUserDefaultsData::QMSDKUserDefaultsData() {
    appGroupID_ = appGroupIDFromInfoDictionary(false);
    qmSDKStdUserDefaults = &platform::UserDefaults::suite(kQMLibraryIdentifier);
    qmAppGroupServiceExtUserDefaults = &platform::UserDefaults::suite(appGroupID_);
}

std::string QMSDKUserDefaultsData::appGroupIDFromInfoDictionary(bool alwaysPrefixQm) {
    const auto& bundle = platform::Bundle::main();
    Value groupKey = bundle.objectForInfoDictionaryKey("qmAppGroupKey");
    if (groupKey && isValidString(groupKey)) {
        std::string text = groupKey.description();
        return text.rfind("group.", 0) == 0 ? text : "group." + text;
    }
    Value identifier = bundle.objectForInfoDictionaryKey("App Bundle identifier");
    std::string text = identifier ? identifier.description() : Value(bundle.bundleIdentifier()).description();
    if (!alwaysPrefixQm && text.rfind("group.", 0) == 0) return text;
    return "group.qm." + text;
}

bool QMSDKUserDefaultsData::isValidKey(const Value& key) { return key.isString() && !key.string().empty(); }

platform::UserDefaults* QMSDKUserDefaultsData::readSuite(QMStore type) const {
    return type == QMStore::AppGroup ? qmAppGroupServiceExtUserDefaults : qmSDKStdUserDefaults;
}

void QMSDKUserDefaultsData::qmSetObject(const Value& value, const Value& key, QMStore type) {
    if (!isValidKey(key)) return;
    if (writesLibrary(type)) qmSDKStdUserDefaults->setObject(value, key.string());
    if (writesGroup(type)) qmAppGroupServiceExtUserDefaults->setObject(value, key.string());
}

void QMSDKUserDefaultsData::qmSetInteger(long long value, const Value& key, QMStore type) {
    qmSetObject(Value(value), key, type);
}

void QMSDKUserDefaultsData::qmSetDouble(double value, const Value& key, QMStore type) {
    if (value == 0) value = 0.0;  // no negative zero in the store
    qmSetObject(Value(value), key, type);
}

void QMSDKUserDefaultsData::qmSetBOOL(bool value, const Value& key, QMStore type) {
    qmSetObject(Value(value), key, type);
}

void QMSDKUserDefaultsData::qmSetString(const Value& value, const Value& key, QMStore type) {
    if (!isValidString(value)) return;
    qmSetObject(Value(value.description()), key, type);
}

Value QMSDKUserDefaultsData::qmObjectForKey(const Value& key, QMStore type) const {
    if (!isValidKey(key)) return Value();
    return readSuite(type)->objectForKey(key.string());
}

long long QMSDKUserDefaultsData::qmIntegerForKey(const Value& key, QMStore type) const {
    return qmObjectForKey(key, type).integerValue();
}
double QMSDKUserDefaultsData::qmDoubleForKey(const Value& key, QMStore type) const {
    return qmObjectForKey(key, type).doubleValue();
}
bool QMSDKUserDefaultsData::qmBoolForKey(const Value& key, QMStore type) const {
    return qmObjectForKey(key, type).boolValue();
}

std::string QMSDKUserDefaultsData::qmStringForKey(const Value& key, QMStore type) const {
    if (!isValidKey(key)) return "";
    return qmObjectForKey(key, type).description();
}

void QMSDKUserDefaultsData::qmRemoveObjectForKey(const Value& key, QMStore type) {
    if (!isValidKey(key)) return;
    if (writesLibrary(type)) qmSDKStdUserDefaults->removeObjectForKey(key.string());
    if (writesGroup(type)) qmAppGroupServiceExtUserDefaults->removeObjectForKey(key.string());
}

Value QMSDKUserDefaultsData::qmDictionaryRepresentationIntoUserDefaultsType(QMStore type) const {
    return readSuite(type)->dictionaryRepresentation();
}

// Called on the main thread after writes: the file work goes to the preferences' flush
// thread, never onto the host's main run loop.
void QMSDKUserDefaultsData::qmSynchronizeIntoUserDefaultsType(QMStore type) {
    if (writesLibrary(type)) qmSDKStdUserDefaults->synchronizeSoon();
    if (writesGroup(type)) qmAppGroupServiceExtUserDefaults->synchronizeSoon();
}

void QMSDKUserDefaultsData::qmClearAllSDKPreferencesDataIntoUserDefaultsType(QMStore type) {
    auto clear = [](platform::UserDefaults& suite) {
        Value content = suite.dictionaryRepresentation();
        for (const auto& [key, value] : content.dictionaryItems()) {
            if (key.rfind("qm_", 0) == 0) suite.removeObjectForKey(key);
        }
        suite.synchronizeSoon();
    };
    if (writesLibrary(type)) clear(*qmSDKStdUserDefaults);
    if (writesGroup(type)) clear(*qmAppGroupServiceExtUserDefaults);
    QMLog(QMLogLevelInfo, "Inside, reset SDK data.");
}

}  // namespace qm
