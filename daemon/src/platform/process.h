// Platform seam: child processes whose standard output and standard error go
// to pipes that this process reads. The child inherits the write ends of those
// two pipes and nothing else of ours; its standard input is not redirected.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "platform/native_string.h"
#include "platform/os_error.h"

namespace kavo {

// The read end of one output pipe of a child.
class PipeReader {
  public:
    PipeReader(PipeReader&&) noexcept;
    PipeReader& operator=(PipeReader&&) noexcept;
    ~PipeReader();

    // Blocks until bytes arrive: their count, 0 at end of file, or the error.
    // Once the child has closed its end, Windows reports the broken-pipe error
    // (OsErrorKind::broken_pipe), which callers treat as end of file.
    OsResult<std::size_t> read(std::span<char> buffer);

    struct Impl;
    explicit PipeReader(std::unique_ptr<Impl> impl);

  private:
    std::unique_ptr<Impl> impl_;
};

struct SpawnOptions {
    // Full path of the executable; it is also the child's first argument.
    NativeString program;
    // The arguments after the program.
    std::vector<NativeString> arguments;
    // Empty: the child starts in our working directory.
    NativeString working_directory;
    // Variables set for the child on top of our own environment.
    std::vector<std::pair<NativeString, NativeString>> environment;
};

// A started child: its process (and, on Windows, primary thread) handle and
// the read ends of its output pipes until they are taken out. Dropping it
// closes the handles but does not end the process; its owner decides that.
class ChildProcess {
  public:
    static OsResult<ChildProcess> spawn(const SpawnOptions& options);

    ChildProcess(ChildProcess&&) noexcept;
    ChildProcess& operator=(ChildProcess&&) noexcept;
    ~ChildProcess();

    std::optional<PipeReader>& standard_output() { return standard_output_; }
    std::optional<PipeReader>& standard_error() { return standard_error_; }

    // A zero-time wait: the exit code once the process has ended, nullopt
    // while it runs.
    OsResult<std::optional<std::uint32_t>> poll();
    // Waits without a time limit and returns the exit code.
    OsResult<std::uint32_t> wait();
    // Ends the process with `exit_code` (on Linux it is killed; its status
    // then reads 128 + the signal number).
    OsResult<void> terminate(std::uint32_t exit_code);

    struct Impl;
    Impl& impl() { return *impl_; }

  private:
    ChildProcess(std::unique_ptr<Impl> impl, PipeReader out, PipeReader err);

    std::unique_ptr<Impl> impl_;
    std::optional<PipeReader> standard_output_;
    std::optional<PipeReader> standard_error_;
};

}  // namespace kavo
