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

// Whether the Windows build runs under Wine rather than on Windows. Wine only
// approximates some objects (file access lists among them); tests that check
// those skip there, saying why. Always false on Linux.
bool running_under_wine();

}  // namespace kavo
