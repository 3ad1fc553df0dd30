#include "core/runtime_entry_name.h"

#include <algorithm>

#include "platform/hex.h"

namespace kavo {

bool is_runtime_id(std::string_view text) {
    return text.size() == RUNTIME_ID_DIGITS && std::all_of(text.begin(), text.end(), is_hex_digit);
}

bool is_runtime_entry_name(std::string_view name) {
    if (name.starts_with(RUNTIME_STAGING_PREFIX)) {
        return is_runtime_id(name.substr(RUNTIME_STAGING_PREFIX.size()));
    }
    return is_runtime_id(name);
}

std::string runtime_staging_name(std::string_view lease_id) {
    std::string name(RUNTIME_STAGING_PREFIX);
    name.append(lease_id);
    return name;
}

}  // namespace kavo
