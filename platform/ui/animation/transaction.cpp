// Transactions and the watches that complete them and view animation contexts.
#include <algorithm>
#include <cmath>
#include <utility>

#include "context.hpp"
#include "qmplatform/dispatch.hpp"
#include "qmui/animation.hpp"

namespace qm::platform {

namespace anim {

void AnimationWatch::animationStarted() {
    if (startReported_) return;
    startReported_ = true;
    if (auto started = std::move(started_)) started();
}

void AnimationWatch::animationStopped(bool finished) {
    if (pending_ > 0) --pending_;
    if (!finished) finished_ = false;
    finishIfDone();
}

void AnimationWatch::close() {
    closed_ = true;
    finishIfDone();
}

void AnimationWatch::finishIfDone() {
    if (!closed_ || pending_ > 0 || fired_) return;
    fired_ = true;
    // A context with no animation has not reported its start either; it does so now, just
    // before its end.
    Started started = startReported_ ? Started{} : std::move(started_);
    startReported_ = true;
    Done done = std::move(done_);
    if (!started && !done) return;
    const bool finished = finished_;
    Queue::main().async([started = std::move(started), done = std::move(done), finished] {
        if (started) started();
        if (done) done(finished);
    });
}

namespace {
// Contexts are per thread, like the run loop they complete on; layers live on the main one.
std::vector<std::shared_ptr<AnimationWatch>>& watches() {
    thread_local std::vector<std::shared_ptr<AnimationWatch>> open;
    return open;
}
}  // namespace

const std::vector<std::shared_ptr<AnimationWatch>>& openWatches() { return watches(); }

void openWatch(std::shared_ptr<AnimationWatch> watch) {
    if (watch) watches().push_back(std::move(watch));
}

void leaveWatch(const std::shared_ptr<AnimationWatch>& watch) {
    auto& open = watches();
    if (auto it = std::find(open.begin(), open.end(), watch); it != open.end()) open.erase(it);
}

}  // namespace anim

// ---------------------------------------------------------------------------------------------
namespace {

struct TransactionFrame {
    double duration = 0.25;
    std::optional<TimingFunction> timing;
    bool disableActions = false;
    std::shared_ptr<anim::AnimationWatch> watch;  // set by setCompletionBlock
};

std::vector<TransactionFrame>& frames() {
    thread_local std::vector<TransactionFrame> open;
    return open;
}

TransactionFrame currentFrame() {
    const auto& open = frames();
    return open.empty() ? TransactionFrame{} : open.back();
}

// Lets the frame's watch go: no more animations join it, and it completes with those that did.
void releaseWatch(TransactionFrame& frame) {
    if (!frame.watch) return;
    auto watch = std::move(frame.watch);
    anim::leaveWatch(watch);
    watch->close();
}

}  // namespace

void Transaction::begin() {
    TransactionFrame frame = currentFrame();
    frame.watch = nullptr;
    frames().push_back(std::move(frame));
}

void Transaction::commit() {
    auto& open = frames();
    if (open.empty()) return;
    TransactionFrame frame = std::move(open.back());
    open.pop_back();
    releaseWatch(frame);
}

double Transaction::animationDuration() { return currentFrame().duration; }

void Transaction::setAnimationDuration(double seconds) {
    if (frames().empty() || !std::isfinite(seconds) || seconds < 0) return;
    frames().back().duration = seconds;
}

std::optional<TimingFunction> Transaction::animationTimingFunction() { return currentFrame().timing; }

void Transaction::setAnimationTimingFunction(std::optional<TimingFunction> function) {
    if (!frames().empty()) frames().back().timing = function;
}

bool Transaction::disableActions() { return currentFrame().disableActions; }

void Transaction::setDisableActions(bool disable) {
    if (!frames().empty()) frames().back().disableActions = disable;
}

void Transaction::setCompletionBlock(std::function<void()> block) {
    auto done = [block = std::move(block)](bool) {
        if (block) block();
    };
    auto& open = frames();
    if (open.empty()) {
        // No transaction to wait for: the block completes nothing and runs on the next turn.
        anim::AnimationWatch(std::move(done)).close();
        return;
    }
    releaseWatch(open.back());
    open.back().watch = std::make_shared<anim::AnimationWatch>(std::move(done));
    anim::openWatch(open.back().watch);
}

}  // namespace qm::platform
