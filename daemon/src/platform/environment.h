// Platform seam: the process environment.
#pragma once

#include <optional>
#include <string_view>

#include "platform/native_string.h"

namespace kavo {

// An environment variable of this process as an OS string (it need not be
// Unicode); nullopt when it is not set.
std::optional<NativeString> read_environment_variable(std::string_view name);

}  // namespace kavo
