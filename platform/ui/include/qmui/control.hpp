// Controls: views that send actions for events (touch up inside, value changed) to targets.
#pragma once

#include <functional>
#include <vector>

#include "qmui/view.hpp"

namespace qm::platform {

// The platform's control states (a mask; Normal is none of them).
enum ControlState : unsigned {
    ControlStateNormal = 0,
    ControlStateHighlighted = 1u << 0,
    ControlStateDisabled = 1u << 1,
    ControlStateSelected = 1u << 2,
};

// The platform's control events (a mask).
enum ControlEvent : unsigned {
    ControlEventTouchDown = 1u << 0,
    ControlEventTouchUpInside = 1u << 6,
    ControlEventTouchUpOutside = 1u << 7,
    ControlEventValueChanged = 1u << 12,
    ControlEventPrimaryActionTriggered = 1u << 13,
    ControlEventAllTouchEvents = 0x00000FFFu,
    ControlEventAllEvents = 0xFFFFFFFFu,
};

class Control : public View {
public:
    using Action = std::function<void(Control& sender)>;
    using View::View;
    std::string className() const override { return "UIControl"; }

    bool isEnabled() const { return enabled_; }
    virtual void setEnabled(bool enabled) { enabled_ = enabled; }
    bool isSelected() const { return selected_; }
    virtual void setSelected(bool selected) { selected_ = selected; }
    bool isHighlighted() const { return highlighted_; }
    virtual void setHighlighted(bool highlighted) { highlighted_ = highlighted; }
    unsigned state() const;

    // Adds an action for the events; returns its id for removeTarget.
    int addTarget(Action action, unsigned events);
    void removeTarget(int id);
    void removeAllTargets() { targets_.clear(); }
    // Runs the actions registered for any of `events`, in the order they were added.
    void sendActionsForControlEvents(unsigned events);

    // A tap at `point` (own coordinates) from the gesture system: touch down, then touch up
    // inside. Disabled controls ignore it. Subclasses pick a segment and so on first.
    virtual void handleTap(Point point);

private:
    struct Target {
        int id;
        unsigned events;
        Action action;
    };
    std::vector<Target> targets_;
    int nextTarget_ = 1;
    bool enabled_ = true, selected_ = false, highlighted_ = false;
};

}  // namespace qm::platform
