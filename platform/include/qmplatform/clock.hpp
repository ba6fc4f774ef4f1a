// The clock every part of the library reads "now" from. Production uses the system clock;
// tests install a ManualClock and drive time forward explicitly.
#pragma once

#include <memory>

#include "quelmar/value.hpp"

namespace qm::platform {

class Clock {
public:
    virtual ~Clock() = default;
    virtual Date now() const = 0;

    // The process-wide clock (the system clock unless replaced).
    static std::shared_ptr<Clock> current();
    static void setCurrent(std::shared_ptr<Clock> clock);
    // Shorthand for current()->now().
    static Date currentDate();
};

class SystemClock final : public Clock {
public:
    Date now() const override;
};

}  // namespace qm::platform
