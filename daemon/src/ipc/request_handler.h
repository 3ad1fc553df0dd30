// IPC protocol, driven: what an authenticated request does to the shared
// core slot, and the connection task that serves one client from the
// challenge to the signed answer. The decisions are the lease rules'; this
// applies them under the slot's mutex, one hold per request (an acquire
// takes a few, see handle_request).
#pragma once

#include <memory>
#include <string>

#include <asio/awaitable.hpp>

#include "core/core_slot.h"
#include "core/supervisor.h"
#include "ipc/exchange.h"
#include "ipc/protocol_id.h"
#include "ipc/records.h"
#include "platform/local_stream.h"
#include "platform/native_string.h"
#include "platform/secret.h"

namespace kavo {

// What a request works with: the connection's own copies of the configured
// core directory and the core digest, and its share of the slot.
struct RequestContext {
    NativeString core_dir;
    // The core executable's SHA-256, 64 lowercase hex digits.
    std::string core_digest;
    std::shared_ptr<CoreSlot> slot;
    // Where a new lease's identifier draws its bytes.
    RandomSource random = fill_random;
    // Where tests step into a start; the service passes none.
    CoreStartHooks start_hooks;
};

// Executes one request and answers it; every failure is an Error answer.
//
// AcquireLease takes the mutex more than once: the reclaim of an expired
// lease takes and gives it back by itself; the current lease id is copied
// and the runtime root swept in one hold, so the sweep cannot remove the
// directory of a core started in between; the decision comes under a fresh
// hold, after at most one more reclaim. Every other request does all its
// work in one hold.
asio::awaitable<IpcResponse> handle_request(IpcRequest request, RequestContext context);

// What a connection task works with besides its inputs. The service passes
// the defaults; tests and the example recorder fix the random bytes or step
// into a start.
struct ConnectionOptions {
    // Where every identifier the connection issues (challenge, session,
    // lease) draws its bytes.
    RandomSource random = fill_random;
    CoreStartHooks start_hooks;
};

// The connection task: serves the one exchange of `stream` and closes it.
// The pipe server starts it detached and never awaits it, so it owns
// everything it uses: the stream, the copies and its share of the slot, all
// given up when it ends.
asio::awaitable<ExchangeEnd> run_connection(LocalStream stream, NativeString core_dir,
                                            SecretBytes identity, std::string core_digest,
                                            std::shared_ptr<CoreSlot> slot,
                                            ConnectionOptions options = {});

}  // namespace kavo
