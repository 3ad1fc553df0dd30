#include "platform/local_stream.h"

#include <asio/local/connect_pair.hpp>

#include "platform/os_error.h"

namespace kavo {

Result<LocalStreamPair> make_local_stream_pair(const asio::any_io_executor& executor) {
    LocalStream server(executor);
    LocalStream client(executor);
    asio::error_code error;
    asio::local::connect_pair(server, client, error);
    if (error) {
        return fail(std::string(LOCAL_STREAM_PAIR_ERROR_PREFIX) +
                    os_error(static_cast<std::uint32_t>(error.value())).text);
    }
    return LocalStreamPair{std::move(server), std::move(client)};
}

}  // namespace kavo
