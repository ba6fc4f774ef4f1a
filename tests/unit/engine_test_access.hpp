// Puts the engine into a set-up state directly, as if the matching answers had been applied.
#pragma once

#include "core/qmInternalProcessClass.hpp"

namespace qm {

struct qmEngineTestAccess {
    static void setBrandSettingsComplete(qmInternalProcessClass& engine, bool done) {
        engine._fetchBrandSettingsComplete = done;
    }
    static void setPushSettingsComplete(qmInternalProcessClass& engine, bool done) {
        engine._fetchPushSettingsComplete = done;
    }
    static void setSettingsAnswerApplied(qmInternalProcessClass& engine, bool applied) {
        engine.qmSettingsAnswerApplied = applied;
    }
};

}  // namespace qm
