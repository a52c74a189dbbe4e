#include "common/Clock.h"

#include <ctime>

namespace quorvantile {
namespace {

class MonotonicClock final : public Clock {
public:
    [[nodiscard]] double uptime() const override
    {
        // CLOCK_MONOTONIC stops during suspend, as the platform's systemUptime does.
        timespec now {};
        if (clock_gettime(CLOCK_MONOTONIC, &now) != 0) {
            return 0.0 / 0.0; // NaN: every validity check refuses it
        }
        return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
    }
};

} // namespace

const Clock& systemClock()
{
    static const MonotonicClock clock;
    return clock;
}

} // namespace quorvantile
