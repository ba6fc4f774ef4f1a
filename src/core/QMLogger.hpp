// The library's levelled logger. Every message goes through qmPrintLogforLevel and is
// written as "[quelmar]-[LEVEL]: message" to the system log when its level is enabled.
#pragma once

#include <string>
#include <string_view>

#include "quelmar/value.hpp"

namespace qm {

enum QMLogLevel : long { QMLogLevelError = 0, QMLogLevelWarning = 1, QMLogLevelInfo = 2, QMLogLevelDebug = 3, QMLogLevelVerbose = 4 };

class QMLogger {
public:
    static void qmPrintLogforLevel(long level, std::string_view message);
    static void qmShowLogWithLevel(long level, std::string_view message);
    static long qmGetLogLevel();
    static void qmSetLogLevel(long level);
    // The level name, or nothing for a level without one.
    static Value qmNameForLevel(long level);
    // True when a message at this level would be written (lets callers skip building dumps).
    static bool qmIsEnabled(long level);
};

// Shorthand: QMLog(QMLogLevelInfo, "You are in %@ mode", mode).
template <typename... Args>
void QMLog(long level, std::string_view fmt, Args&&... args) {
    if (!QMLogger::qmIsEnabled(level)) return;
    if constexpr (sizeof...(Args) == 0) {
        QMLogger::qmPrintLogforLevel(level, fmt);
    } else {
        QMLogger::qmPrintLogforLevel(level, format(fmt, std::forward<Args>(args)...));
    }
}

}  // namespace qm
