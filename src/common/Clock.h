#pragma once

namespace quorvantile {

// The system-uptime clock: seconds since boot, not counting suspend. Every deadline and every
// snapshot's `uptime` is measured on it, never on the wall clock.
class Clock {
public:
    virtual ~Clock() = default;
    [[nodiscard]] virtual double uptime() const = 0;
};

// The real clock. It has no state, so sharing one instance is safe.
[[nodiscard]] const Clock& systemClock();

} // namespace quorvantile
