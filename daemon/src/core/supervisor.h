// Core runtime, driven: the core process supervisor. Finds the core beside the
// running executable, launches it on a staged runtime in a job that ends it
// with everything it starts, watches its first moments, stops it and reclaims
// its runtime directory, and applies each outcome to the shared CoreSlot.
//
// Blocking steps (process waits, staging, directory removal) run on the
// slot's BlockingPool; the asynchronous operations take the slot's Access, so
// the caller holds the mutex throughout.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <asio/awaitable.hpp>

#include "core/core_slot.h"
#include "core/managed_core.h"
#include "platform/native_string.h"
#include "platform/os_error.h"
#include "platform/process.h"
#include "platform/result.h"
#include "service/service_names.h"
#include "service/service_paths.h"

namespace kavo {

// How long a freshly launched core must stay up for its start to count.
inline constexpr std::chrono::milliseconds STARTUP_GRACE{750};

// Messages. Those ending in ": " are followed by an error text.
inline constexpr std::string_view RESOLVE_SERVICE_PATH_FAILED = "Failed to resolve service path: ";
inline constexpr std::string_view RESOLVE_SERVICE_DIRECTORY_FAILED =
    "Failed to resolve service directory";
inline constexpr std::string_view CREATE_CORE_JOB_FAILED = "Failed to create the core process job";
inline constexpr std::string_view BIND_CORE_LIFECYCLE_FAILED =
    "Failed to bind the core process lifecycle";
inline constexpr std::string_view INSPECT_CORE_FAILED = "Failed to inspect core: ";
inline constexpr std::string_view INSPECT_EXISTING_CORE_FAILED =
    "Failed to inspect existing core: ";
inline constexpr std::string_view CREATE_CORE_DIRECTORY_FAILED =
    "Failed to create core directory: ";
inline constexpr std::string_view START_BUNDLED_CORE_FAILED = "Failed to start bundled core: ";
inline constexpr std::string_view CORE_EXITED_DURING_STARTUP =
    "Bundled core exited during startup with status ";
inline constexpr std::string_view INSPECT_STARTING_CORE_FAILED =
    "Failed to inspect bundled core during startup: ";
inline constexpr std::string_view STOP_EXPIRED_CORE_FAILED = "Failed to stop the expired core";

// The path of the core beside the running executable, checked to be there
// and not a directory or a link.
Result<NativeString> locate_core_executable();
// The same beside `executable_path` instead of the running executable.
Result<NativeString> locate_core_executable(const NativeString& executable_path);

// Where tests step in to give the core a job of their own.
using JobFactory = std::function<OsResult<ProcessJob>()>;

// Starts the core as `core_path -d runtime_dir`, in that directory, with its
// output on two pipes, inside a job (bind_core_to_job). Errors are the
// spawn's system text or one of the two job messages. Blocks briefly (the
// spawn).
Result<ManagedCore> launch_core(const NativeString& core_path, const NativeString& runtime_dir,
                                const JobFactory& create_job = ProcessJob::create);

// Creates the job, makes it end its processes when it closes, and only then
// spawns the core per `options`, inside the job: the core never runs, nor
// starts anything, outside it, and if the daemon ends at any moment after
// the spawn, the job takes the core along. When the job cannot be had
// ("Failed to create the core process job", "Failed to bind the core
// process lifecycle"), no core is started; a spawn error is returned as its
// text.
Result<ManagedCore> bind_core_to_job(SpawnOptions options,
                                     const JobFactory& create_job = ProcessJob::create);

// Ends the core of `remains` (ManagedCore::end) and removes its runtime
// directory once nothing of the core uses it any more: whatever is left in
// its job is ended and given CORE_JOB_EMPTY_BOUND to be gone, the job is
// closed, and the log pumps are given CORE_LOG_DRAIN_BOUND to let go of the
// log. With no core, only the directory is removed. Blocks, without a time
// limit on the wait for a terminated core. A core found ended is retired the
// same way.
StopOutcome stop_core(CoreRemains remains);

// Begins a stop on the slot, stops its remains on the slot's pool and
// settles the slot. True when the stop completed.
asio::awaitable<bool> stop_and_settle(CoreSlot::Access& slot);

// Stops the core of an expired lease and clears the lease; nothing while a
// stop is pending or the lease is live. A lease whose expiry equals now is
// expired. The caller must not hold the mutex: this waits for it.
asio::awaitable<Result<void>> reclaim_expired_lease(std::shared_ptr<CoreSlot> slot);
// The same in a hold the caller already has.
asio::awaitable<Result<void>> reclaim_expired_lease(CoreSlot::Access& slot);

// Points where tests step in; production passes none.
struct CoreStartHooks {
    // Finds the core instead of locate_core_executable().
    std::function<Result<NativeString>()> locate;
    // The startup watch instead of STARTUP_GRACE.
    std::optional<std::chrono::milliseconds> startup_grace;
};

// The start of a core for the lease `lease_id`, after the caller's lease
// checks: reuses a core that still runs, otherwise stages the runtime from
// `core_dir`, launches the core, starts its log and watches it for the
// startup grace (an asynchronous wait). On success the core and its
// directory are in the slot; every failure leaves the slot settled.
asio::awaitable<Result<void>> start_core(CoreSlot::Access& slot, NativeString core_dir,
                                         std::string lease_id, CoreStartHooks hooks = {});

}  // namespace kavo
