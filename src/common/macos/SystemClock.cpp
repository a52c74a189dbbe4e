#include "common/Clock.h"

#include <time.h>

#include <cstdint>

namespace quorvantile {
namespace {

class UptimeClock final : public Clock {
public:
    [[nodiscard]] double uptime() const override
    {
        // The clock of mach_absolute_time: it stops while the machine sleeps, as the platform's
        // systemUptime does (CLOCK_MONOTONIC here goes on counting through sleep).
        const std::uint64_t nanoseconds = clock_gettime_nsec_np(CLOCK_UPTIME_RAW);
        if (nanoseconds == 0) {
            return 0.0 / 0.0; // NaN: every validity check refuses it
        }
        return static_cast<double>(nanoseconds) / 1e9;
    }
};

} // namespace

const Clock& systemClock()
{
    static const UptimeClock clock;
    return clock;
}

} // namespace quorvantile
