#include "qmplatform/system_log.hpp"
#include "qmbase/no_destructor.hpp"

#include <syslog.h>

#include <memory>
#include <mutex>

namespace qm::platform {

namespace {

struct LogState {
    std::mutex mutex;
    std::shared_ptr<const SystemLog::Sink> sink;
    std::once_flag opened;
};

LogState& logState() {
    static NoDestructor<LogState> s;  // never destroyed: logging may happen during exit
    return *s;
}

}  // namespace

void SystemLog::write(std::string_view line) {
    LogState& s = logState();
    std::shared_ptr<const Sink> sink;
    {
        std::lock_guard lock(s.mutex);
        sink = s.sink;
    }
    if (sink) {
        try {
            (*sink)(line);
        } catch (...) {
        }
        return;
    }
    std::call_once(s.opened, [] { ::openlog("quelmar", LOG_PID, LOG_USER); });
    // A trailing line break would show up as an empty continuation in some log readers.
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
    ::syslog(LOG_NOTICE, "%.*s", static_cast<int>(line.size()), line.data());
}

void SystemLog::setSink(Sink sink) {
    std::shared_ptr<const Sink> previous =
        sink ? std::make_shared<const Sink>(std::move(sink)) : nullptr;
    LogState& s = logState();
    {
        std::lock_guard lock(s.mutex);
        s.sink.swap(previous);
    }
    // The old sink (and whatever it captured) is released here, outside the lock.
}

}  // namespace qm::platform
