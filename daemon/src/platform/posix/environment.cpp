#include "platform/environment.h"

#include <cstdlib>
#include <string>

namespace kavo {

std::optional<NativeString> read_environment_variable(std::string_view name) {
    const std::string key(name);
    const char* value = std::getenv(key.c_str());
    if (value == nullptr) {
        return std::nullopt;
    }
    return NativeString(value);
}

}  // namespace kavo
