// Installation, pure: the names of the install staging directories and of
// files set aside, which the installer and the removal both recognise.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kavo {

// Install staging directories: siblings of the service root named
// "Service.staging-" and 32 hexadecimal digits.
inline constexpr std::string_view SERVICE_STAGING_PREFIX = "Service.staging-";
inline constexpr std::size_t SERVICE_STAGING_NAME_LEN = 48;

// Exactly 48 bytes: the prefix, then 32 hexadecimal digits of either case.
bool is_service_staging_name(std::string_view name);
// The prefix and `id` (the installer passes 32 lowercase digits).
std::string service_staging_name(std::string_view id);

// Files of the installation's own that a removal has to set aside (the image
// of an uninstaller run from the installed copy, which Windows will not
// delete while it runs) wait in the install parent under their own name, this
// infix and 32 lowercase hexadecimal digits, until they can be deleted.
inline constexpr std::string_view SET_ASIDE_INFIX = ".removed-";

// `name`, the infix and `id` (32 lowercase digits).
std::string set_aside_name(std::string_view name, std::string_view id);
// A name of at least one byte, the infix, then exactly 32 lowercase
// hexadecimal digits.
bool is_set_aside_name(std::string_view name);

}  // namespace kavo
