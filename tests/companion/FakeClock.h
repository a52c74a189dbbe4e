#pragma once

#include "common/Clock.h"

namespace quorvantile::testing {

// A clock the test moves by hand.
class FakeClock final : public Clock {
public:
    explicit FakeClock(double now = 100.0) : now_(now) { }
    [[nodiscard]] double uptime() const override { return now_; }
    void set(double now) { now_ = now; }
    void advance(double seconds) { now_ += seconds; }

private:
    double now_;
};

} // namespace quorvantile::testing
