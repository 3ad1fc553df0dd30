// Where the service's files are on this machine: the service root under
// %ProgramData% and the core beside an executable.
#pragma once

#include <optional>
#include <string_view>

#include "platform/native_string.h"
#include "platform/result.h"

namespace kavo {

inline constexpr std::string_view PROGRAM_DATA_UNAVAILABLE = "ProgramData is unavailable";
inline constexpr std::string_view PROGRAM_DATA_NOT_ABSOLUTE =
    "ProgramData must be an absolute path";
// The core is looked for beside the daemon and is not there (or is not a
// plain file).
inline constexpr std::string_view CORE_BINARY_UNAVAILABLE = "Bundled core binary is unavailable";

// %ProgramData%\KAVO\Service, from the process environment. Not created here.
Result<NativeString> service_root_dir();

// <service root>\Runtime.
NativeString runtime_root_dir(NativeView service_root);

// The core's path beside `executable`, or nothing when `executable` has no
// parent directory. Nothing is looked at on disk.
std::optional<NativeString> core_beside(NativeView executable);

}  // namespace kavo
