// Entries that must run on the host's main thread check that they do: the mistake is logged
// in every build (one thread-id comparison), and a debug build also stops where it happened.
#pragma once

#include <cassert>

#include "core/QMLogger.hpp"
#include "qmplatform/dispatch.hpp"

namespace qm {

inline void qmCheckMainThread(const char* entry) {
    if (platform::RunLoop::main().isMainThread()) return;
    QMLog(QMLogLevelError, "%s must be called on the main thread.", entry);
    assert(!"called off the main thread");
}

}  // namespace qm
