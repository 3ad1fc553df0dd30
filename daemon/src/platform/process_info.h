// Platform seam: facts about the running process.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/native_string.h"
#include "platform/os_error.h"

namespace kavo {

// The process's own argument list, the program path first.
OsResult<std::vector<NativeString>> process_arguments();
// The full path of the running executable.
OsResult<NativeString> running_executable_path();

// The system's identifier of this process.
std::uint32_t current_process_id();

// Whether a process with this identifier exists and has not ended. One that
// has ended but was not yet reaped by its parent counts as ended. (An
// identifier can be reused by a later process; callers ask soon after.)
bool process_is_running(std::uint32_t id);

// Whether the Windows build runs under Wine rather than on Windows. Wine only
// approximates some objects (file access lists among them); tests that check
// those skip there, saying why. Always false on Linux.
bool running_under_wine();

}  // namespace kavo
