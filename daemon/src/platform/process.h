// Platform seam: child processes whose standard output and standard error go
// to pipes that this process reads. The child inherits the write ends of those
// two pipes and nothing else of ours; its standard input is not redirected.
// A job ties a child, and everything it starts, to one owner: closing the job
// ends them all.
#pragma once

#include <chrono>
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

class ProcessJob;

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
    // False: the child writes to our own standard output and standard error
    // instead of new pipes, and its ChildProcess has no readers.
    bool capture_output = true;
    // The job the child is started in; it takes in whatever the child starts
    // in turn. The child runs nothing of its program outside the job, so no
    // moment exists in which it, or anything it starts, could be left behind
    // by the job's owner. Windows: the process is created inside the job (the
    // job-list attribute). Linux: the child makes itself the leader of a
    // process group of its own and sets its death signal, its group is taken
    // into the job, and only then is the program executed (the child is
    // forked from one thread that lives as long as this process, since the
    // death signal follows the thread that forked); if this process ends
    // before, the child leaves without running the program. The job must
    // outlive the spawn call only.
    ProcessJob* job = nullptr;
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

    // The system's identifier of the process.
    std::uint32_t id() const;

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
    // Asks the process to end by itself: SIGTERM on Linux, which reads as
    // status 128 + 15 unless the process handles it. Windows has no such
    // request for an arbitrary process, so it is refused there.
    OsResult<void> interrupt();

    struct Impl;
    Impl& impl() { return *impl_; }

  private:
    ChildProcess(std::unique_ptr<Impl> impl, std::optional<PipeReader> out,
                 std::optional<PipeReader> err);

    std::unique_ptr<Impl> impl_;
    std::optional<PipeReader> standard_output_;
    std::optional<PipeReader> standard_error_;
};

// Ends every process started in it, and whatever those started, when it is
// closed (or destroyed). Windows: an unnamed job object with the kill-on-close
// limit and nothing else; its one handle is ours, so it also closes, and its
// processes end, when this process ends in any way. Linux: the process groups
// of the children started in it, killed as a whole on close.
//
// What Linux cannot promise: a process that left its group (setsid, setpgid)
// is not reached by the group kill (nor counted by holds() and end_all()),
// and the group kill only runs while this process is alive to send it. If
// this process is killed outright, a child started in a job still dies (its
// death signal), but its own children that carry no death signal of their
// own live on.
class ProcessJob {
  public:
    static OsResult<ProcessJob> create();

    ProcessJob(ProcessJob&&) noexcept;
    ProcessJob& operator=(ProcessJob&&) noexcept;
    ~ProcessJob();

    // Makes the job end its processes when it is closed: on Windows the
    // kill-on-close limit, and no other; on Linux the group kill on close is
    // built in. Children are started in the job only after this. Fails for
    // a closed job.
    OsResult<void> set_kill_on_close();

    // Whether the process `id` has not ended and is in the job now: on
    // Windows as the system counts it (whatever a member starts is in the job
    // too, which allows no breakaway); on Linux, a process in the group of a
    // child started in it. A closed job answers nothing.
    OsResult<bool> holds(std::uint32_t id) const;

    // Ends every process in the job and waits up to `bound` until none is
    // left, so that nothing of it still uses a file or directory when the
    // call returns. True when the job is empty; false when the bound ran out
    // (what is left still ends, later) or the job could not be asked. Closing
    // alone does not wait: Windows ends a closed job's processes
    // asynchronously. Blocks.
    bool end_all(std::chrono::milliseconds bound);

    // Ends everything in the job now; later calls do nothing.
    void close();

    struct Impl;
    // For the backend's spawn; null once moved from.
    Impl* impl() const { return impl_.get(); }

  private:
    explicit ProcessJob(std::unique_ptr<Impl> impl);

    std::unique_ptr<Impl> impl_;
};

}  // namespace kavo
