#include "ipc/frame_io.h"

#include <asio/experimental/as_tuple.hpp>
#include <asio/experimental/awaitable_operators.hpp>
#include <asio/read.hpp>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

#include "ipc/frame.h"
#include "platform/os_error.h"

namespace kavo {
namespace {

using namespace asio::experimental::awaitable_operators;

constexpr auto use_tuple = asio::experimental::as_tuple(asio::use_awaitable);

bool is_system_error(const asio::error_code& error) {
    return error.category() == asio::system_category();
}

std::string error_text(const asio::error_code& error) {
    if (is_system_error(error)) {
        return os_error(static_cast<std::uint32_t>(error.value())).text;
    }
    return error.message();
}

// Fills `buffer` completely, or says why not. The timer is raced against the
// read, so the limit belongs to this one read and goes with it.
asio::awaitable<Result<void, FrameReadError>> read_exactly(LocalStream& stream,
                                                           asio::mutable_buffer buffer,
                                                           std::chrono::milliseconds limit) {
    asio::steady_timer timer(co_await asio::this_coro::executor, limit);
    auto outcome =
        co_await (asio::async_read(stream, buffer, use_tuple) || timer.async_wait(use_tuple));
    if (outcome.index() == 1) {
        co_return fail(FrameReadError::timed_out);
    }
    const auto [error, transferred] = std::get<0>(outcome);
    if (!error && transferred == buffer.size()) {
        co_return ok();
    }
    // A peer that closes its end of a pipe shows as a broken pipe on Windows.
    if (error == asio::error::eof ||
        (is_system_error(error) &&
         os_error(static_cast<std::uint32_t>(error.value())).kind == OsErrorKind::broken_pipe)) {
        co_return fail(FrameReadError::end_of_stream);
    }
    co_return fail(FrameReadError::io_error);
}

}  // namespace

asio::awaitable<Result<std::string, FrameReadError>> read_frame(LocalStream& stream,
                                                                std::chrono::milliseconds limit) {
    FramePrefix prefix{};
    KAVO_CO_TRY_OK(co_await read_exactly(stream, asio::buffer(prefix), limit));
    const std::uint32_t length = decode_frame_length(prefix);
    if (!is_valid_frame_length(length)) {
        co_return fail(FrameReadError::invalid_length);
    }
    std::string body(length, '\0');
    KAVO_CO_TRY_OK(co_await read_exactly(stream, asio::buffer(body), limit));
    co_return body;
}

asio::awaitable<Result<void>> write_frame(LocalStream& stream, std::string_view body) {
    if (body.size() > MAX_FRAME_LEN) {
        co_return fail(std::string(FRAME_TOO_LONG_ERROR));
    }
    const FramePrefix prefix = encode_frame_length(static_cast<std::uint32_t>(body.size()));
    std::string frame(prefix.begin(), prefix.end());
    frame += body;

    std::string_view pending = frame;
    while (!pending.empty()) {
        const auto [error, written] = co_await stream.async_write_some(
            asio::buffer(pending.data(), pending.size()), use_tuple);
        if (error) {
            co_return fail(std::string(WRITE_ERROR_PREFIX) + error_text(error));
        }
        if (written == 0) {
            co_return fail(std::string(ZERO_BYTE_WRITE_ERROR));
        }
        pending.remove_prefix(written);
    }
    co_return ok();
}

}  // namespace kavo
