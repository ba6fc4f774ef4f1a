#include "qmui/control.hpp"

namespace qm::platform {

unsigned Control::state() const {
    unsigned s = ControlStateNormal;
    if (highlighted_) s |= ControlStateHighlighted;
    if (!enabled_) s |= ControlStateDisabled;
    if (selected_) s |= ControlStateSelected;
    return s;
}

int Control::addTarget(Action action, unsigned events) {
    if (!action || events == 0) return 0;
    targets_.push_back({nextTarget_, events, std::move(action)});
    return nextTarget_++;
}

void Control::removeTarget(int id) {
    std::erase_if(targets_, [id](const Target& t) { return t.id == id; });
}

void Control::sendActionsForControlEvents(unsigned events) {
    // A copy: an action may add or remove targets, or release the control's last owner.
    const auto self = shared_from_this();
    const std::vector<Target> targets = targets_;
    for (const auto& target : targets)
        if (target.events & events) target.action(*this);
}

void Control::handleTap(Point) {
    if (!enabled_) return;
    sendActionsForControlEvents(ControlEventTouchDown);
    setHighlighted(true);
    setHighlighted(false);
    sendActionsForControlEvents(ControlEventTouchUpInside | ControlEventPrimaryActionTriggered);
}

}  // namespace qm::platform
