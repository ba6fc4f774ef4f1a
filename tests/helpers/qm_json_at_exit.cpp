// Reads and writes JSON on threads that are still running when the process exits.
//
//   qm_json_at_exit
//
// Threads keep starting threads that each read a document (a new thread makes a new parser)
// and write one; main returns once the first of them has read. Exits 0 when the exit was
// clean, whatever the threads were doing.
#include <atomic>
#include <string>
#include <thread>

#include "qmplatform/json.hpp"

// The threads are meant to outlive main: not a leak to report.
extern "C" const char* __tsan_default_options() { return "report_thread_leaks=0"; }

int main() {
    static std::atomic<bool> started{false};
    const std::string document = R"({"name":"café","items":[1,2.5,true,null,{"k":"v"}]})";
    for (int t = 0; t < 2; ++t) {
        std::thread([document] {
            for (;;) {
                std::thread([document] {
                    auto value = qm::platform::json::parse(document);
                    if (value) (void)qm::platform::json::write(*value);
                    started = true;
                }).join();
            }
        }).detach();
    }
    while (!started) std::this_thread::yield();
    return 0;
}
