// Core: the pumps of the core log. One thread per output pipe of a started
// core reads it to its end and hands every line to the core's log writer.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string_view>

#include "platform/native_string.h"
#include "platform/process.h"
#include "platform/result.h"

namespace kavo {

inline constexpr std::string_view CORE_LOG_THREAD_FAILED = "Failed to start the core log reader";

// Runs `body` on a new detached thread; fails when no thread can be created.
using ThreadLauncher = std::function<Result<void>(std::function<void()> body)>;
Result<void> launch_detached_thread(std::function<void()> body);

class CoreLogCompletion;

// The end of the pumps of one log. The owner of the core keeps it, and waits
// on it once the core has ended, before the directory of the log goes.
class CoreLogPumps {
  public:
    // True once every pump has ended and let go of its pipe and of the
    // writer, so that the file is closed; false when `bound` passed first.
    bool wait_for(std::chrono::milliseconds bound) const;

  private:
    explicit CoreLogPumps(std::shared_ptr<CoreLogCompletion> completion);
    friend Result<CoreLogPumps> start_core_log(const NativeString&, ChildProcess&,
                                               const ThreadLauncher&);

    std::shared_ptr<CoreLogCompletion> completion_;
};

// Rotates and opens the log in `log_dir`, writes the start banner, and starts
// a detached thread for each output pipe of `core` (standard output first),
// taking the pipes out of it. Either every pipe gets its thread or none does:
// when a thread cannot be created the start fails, the pipes are closed and
// no writer is left behind.
Result<CoreLogPumps> start_core_log(const NativeString& log_dir, ChildProcess& core,
                                    const ThreadLauncher& launch = launch_detached_thread);

}  // namespace kavo
