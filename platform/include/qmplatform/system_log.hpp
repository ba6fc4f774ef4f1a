// Where the library's log lines end up: the system log unless the host supplies a sink.
#pragma once

#include <functional>
#include <string_view>

namespace qm::platform {

class SystemLog {
public:
    using Sink = std::function<void(std::string_view line)>;

    // Writes one message. Without a sink it goes to syslog (ident "quelmar", facility
    // user, priority notice) as one record. Safe from any thread; the sink is called
    // without any lock held, so it may log again or replace the sink.
    static void write(std::string_view line);
    // Replaces the destination; nullptr restores syslog.
    static void setSink(Sink sink);
};

}  // namespace qm::platform
