// Platform seam: facts about the running process.
#pragma once

#include <vector>

#include "platform/native_string.h"
#include "platform/os_error.h"

namespace kavo {

// The process's own argument list, the program path first.
OsResult<std::vector<NativeString>> process_arguments();
// The full path of the running executable.
OsResult<NativeString> running_executable_path();

}  // namespace kavo
