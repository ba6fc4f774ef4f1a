// The one gateway to the library's preferences: the library's own suite, the app-group
// suite shared with the notification-service extension, or both (see QMStore).
#pragma once

#include <memory>
#include <string>

#include "core/QMTypes.hpp"
#include "quelmar/value.hpp"

namespace qm {

namespace platform {
class UserDefaults;
}

// The reverse-DNS identifier that names the library's own preferences suite.
inline constexpr const char* kQMLibraryIdentifier = "io.quelmar.sdk";

class QMSDKUserDefaultsData {
    friend class QMRuntime;  // owns the one instance
public:
    // The runtime's gateway.
    static QMSDKUserDefaultsData& sharedInstance();

    void qmSetInteger(long long value, const Value& key, QMStore type);
    void qmSetDouble(double value, const Value& key, QMStore type);
    void qmSetBOOL(bool value, const Value& key, QMStore type);
    void qmSetObject(const Value& value, const Value& key, QMStore type);
    // Stores the "%@" text of the value; an invalid value leaves the previous one in place.
    void qmSetString(const Value& value, const Value& key, QMStore type);

    long long qmIntegerForKey(const Value& key, QMStore type) const;
    double qmDoubleForKey(const Value& key, QMStore type) const;
    bool qmBoolForKey(const Value& key, QMStore type) const;
    Value qmObjectForKey(const Value& key, QMStore type) const;
    // "%@" text of the stored value: "(null)" when missing, "" for an invalid key.
    std::string qmStringForKey(const Value& key, QMStore type) const;

    void qmRemoveObjectForKey(const Value& key, QMStore type);
    Value qmDictionaryRepresentationIntoUserDefaultsType(QMStore type) const;
    // Has the selected suites written now, off the caller's thread: returns at once (see
    // UserDefaults::synchronizeSoon; UserDefaults::flushAll waits for the disk).
    void qmSynchronizeIntoUserDefaultsType(QMStore type);
    // Removes every "qm_" key from the selected suites and has them written now, off the
    // caller's thread.
    void qmClearAllSDKPreferencesDataIntoUserDefaultsType(QMStore type);

    std::string qmGetAppGroupIDforNotificationServiceExtension() const { return appGroupID_; }

    platform::UserDefaults* qmSDKStdUserDefaults = nullptr;
    platform::UserDefaults* qmAppGroupServiceExtUserDefaults = nullptr;

    // The app group id rule; `alwaysPrefixQm` is the variant that names the group
    // "group.qm.<id>" even when the identifier already starts with "group.".
    static std::string appGroupIDFromInfoDictionary(bool alwaysPrefixQm);

private:
    QMSDKUserDefaultsData();
    static bool isValidKey(const Value& key);
    platform::UserDefaults* readSuite(QMStore type) const;
    std::string appGroupID_;
};

}  // namespace qm
