// The service's side of one recorded connection, run again by the real
// connection task: the slot is set to the state the vector names, its clock
// stands still at one instant, and identifiers draw the recorded bytes.
// Staging and the core need a ProgramData of their own (set by the caller)
// and the stand-in core beside the running executable.
#pragma once

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <asio/awaitable.hpp>

#include "async/blocking_pool.h"
#include "core/core_slot.h"
#include "ipc/exchange.h"
#include "ipc/protocol_id.h"
#include "platform/local_stream.h"
#include "platform/result.h"
#include "platform/secret.h"
#include "protocol_vector.h"

namespace kavo {

// The instant every replayed connection runs at.
inline constexpr MonotonicInstant REPLAY_NOW = MonotonicInstant{} + std::chrono::hours(1000);

inline constexpr std::string_view RANDOM_TAPE_ENDED = "The recorded random bytes have run out";

// Hands out recorded draws in order. Copies of its source share the tape.
class RandomTape {
  public:
    explicit RandomTape(std::vector<std::string> draws);

    // Each call takes the next draw, which must have the size asked for.
    RandomSource source();
    // The draws taken so far.
    std::vector<std::string> taken() const;

  private:
    struct State {
        std::vector<std::string> draws;
        std::size_t next = 0;
    };
    std::shared_ptr<State> state_;
};

// A slot for one replayed connection, with the core directory it stages
// from, under `root`.
class ReplayService {
  public:
    // `root` must outlive the service; the core directory is made in it.
    explicit ReplayService(const std::filesystem::path& root);
    ~ReplayService();
    ReplayService(const ReplayService&) = delete;
    ReplayService& operator=(const ReplayService&) = delete;

    // Brings the slot to `state`: the lease with its expiry, and a core
    // started under it by a real StartCore when the state says so.
    asio::awaitable<Result<void>> prepare(VectorServiceState state);

    // The real connection task on `stream`, with the vector's identity and
    // core digest, drawing from `tape`.
    asio::awaitable<ExchangeEnd> serve(LocalStream stream, SecretBytes identity,
                                       std::string core_sha256, RandomTape tape);

    // Stops a core the connection left running and lets the slot go; call it
    // on the context before the service goes.
    asio::awaitable<void> shut_down();

  private:
    std::filesystem::path core_dir_;
    BlockingPool pool_;
    // What the slot's clock reads: REPLAY_NOW, but for the moment in which
    // the lease is granted or renewed to the expiry a vector names.
    std::shared_ptr<MonotonicInstant> now_ = std::make_shared<MonotonicInstant>(REPLAY_NOW);
    std::shared_ptr<CoreSlot> slot_;
};

}  // namespace kavo
