#include "settle.hpp"

#include <algorithm>
#include <chrono>

#include "qmplatform/dispatch.hpp"
#include "qmplatform/url_session.hpp"

namespace qm::examples {

void settle(double seconds) {
    using Clock = std::chrono::steady_clock;
    const auto until = Clock::now() + std::chrono::duration<double>(seconds);
    const auto left = [until] { return std::max(0.0, std::chrono::duration<double>(until - Clock::now()).count()); };
    auto& loop = platform::RunLoop::main();
    while (left() > 0) {
        loop.runUntilIdle(left());
        if (platform::URLSession::activeTaskCount() == 0 && loop.pendingBlocks() == 0) return;
        loop.runUntil([] { return platform::URLSession::activeTaskCount() == 0; }, left());
    }
}

}  // namespace qm::examples
