// IPC protocol, driven: what an authenticated request does to the shared
// core slot. The decisions are the lease state's; this applies them under
// the slot's mutex, one hold per request (an acquire takes a few, see
// handle_request).
#pragma once

#include <memory>
#include <string>

#include <asio/awaitable.hpp>

#include "core/core_slot.h"
#include "core/supervisor.h"
#include "ipc/protocol_id.h"
#include "ipc/records.h"
#include "platform/native_string.h"

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

}  // namespace kavo
