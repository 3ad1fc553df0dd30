// IPC protocol, driven: the connection task, which serves one client from
// the challenge to the signed answer of its one request.
#pragma once

#include <memory>
#include <string>

#include <asio/awaitable.hpp>

#include "core/supervisor.h"
#include "ipc/exchange.h"
#include "ipc/protocol_id.h"
#include "platform/local_stream.h"
#include "platform/native_string.h"
#include "platform/secret.h"

namespace kavo {

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
