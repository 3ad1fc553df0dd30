#include "platform/system_clock.h"

#include <time.h>

namespace kavo {

std::uint64_t unix_time_millis() {
    timespec now{};
    if (::clock_gettime(CLOCK_REALTIME, &now) != 0 || now.tv_sec < 0) {
        return 0;
    }
    return static_cast<std::uint64_t>(now.tv_sec) * 1000 +
           static_cast<std::uint64_t>(now.tv_nsec) / 1000000;
}

}  // namespace kavo
