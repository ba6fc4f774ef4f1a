// What ties animations to the transaction or view animation context they were added in: each
// open context has a watch, and every animation added while it is open joins it.
#pragma once

#include <functional>
#include <memory>
#include <vector>

namespace qm::platform::anim {

// Counts the animations of one context until they have all stopped. Main thread only.
class AnimationWatch {
public:
    using Done = std::function<void(bool finished)>;
    using Started = std::function<void()>;

    explicit AnimationWatch(Done done = {}) : done_(std::move(done)) {}

    void setDone(Done done) { done_ = std::move(done); }
    // Called once, when the first of its animations starts (or with done when it had none).
    void setStarted(Started started) { started_ = std::move(started); }

    void joined() { ++pending_; }
    void animationStarted();
    void animationStopped(bool finished);
    // No animation joins after this. Once every animation that joined has stopped, done runs
    // on the main run loop (on its next turn when none joined) with finished unless one of
    // them stopped early.
    void close();

private:
    void finishIfDone();

    Done done_;
    Started started_;
    int pending_ = 0;
    bool closed_ = false, finished_ = true, fired_ = false, startReported_ = false;
};

// The watches of the contexts open on this thread; Layer::addAnimation joins them all.
const std::vector<std::shared_ptr<AnimationWatch>>& openWatches();
void openWatch(std::shared_ptr<AnimationWatch> watch);
// Takes the watch off the open list (without closing it).
void leaveWatch(const std::shared_ptr<AnimationWatch>& watch);

}  // namespace qm::platform::anim
