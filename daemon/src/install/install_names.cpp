#include "install/install_names.h"

#include <algorithm>

#include "platform/hex.h"

namespace kavo {

bool is_service_staging_name(std::string_view name) {
    if (name.size() != SERVICE_STAGING_NAME_LEN || !name.starts_with(SERVICE_STAGING_PREFIX)) {
        return false;
    }
    const std::string_view digits = name.substr(SERVICE_STAGING_PREFIX.size());
    return std::all_of(digits.begin(), digits.end(), is_hex_digit);
}

std::string service_staging_name(std::string_view id) {
    std::string name(SERVICE_STAGING_PREFIX);
    name.append(id);
    return name;
}

std::string set_aside_name(std::string_view name, std::string_view id) {
    std::string aside(name);
    aside.append(SET_ASIDE_INFIX);
    aside.append(id);
    return aside;
}

bool is_set_aside_name(std::string_view name) {
    constexpr std::size_t DIGITS = 32;
    if (name.size() < 1 + SET_ASIDE_INFIX.size() + DIGITS) {
        return false;
    }
    const std::string_view digits = name.substr(name.size() - DIGITS);
    const std::string_view infix =
        name.substr(name.size() - DIGITS - SET_ASIDE_INFIX.size(), SET_ASIDE_INFIX.size());
    return infix == SET_ASIDE_INFIX && std::all_of(digits.begin(), digits.end(), [](char c) {
               return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
           });
}

}  // namespace kavo
