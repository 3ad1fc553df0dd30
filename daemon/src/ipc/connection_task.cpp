#include "ipc/connection_task.h"

#include <utility>

#include "ipc/request_handler.h"

namespace kavo {

asio::awaitable<ExchangeEnd> run_connection(LocalStream stream, NativeString core_dir,
                                            SecretBytes identity, std::string core_digest,
                                            std::shared_ptr<CoreSlot> slot,
                                            ConnectionOptions options) {
    // The handler holds the copies; each request gets copies of its own.
    RequestHandler handler =
        [context = RequestContext{std::move(core_dir), std::move(core_digest), std::move(slot),
                                  options.random, std::move(options.start_hooks)}](
            IpcRequest request) { return handle_request(std::move(request), context); };
    ExchangeOptions exchange;
    exchange.random = std::move(options.random);
    co_return co_await serve_exchange(std::move(stream), std::move(identity), std::move(handler),
                                      std::move(exchange));
}

}  // namespace kavo
