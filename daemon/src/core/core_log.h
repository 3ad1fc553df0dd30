// Core: the core's log. Both output pipes of a started core are read by a
// thread each, and every line, with its credentials removed, is appended to
// "core.log" in the core's runtime directory, which is rotated at 5 MiB.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "platform/append_file.h"
#include "platform/native_string.h"
#include "platform/process.h"
#include "platform/result.h"

namespace kavo {

// Messages; those ending in ": " are followed by the system's error text.
inline constexpr std::string_view CORE_LOG_PRUNE_FAILED = "Failed to prune core log: ";
inline constexpr std::string_view CORE_LOG_ROTATE_FAILED = "Failed to rotate core log: ";
inline constexpr std::string_view CORE_LOG_OPEN_FAILED = "Failed to open core log: ";
inline constexpr std::string_view CORE_LOG_WRITE_FAILED = "Failed to write core log: ";
inline constexpr std::string_view CORE_LOG_UNAVAILABLE = "Core log is unavailable";
inline constexpr std::string_view CORE_LOG_THREAD_FAILED = "Failed to start the core log reader";

// The text written at each start: with the line feed that every line gets,
// an empty line followed by "--- KAVO core start <ms> ---".
std::string core_log_banner(std::uint64_t unix_millis);

// The log of one core, shared by its two pump threads behind one mutex.
struct CoreLogWriter {
    NativeString log_dir;
    // Absent after a failed rotation or reopen; the next line tries again.
    std::optional<AppendFile> file;
    // Bytes written to the current file (saturating); starts at its size.
    std::uint64_t written = 0;
};

// Shifts "core.log" to "core.log.1" (and the older files one further, the
// oldest dropped) when it has reached the rotation size.
Result<void> rotate_core_log(const NativeString& log_dir);

// Appends `text` and a line feed, first moving to a fresh file when the line
// would take the current one beyond the rotation size.
Result<void> write_core_log_line(CoreLogWriter& writer, std::string_view text);

// Rotates and opens the log in `log_dir`, writes the start banner, and starts
// a detached thread for each output pipe of `core` (standard output first),
// taking the pipes out of it. Either every pipe gets its thread or none does:
// when a thread cannot be created the start fails, the pipes are closed and
// no writer is left behind.
Result<void> start_core_log(const NativeString& log_dir, ChildProcess& core);

// Signalled once every pump thread of one log has ended and let go of its pipe
// and of the writer, so the file is closed by then.
class CoreLogCompletion {
  public:
    explicit CoreLogCompletion(unsigned pumps) : remaining_(pumps) {}
    void pump_ended();
    void wait();

  private:
    std::mutex mutex_;
    std::condition_variable ended_;
    unsigned remaining_;
};

// Runs `body` on a new detached thread; fails when no thread can be created.
using ThreadLauncher = std::function<Result<void>(std::function<void()> body)>;
Result<void> launch_detached_thread(std::function<void()> body);

// start_core_log with its end made observable (tests and benchmarks) and the
// thread creation replaceable.
Result<std::shared_ptr<CoreLogCompletion>> start_observed_core_log(
    const NativeString& log_dir, ChildProcess& core,
    const ThreadLauncher& launch = launch_detached_thread);

}  // namespace kavo
