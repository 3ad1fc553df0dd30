// Platform seam: the system random source.
#pragma once

#include <cstdint>
#include <span>

#include "platform/os_error.h"

namespace kavo {

// Fills `out` from the system random source (ProcessPrng where Windows offers
// it, BCryptGenRandom otherwise; getrandom on Linux).
OsResult<void> fill_random(std::span<std::uint8_t> out);

}  // namespace kavo
