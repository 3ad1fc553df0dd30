// Platform seam: facts about the running process.
#pragma once

#include <cstdint>
#include <memory>
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

// A process watched until it ends, through a handle of its own (Windows: a
// process handle with the right to wait on it; Linux: a pidfd), so that an
// identifier a later process reuses is never taken for the one watched.
class ProcessWatch {
  public:
    // A process that does not exist (or no longer does) fails with
    // OsErrorKind::not_found.
    static OsResult<ProcessWatch> open(std::uint32_t id);

    ProcessWatch(ProcessWatch&&) noexcept;
    ProcessWatch& operator=(ProcessWatch&&) noexcept;
    ~ProcessWatch();

    // A zero-time look: whether the process has ended. One that has ended
    // but was not yet reaped by its parent counts as ended.
    OsResult<bool> has_ended() const;

    struct Impl;

  private:
    explicit ProcessWatch(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

// Whether the Windows build runs under Wine rather than on Windows. Wine only
// approximates some objects (file access lists among them); tests that check
// those skip there, saying why. Always false on Linux.
bool running_under_wine();

}  // namespace kavo
