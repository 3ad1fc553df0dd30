#include "connection_replay.h"

#include <algorithm>
#include <fstream>
#include <optional>
#include <utility>
#include <variant>

#include "core/supervisor.h"
#include "ipc/connection_task.h"
#include "ipc/request_handler.h"

namespace kavo {
namespace {

// The core's runtime files; the stand-in core stays up on this config.
const std::pair<const char*, const char*> RUNTIME_FILES[] = {
    {"config.yaml", "stdout: up\n"},
    {"GeoSite.dat", "geosite"},
    {"geoip.metadb", "geoip"},
};

constexpr std::string_view PREPARE_START_FAILED = "The prepared core did not start: ";
constexpr std::string_view PREPARE_WRITE_FAILED = "Failed to write the core directory";

// The instant at which a lease granted or renewed expires `ms` after
// REPLAY_NOW.
MonotonicInstant renewed_for(std::int64_t ms) {
    return REPLAY_NOW + std::chrono::milliseconds(ms) - LEASE_DURATION;
}

}  // namespace

RandomTape::RandomTape(std::vector<std::string> draws)
    : state_(std::make_shared<State>(State{std::move(draws), 0})) {}

RandomSource RandomTape::source() {
    return [state = state_](std::span<std::uint8_t> out) -> OsResult<void> {
        if (state->next == state->draws.size() || state->draws[state->next].size() != out.size()) {
            return fail(OsError{0, OsErrorKind::other, std::string(RANDOM_TAPE_ENDED)});
        }
        const std::string& draw = state->draws[state->next++];
        std::copy(draw.begin(), draw.end(), out.begin());
        return ok();
    };
}

std::vector<std::string> RandomTape::taken() const {
    return {state_->draws.begin(),
            state_->draws.begin() + static_cast<std::ptrdiff_t>(state_->next)};
}

ReplayService::ReplayService(const std::filesystem::path& root)
    : core_dir_(root / "core"), slot_(CoreSlot::create(pool_, [now = now_] { return *now; })) {}

ReplayService::~ReplayService() {
    // The slot goes (ending a core it still holds) before the pool.
    slot_.reset();
    pool_.join();
}

asio::awaitable<Result<void>> ReplayService::prepare(VectorServiceState state) {
    std::filesystem::create_directories(core_dir_);
    for (const auto& [name, content] : RUNTIME_FILES) {
        std::ofstream out(core_dir_ / name, std::ios::binary | std::ios::trunc);
        out << content;
        if (!out.good()) {
            co_return fail(std::string(PREPARE_WRITE_FAILED));
        }
    }
    if (!state.lease) {
        co_return ok();
    }
    {
        CoreSlot::Access access = co_await slot_->lock();
        // Live for the start; the recorded expiry is set once the core runs.
        *now_ = renewed_for(std::max<std::int64_t>(state.lease->expires_in_ms, 1));
        access.grant(state.lease->lease_id);
        *now_ = REPLAY_NOW;
    }
    if (state.core_running) {
        // Named before the co_await: gcc 12 destroys a temporary argument of
        // a coroutine call inside a co_await expression twice.
        RequestContext context{
            .core_dir = core_dir_.native(), .core_digest = state.core_sha256, .slot = slot_};
        IpcRequest start{IpcRequest::StartCore{state.lease->lease_id}};
        const IpcResponse started = co_await handle_request(std::move(start), std::move(context));
        if (const auto* error = std::get_if<IpcResponse::Error>(&started.value)) {
            co_return fail(std::string(PREPARE_START_FAILED) + error->message);
        }
    }
    CoreSlot::Access access = co_await slot_->lock();
    *now_ = renewed_for(state.lease->expires_in_ms);
    access.renew();
    *now_ = REPLAY_NOW;
    co_return ok();
}

asio::awaitable<ExchangeEnd> ReplayService::serve(LocalStream stream, SecretBytes identity,
                                                  std::string core_sha256, RandomTape tape) {
    NativeString core_dir = core_dir_.native();
    ConnectionOptions options;
    options.random = tape.source();
    co_return co_await run_connection(std::move(stream), std::move(core_dir), std::move(identity),
                                      std::move(core_sha256), slot_, std::move(options));
}

asio::awaitable<void> ReplayService::shut_down() {
    CoreSlot::Access access = co_await slot_->lock();
    if (access.core() != nullptr) {
        static_cast<void>(co_await stop_and_settle(access));
    }
}

}  // namespace kavo
