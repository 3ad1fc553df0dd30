#include "host/pipe_server.h"

#include <optional>
#include <utility>
#include <variant>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

#include "core/protected_dirs.h"
#include "core/supervisor.h"
#include "ipc/connection_task.h"
#include "platform/diagnostics.h"
#include "platform/file_digest.h"
#include "platform/file_handle.h"
#include "platform/pipe_listener.h"

namespace kavo {
namespace {

// The start-up check: the core beside the daemon, read whole, must have the
// configured digest (compared as typed, so an upper-case configuration never
// matches). The digest for the Status answers, or nothing after the line
// that says why not.
asio::awaitable<std::optional<std::string>> check_bundled_core(const ServiceConfig& config,
                                                               const PipeServerOptions& options) {
    auto locate = [&options] {
        return options.locate_core ? options.locate_core() : locate_core_executable();
    };
    auto located = co_await options.pool->run(locate);
    if (!located) {
        write_error_line(with_text(VALIDATE_BUNDLED_CORE_FAILED, located.error()));
        co_return std::nullopt;
    }
    auto hash = [path = std::move(located).value()] { return bundled_core_digest(path); };
    auto digest = co_await options.pool->run(hash);
    if (!digest) {
        write_error_line(with_text(VALIDATE_BUNDLED_CORE_FAILED,
                                   with_text(READ_BUNDLED_CORE_FAILED, digest.error())));
        co_return std::nullopt;
    }
    if (*digest != config.expected_core_sha256) {
        write_error_line(BUNDLED_CORE_HASH_MISMATCH);
        co_return std::nullopt;
    }
    co_return std::move(digest).value();
}

// Failed creations of later instances: the first of a run of them is
// written, the rest are not, until a creation succeeds again.
class CreateFailureStreak {
  public:
    // Whether this failure is the first of its run.
    bool failed() { return !std::exchange(failing_, true); }
    void succeeded() { failing_ = false; }

  private:
    bool failing_ = false;
};

// After a stop message: whatever a connection task is doing with the slot
// finishes first, then the core is stopped whatever the flag says.
asio::awaitable<void> shut_down(const std::shared_ptr<CoreSlot>& slot) {
    auto access = co_await slot->lock();
    const bool stopped = co_await stop_and_settle(access);
    if (!stopped) {
        write_error_line(SHUTDOWN_STOP_FAILED);
    }
}

}  // namespace

Result<std::string> bundled_core_digest(const NativeString& core_path) {
    auto digest = sha256_hex(core_path);
    if (!digest) {
        return fail(std::move(digest).error().text);
    }
    return std::move(digest).value();
}

asio::awaitable<PipeServerEnd> run_pipe_server(StopReceiver stop, ServiceConfig config,
                                               PipeServerOptions options) {
    // No lease survives a restart: what an earlier run left goes first.
    auto sweep = [] { sweep_runtime_root(std::nullopt); };
    // What a failed sweep leaves, a later one removes.
    static_cast<void>(co_await options.pool->run(sweep));
    const std::optional<std::string> digest = co_await check_bundled_core(config, options);
    if (!digest) {
        co_return PipeServerEnd::core_check_failed;
    }
    const auto slot = CoreSlot::create(*options.pool, options.clock);
    const auto executor = co_await asio::this_coro::executor;
    // The endpoint's first instance asks to be the first of the name.
    PipeEndpoint endpoint(executor, options.pipe_name);
    auto create = [&]() -> OsResult<PipeInstance> {
        return options.create_instance ? options.create_instance(endpoint)
                                       : endpoint.create_instance();
    };

    // Without a first instance the name is somebody else's, or the system
    // refuses us: the server ends there.
    auto first = create();
    if (!first) {
        write_error_line(with_text(CREATE_PIPE_FAILED, first.error().text));
        co_return PipeServerEnd::first_pipe_failed;
    }
    // The instance clients connect to. It is replaced only once its
    // successor exists, so the name is never free while the server runs.
    std::optional<PipeInstance> listening = std::move(first).value();
    // Its last wait failed: a fresh instance takes its place.
    bool replace = false;
    CreateFailureStreak failures;
    auto offer_fresh_instance = [&] {
        auto fresh = create();
        if (!fresh) {
            if (failures.failed()) {
                write_error_line(with_text(CREATE_PIPE_FAILED, fresh.error().text));
            }
            return;
        }
        failures.succeeded();
        listening = std::move(fresh).value();
        replace = false;
    };
    asio::steady_timer idle(executor);

    for (;;) {
        if (stop.try_receive()) {
            co_await shut_down(slot);
            co_return PipeServerEnd::stopped;
        }
        // Whoever holds the slot serves a request; the next cycle looks
        // again, so a new client never waits behind a start or a stop.
        if (auto access = slot->try_lock()) {
            // Silent while a failed stop is pending: the reclaim then does
            // nothing.
            if (auto reclaimed = co_await options.reclaim(*access); !reclaimed) {
                write_error_line(with_text(RECLAIM_EXPIRED_LEASE_FAILED, reclaimed.error()));
            }
        }
        if (!listening || replace) {
            offer_fresh_instance();
        }
        if (!listening) {
            // No instance this cycle: the cycle still takes its time.
            idle.expires_after(options.accept_wait);
            co_await idle.async_wait(asio::experimental::as_tuple(asio::use_awaitable));
            continue;
        }
        auto outcome = co_await wait_for_client(*listening, options.accept_wait);
        if (auto* stream = std::get_if<LocalStream>(&outcome)) {
            // The instance went to the client: the next one listens before
            // the client is served.
            listening.reset();
            offer_fresh_instance();
            // Never awaited: the task owns its stream, its copies and its
            // share of the slot.
            asio::co_spawn(
                executor,
                run_connection(std::move(*stream), config.core_dir, SecretBytes(config.identity),
                               *digest, slot, ConnectionOptions{fill_random, options.start_hooks}),
                asio::detached);
        } else if (const auto* error = std::get_if<OsError>(&outcome)) {
            write_error_line(with_text(ACCEPT_PIPE_FAILED, error->text));
            replace = true;
        }
    }
}

}  // namespace kavo
