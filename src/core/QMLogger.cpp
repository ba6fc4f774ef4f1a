#include "core/QMLogger.hpp"

#include <atomic>

#include "qmplatform/system_log.hpp"

namespace qm {
namespace {
// Written on the main thread at start-up, read from any thread.
std::atomic<long> qmDefaultLogingLevel{QMLogLevelInfo};
}  // namespace

Value QMLogger::qmNameForLevel(long level) {
    switch (level) {
        case QMLogLevelError: return "ERROR";
        case QMLogLevelWarning: return "WARNING";
        case QMLogLevelInfo: return "INFO";
        case QMLogLevelDebug: return "DEBUG";
        case QMLogLevelVerbose: return "VERBOSE";
        default: return Value();
    }
}

void QMLogger::qmPrintLogforLevel(long level, std::string_view message) { qmShowLogWithLevel(level, message); }

void QMLogger::qmShowLogWithLevel(long level, std::string_view message) {
    if (!qmIsEnabled(level)) return;
    std::string line = "[quelmar]-[";
    line += qmNameForLevel(level).description();
    line += "]: ";
    line += message;
    platform::SystemLog::write(line);
}

bool QMLogger::qmIsEnabled(long level) { return qmDefaultLogingLevel.load(std::memory_order_relaxed) >= level; }
long QMLogger::qmGetLogLevel() { return qmDefaultLogingLevel.load(std::memory_order_relaxed); }
void QMLogger::qmSetLogLevel(long level) { qmDefaultLogingLevel.store(level, std::memory_order_relaxed); }

}  // namespace qm
