// Service host: the pipe server, the service's main routine once it runs.
// It checks that the core beside the daemon is the configured one, creates
// the shared core slot and the first pipe instance, and then goes round
// accept cycles of at most 200 ms: test the stop channel, reclaim an expired
// lease unless a request holds the slot, wait on the listening instance, and
// hand a client that connects to a connection task of its own once the next
// instance is listening. From the first instance until it returns, the pipe
// name always has an instance, so nobody else can take the name. On a stop
// message it stops the core and returns.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include <asio/awaitable.hpp>

#include "async/blocking_pool.h"
#include "core/core_slot.h"
#include "core/supervisor.h"
#include "host/stop_channel.h"
#include "platform/native_string.h"
#include "platform/pipe_listener.h"
#include "platform/result.h"
#include "service/service_config.h"
#include "service/service_pipe.h"

namespace kavo {

// Lines written to standard error; those ending in ": " are followed by a
// message or the system's error text.
inline constexpr std::string_view VALIDATE_BUNDLED_CORE_FAILED =
    "Failed to validate bundled core: ";
inline constexpr std::string_view READ_BUNDLED_CORE_FAILED = "Failed to read bundled core: ";
inline constexpr std::string_view BUNDLED_CORE_HASH_MISMATCH =
    "Bundled core hash does not match the installed service configuration";
inline constexpr std::string_view RECLAIM_EXPIRED_LEASE_FAILED =
    "Failed to reclaim expired KAVO service lease: ";
inline constexpr std::string_view CREATE_PIPE_FAILED = "Failed to create KAVO service IPC pipe: ";
inline constexpr std::string_view ACCEPT_PIPE_FAILED = "Failed to accept KAVO service IPC pipe: ";
inline constexpr std::string_view SHUTDOWN_STOP_FAILED =
    "Failed to stop the KAVO managed core during service shutdown";

// The reclaim of an expired lease that an accept cycle runs when it finds
// the slot's lock free, in the hold it took.
using ReclaimOperation = std::function<asio::awaitable<Result<void>>(CoreSlot::Access&)>;

// The creation of one more listening instance of the endpoint.
using CreateInstanceOperation = std::function<OsResult<PipeInstance>(PipeEndpoint&)>;

// What a run of the pipe server works with besides its configuration. The
// service passes the defaults; tests name their own pipe, clock, core,
// reclaim, instance creation and start hooks.
struct PipeServerOptions {
    std::string pipe_name = std::string(PIPE_NAME);
    std::chrono::milliseconds accept_wait = ACCEPT_POLL_INTERVAL;
    // Where the blocking steps run; must outlive the server and every
    // connection task.
    BlockingPool* pool = nullptr;
    MonotonicClock clock = std::chrono::steady_clock::now;
    // Finds the core executable; locate_core_executable() when empty.
    std::function<Result<NativeString>()> locate_core;
    ReclaimOperation reclaim = [](CoreSlot::Access& slot) { return reclaim_expired_lease(slot); };
    // PipeEndpoint::create_instance when empty.
    CreateInstanceOperation create_instance;
    // Handed to every connection task's starts.
    CoreStartHooks start_hooks;
};

// The core executable's SHA-256 as 64 lowercase hex digits, read once
// through one handle; the error is the system's text.
Result<std::string> bundled_core_digest(const NativeString& core_path);

// Why a run of the pipe server ended.
enum class PipeServerEnd {
    // A stop message, after the core was stopped.
    stopped,
    // The core beside the daemon could not be found or read, or is not the
    // configured one.
    core_check_failed,
    // The first pipe instance could not be created: the name is somebody
    // else's, or the system refuses it.
    first_pipe_failed,
};

// Runs until a stop message, or returns early when the start-up check or the
// creation of the first pipe instance fails; every failure is one line on
// standard error. A later instance that cannot be created is written once
// per run of failures and tried again every cycle. Connection tasks it
// started are neither awaited nor stopped.
asio::awaitable<PipeServerEnd> run_pipe_server(StopReceiver stop, ServiceConfig config,
                                               PipeServerOptions options);

}  // namespace kavo
