#include "core/supervisor.h"

#include <utility>

#include <asio/redirect_error.hpp>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

#include "core/core_log_pump.h"
#include "core/exit_status.h"
#include "core/protected_dirs.h"
#include "core/runtime_staging.h"
#include "platform/diagnostics.h"
#include "platform/file_attributes.h"
#include "platform/fs.h"
#include "platform/path.h"
#include "platform/process_info.h"

namespace kavo {

// Every lambda handed to the pool below is named before the co_await: gcc 12
// destroys a closure that is a temporary inside a co_await expression twice.

namespace {

// Moves the value out and leaves the optional empty (a plain move would
// leave it holding a moved-from value).
template <class T>
std::optional<T> take(std::optional<T>& from) {
    std::optional<T> taken = std::move(from);
    from.reset();
    return taken;
}

std::string with_text(std::string_view message, std::string_view text) {
    std::string out(message);
    out.append(text);
    return out;
}

// Terminates (unless it has ended), then waits for the process. True once it
// has ended.
bool end_for_stop(ManagedCore& core) {
    const auto polled = core.poll();
    if (!polled) {
        return false;
    }
    if (polled->has_value()) {
        return true;
    }
    if (auto terminated = core.process().terminate(1); !terminated) {
        // Windows refuses to terminate a process that has just ended: that
        // is an end too, as long as the process still answers a poll.
        if (terminated.error().kind != OsErrorKind::access_denied) {
            return false;
        }
        const auto again = core.poll();
        if (!again || !again->has_value()) {
            return false;
        }
    }
    // The core's standard input is not redirected: no handle to close first.
    return core.process().wait().has_value();
}

// What the blocking steps before the launch found.
struct Prepared {
    NativeString core_path;
    StagedRuntime runtime_dir;
};

Result<Prepared> prepare_start(const NativeString& core_dir, const std::string& lease_id,
                               const std::function<Result<NativeString>()>& locate) {
    KAVO_TRY(NativeString core_path, locate ? locate() : locate_core_executable());
    if (auto created = create_directories(core_dir); !created) {
        return fail(with_text(CREATE_CORE_DIRECTORY_FAILED, created.error().text));
    }
    sweep_runtime_root(std::nullopt);
    KAVO_TRY(StagedRuntime runtime_dir, stage_runtime(core_dir, lease_id));
    return Prepared{std::move(core_path), std::move(runtime_dir)};
}

}  // namespace

Result<NativeString> locate_core_executable() {
    const auto executable = running_executable_path();
    if (!executable) {
        return fail(with_text(RESOLVE_SERVICE_PATH_FAILED, executable.error().text));
    }
    return locate_core_executable(*executable);
}

Result<NativeString> locate_core_executable(const NativeString& executable_path) {
    auto beside = core_beside(executable_path);
    if (!beside) {
        return fail(std::string(RESOLVE_SERVICE_DIRECTORY_FAILED));
    }
    NativeString core = std::move(beside).value();
    const auto attributes = read_attributes_following(core);
    if (!attributes || (attributes->attributes & ATTRIBUTE_DIRECTORY) != 0 ||
        is_link(*attributes)) {
        return fail(std::string(CORE_BINARY_UNAVAILABLE));
    }
    return core;
}

Result<ManagedCore> launch_core(const NativeString& core_path, const NativeString& runtime_dir,
                                const JobFactory& create_job) {
    SpawnOptions options;
    options.program = core_path;
    options.arguments = {NativeString(KAVO_NATIVE("-d")), runtime_dir};
    options.working_directory = runtime_dir;
    return bind_core_to_job(std::move(options), create_job);
}

Result<ManagedCore> bind_core_to_job(SpawnOptions options, const JobFactory& create_job) {
    auto job = create_job();
    if (!job) {
        return fail(std::string(CREATE_CORE_JOB_FAILED));
    }
    // The limit is in force before the core exists: there is no moment in
    // which the daemon could end and leave the core behind.
    if (auto limited = job->set_kill_on_close(); !limited) {
        return fail(std::string(BIND_CORE_LIFECYCLE_FAILED));
    }
    options.job = &job.value();
    auto spawned = ChildProcess::spawn(options);
    if (!spawned) {
        return fail(std::move(spawned).error().text);
    }
    return ManagedCore(std::move(spawned).value(), std::move(job).value());
}

StopOutcome stop_core(std::optional<ManagedCore> core, std::optional<NativeString> runtime_dir) {
    StopOutcome outcome;
    if (core) {
        if (!end_for_stop(*core)) {
            outcome.core = std::move(core);
            outcome.runtime_dir = std::move(runtime_dir);
            return outcome;
        }
        // Nothing of the core may still use its directory when it goes:
        // whatever it left running in its job is ended and waited for, and
        // the log pumps let go of the log. A job or pumps that overrun their
        // bounds do not hold the stop; the removal may then be deferred.
        static_cast<void>(core->release_runtime_dir(CORE_LOG_DRAIN_BOUND));
    }
    if (runtime_dir) {
        outcome.cleanup_deferred = !remove_runtime_dir(*runtime_dir);
    }
    core.reset();
    outcome.stopped = true;
    return outcome;
}

bool settle_core_slot(CoreSlot::Access& slot, StopOutcome outcome) {
    if (outcome.stopped) {
        slot.core().reset();
        slot.lease().reset();
        slot.stop_pending() = false;
        if (outcome.cleanup_deferred) {
            // The directory stays until the next sweep.
            write_error_line(DEFERRED_RUNTIME_CLEANUP);
        }
        return true;
    }
    slot.core() = take(outcome.core);
    if (slot.lease() && outcome.runtime_dir) {
        slot.lease()->runtime_dir = take(outcome.runtime_dir);
    }
    slot.stop_pending() = true;
    return false;
}

asio::awaitable<bool> stop_and_settle(CoreSlot::Access& slot,
                                      std::optional<NativeString> runtime_dir) {
    slot.stop_pending() = true;
    const bool had_runtime_dir = runtime_dir.has_value();
    auto stop = [core = take(slot.core()), runtime_dir = std::move(runtime_dir)]() mutable {
        return stop_core(std::move(core), std::move(runtime_dir));
    };
    auto outcome = co_await slot.pool().run(std::move(stop));
    if (!outcome) {
        // The stop threw. Whatever it held of the core went with it, on the
        // pool, and a core that goes is ended; only its directory may be
        // left, for the next sweep.
        StopOutcome ended;
        ended.stopped = true;
        ended.cleanup_deferred = had_runtime_dir;
        co_return settle_core_slot(slot, std::move(ended));
    }
    co_return settle_core_slot(slot, std::move(outcome).value());
}

asio::awaitable<Result<void>> reclaim_expired_lease(std::shared_ptr<CoreSlot> slot) {
    CoreSlot::Access access = co_await slot->lock();
    co_return co_await reclaim_expired_lease(access);
}

asio::awaitable<Result<void>> reclaim_expired_lease(CoreSlot::Access& slot) {
    // A lease whose expiry is exactly now has expired.
    if (slot.stop_pending() || !slot.lease() || slot.lease()->expires_at > slot.now()) {
        co_return ok();
    }
    std::optional<NativeString> runtime_dir = take(slot.lease()->runtime_dir);
    if (!co_await stop_and_settle(slot, std::move(runtime_dir))) {
        co_return fail(std::string(STOP_EXPIRED_CORE_FAILED));
    }
    co_return ok();
}

// gcc 12 for Windows takes Asio's frame allocation (its own operator new,
// which calls the global one) for a mismatch with the frame's operator delete
// once enough of this coroutine is inlined. The pair does match.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
asio::awaitable<Result<void>> start_core(CoreSlot::Access& slot, NativeString core_dir,
                                         std::string lease_id, CoreStartHooks hooks) {
    BlockingPool& pool = slot.pool();

    // 1. A core that still runs stays and counts as started; one that ended
    // goes, and its job and log pumps finish before the sweep below removes
    // its old directory.
    if (slot.core()) {
        const auto polled = slot.core()->poll();
        if (!polled) {
            slot.stop_pending() = true;
            co_return fail(with_text(INSPECT_EXISTING_CORE_FAILED, polled.error().text));
        }
        if (!polled->has_value()) {
            co_return ok();
        }
        auto retire = [ended = take(slot.core())]() mutable {
            static_cast<void>(ended->release_runtime_dir(CORE_LOG_DRAIN_BOUND));
            ended.reset();
        };
        // Had it thrown, the core would have gone with it all the same.
        static_cast<void>(co_await pool.run(std::move(retire)));
    }

    // 2 and 3. The executable, the core directory, the sweep and the staging.
    auto prepare = [core_dir, lease_id, locate = hooks.locate] {
        return prepare_start(core_dir, lease_id, locate);
    };
    auto prepared = co_await pool.run(std::move(prepare));
    if (!prepared) {
        co_await stop_and_settle(slot, std::nullopt);
        co_return fail(std::move(prepared).error());
    }
    const NativeString runtime_dir = prepared->runtime_dir;

    // 4. The launch.
    auto launch = [core_path = prepared->core_path, runtime_dir] {
        return launch_core(core_path, runtime_dir);
    };
    auto launched = co_await pool.run(std::move(launch));
    if (!launched) {
        co_await stop_and_settle(slot, runtime_dir);
        co_return fail(with_text(START_BUNDLED_CORE_FAILED, launched.error()));
    }

    // 5. The log. The core travels to the pool and back with its result.
    auto log = [core = std::move(launched).value(), runtime_dir]() mutable {
        auto pumps = start_core_log(runtime_dir, core.process());
        return std::pair<ManagedCore, Result<CoreLogPumps>>(std::move(core), std::move(pumps));
    };
    auto logged = co_await pool.run(std::move(log));
    if (!logged) {
        // The core went with the work that threw; its directory goes now.
        co_await stop_and_settle(slot, runtime_dir);
        co_return fail(std::move(logged).error());
    }
    ManagedCore core = std::move(logged->first);
    if (!logged->second) {
        slot.core() = std::move(core);
        co_await stop_and_settle(slot, runtime_dir);
        co_return fail(std::move(logged->second).error());
    }
    core.keep_log_pumps(std::move(logged->second).value());

    // 6. The startup watch, without holding a thread.
    asio::steady_timer watch(co_await asio::this_coro::executor);
    watch.expires_after(hooks.startup_grace.value_or(STARTUP_GRACE));
    asio::error_code cancelled;
    co_await watch.async_wait(asio::redirect_error(asio::use_awaitable, cancelled));
    const auto polled = core.poll();
    if (!polled || polled->has_value()) {
        std::string error =
            polled ? with_text(CORE_EXITED_DURING_STARTUP, core_exit_status_text(**polled))
                   : with_text(INSPECT_STARTING_CORE_FAILED, polled.error().text);
        slot.core() = std::move(core);
        co_await stop_and_settle(slot, runtime_dir);
        co_return fail(std::move(error));
    }
    if (slot.lease()) {
        slot.lease()->runtime_dir = runtime_dir;
    }
    slot.core() = std::move(core);
    co_return ok();
}
#pragma GCC diagnostic pop

}  // namespace kavo
