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

// Stops `remains` on the pool and settles the slot with the outcome; true
// when the stop completed.
asio::awaitable<bool> stop_remains(CoreSlot::Access& slot, CoreRemains remains,
                                   bool release_lease) {
    const bool had_runtime_dir = remains.runtime_dir.has_value();
    auto stop = [remains = std::move(remains)]() mutable { return stop_core(std::move(remains)); };
    auto outcome = co_await slot.pool().run(std::move(stop));
    // A stop that threw took what it held of the core with it, on the pool,
    // and a core that goes is ended; only its directory may be left.
    StopOutcome ended{{}, true, had_runtime_dir};
    co_return slot.settle(outcome ? std::move(outcome).value() : std::move(ended), release_lease);
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

StopOutcome stop_core(CoreRemains remains) {
    StopOutcome outcome;
    if (remains.core) {
        if (!remains.core->end()) {
            outcome.kept = std::move(remains);
            return outcome;
        }
        // Nothing of the core may still use its directory when it goes:
        // whatever it left running in its job is ended and waited for, and
        // the log pumps let go of the log. A job or pumps that overrun their
        // bounds do not hold the stop; the removal may then be deferred.
        static_cast<void>(remains.core->release_runtime_dir(CORE_LOG_DRAIN_BOUND));
        remains.core.reset();
    }
    if (remains.runtime_dir) {
        outcome.cleanup_deferred = !remove_runtime_dir(*remains.runtime_dir);
    }
    outcome.stopped = true;
    return outcome;
}

asio::awaitable<bool> stop_and_settle(CoreSlot::Access& slot) {
    co_return co_await stop_remains(slot, slot.begin_stop(), true);
}

asio::awaitable<Result<void>> reclaim_expired_lease(std::shared_ptr<CoreSlot> slot) {
    CoreSlot::Access access = co_await slot->lock();
    co_return co_await reclaim_expired_lease(access);
}

asio::awaitable<Result<void>> reclaim_expired_lease(CoreSlot::Access& slot) {
    if (!slot.lease().reclaim_due(slot.now())) {
        co_return ok();
    }
    const bool stopped = co_await stop_and_settle(slot);
    if (!stopped) {
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
    if (ManagedCore* existing = slot.core()) {
        const auto polled = existing->poll();
        if (!polled) {
            slot.mark_stuck();
            co_return fail(with_text(INSPECT_EXISTING_CORE_FAILED, polled.error().text));
        }
        if (!polled->has_value()) {
            co_return ok();
        }
        // The lease stays; only a core that no longer answers a poll keeps
        // the ended one recorded, stuck.
        const bool retired = co_await stop_remains(slot, slot.take_remains(), false);
        if (!retired) {
            // The stop's own poll failed; its system text is not kept.
            co_return fail(with_text(INSPECT_EXISTING_CORE_FAILED, WINAPI_CALL_FAILED));
        }
    }

    // 2 and 3. The executable, the core directory, the sweep and the staging.
    auto prepare = [core_dir, lease_id, locate = hooks.locate] {
        return prepare_start(core_dir, lease_id, locate);
    };
    auto prepared = co_await pool.run(std::move(prepare));
    if (!prepared) {
        co_await stop_and_settle(slot);
        co_return fail(std::move(prepared).error());
    }
    const NativeString runtime_dir = prepared->runtime_dir;

    // 4. The launch.
    auto launch = [core_path = prepared->core_path, runtime_dir] {
        return launch_core(core_path, runtime_dir);
    };
    auto launched = co_await pool.run(std::move(launch));
    if (!launched) {
        slot.record({std::nullopt, runtime_dir});
        co_await stop_and_settle(slot);
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
        slot.record({std::nullopt, runtime_dir});
        co_await stop_and_settle(slot);
        co_return fail(std::move(logged).error());
    }
    ManagedCore core = std::move(logged->first);
    if (!logged->second) {
        slot.record({std::move(core), runtime_dir});
        co_await stop_and_settle(slot);
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
        slot.record({std::move(core), runtime_dir});
        co_await stop_and_settle(slot);
        co_return fail(std::move(error));
    }
    slot.record({std::move(core), runtime_dir});
    co_return ok();
}
#pragma GCC diagnostic pop

}  // namespace kavo
