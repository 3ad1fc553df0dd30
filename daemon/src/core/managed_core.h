// Core runtime, driven: the one running core, with everything that keeps it:
// its process, the job that ends it together with whatever it starts, and the
// end of its log pumps.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

#include "core/core_log_pump.h"
#include "platform/os_error.h"
#include "platform/process.h"

namespace kavo {

// How long a stop waits for the log pumps of an ended core to let go of the
// files in its runtime directory before it removes the directory anyway.
inline constexpr std::chrono::seconds CORE_LOG_DRAIN_BOUND{5};

// How long a stop waits, once it has ended everything in the core's job, for
// the job to hold no process before it removes the runtime directory anyway
// (a removal that then fails is deferred to the next sweep).
inline constexpr std::chrono::seconds CORE_JOB_EMPTY_BOUND{5};

// A started core (or one that has ended but is not yet reaped). Destroying it
// always ends the process: it is ended as by end(); then its handles are
// closed, the job last, which ends whatever the core left behind (the core
// too, should end() have failed). Destruction may block: owners destroy it
// off the I/O threads.
class ManagedCore {
  public:
    ManagedCore(ChildProcess process, ProcessJob job);
    ManagedCore(ManagedCore&& other) noexcept;
    ManagedCore& operator=(ManagedCore&& other) noexcept;
    ManagedCore(const ManagedCore&) = delete;
    ManagedCore& operator=(const ManagedCore&) = delete;
    ~ManagedCore();

    ChildProcess& process() { return *process_; }
    // The job the core runs in, with whatever it started.
    const ProcessJob& job() const { return *job_; }

    // The zero-time poll: the exit code once the core has ended, nullopt
    // while it runs.
    OsResult<std::optional<std::uint32_t>> poll() { return process_->poll(); }

    // Terminates the core (unless it has ended) and waits for the process,
    // without a time limit. True once it has ended. Blocks.
    bool end();

    // Keeps the end of the core's log pumps (from start_core_log).
    void keep_log_pumps(CoreLogPumps pumps) { log_pumps_.emplace(std::move(pumps)); }
    const std::optional<CoreLogPumps>& log_pumps() const { return log_pumps_; }

    // For a core that has ended: ends anything the core left running in its
    // job, which could still hold its output pipes or use its runtime
    // directory, and waits up to CORE_JOB_EMPTY_BOUND until the job holds no
    // process; closes the job; then waits up to `bound` for the log pumps to
    // end and close the log. True when nothing of the core is left using the
    // directory; false when a bound ran out. Blocks.
    bool release_runtime_dir(std::chrono::milliseconds bound);

  private:
    std::optional<ChildProcess> process_;
    std::optional<ProcessJob> job_;
    std::optional<CoreLogPumps> log_pumps_;
};

}  // namespace kavo
