#include "platform/pipe_listener.h"

#include <fstream>
#include <optional>
#include <sstream>
#include <string>

#include <asio/co_spawn.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/experimental/awaitable_operators.hpp>
#include <asio/local/stream_protocol.hpp>
#include <asio/steady_timer.hpp>
#include <asio/strand.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

#include "platform/posix/posix.h"

namespace kavo {

using Acceptor = asio::local::stream_protocol::acceptor;

struct PipeEndpoint::Impl {
    asio::any_io_executor executor;
    std::string name;
    // Bound once, by the first instance; shared by every later one.
    std::optional<Acceptor> acceptor;
    std::vector<bool> first_requests;
};

struct PipeInstance::Impl {
    Acceptor* acceptor = nullptr;
    // A client was handed over: like a connected pipe instance, this one
    // waits no more.
    bool spent = false;
};

namespace {

using namespace asio::experimental::awaitable_operators;

constexpr auto use_tuple = asio::experimental::as_tuple(asio::use_awaitable);

// The flag /proc/net/unix shows for a listening socket (__SO_ACCEPTCON).
constexpr unsigned long SOCKET_ACCEPTS = 0x10000;

OsError error_of(const asio::error_code& error) {
    return os_error(static_cast<std::uint32_t>(error.value()));
}

OsResult<Acceptor> bind_abstract(const asio::any_io_executor& executor, const std::string& name) {
    const auto address = posix::abstract_address(name);
    if (!address) {
        return fail(os_error(ENAMETOOLONG));
    }

    posix::UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd.valid()) {
        return fail(last_os_error());
    }
    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address->address), address->length) !=
        0) {
        OsError error = last_os_error();
        // Another server holds the name: the refusal a second server of a
        // Windows pipe meets at its first instance.
        if (error.code == EADDRINUSE) {
            error.kind = OsErrorKind::access_denied;
        }
        return fail(std::move(error));
    }
    if (::listen(fd.get(), SOMAXCONN) != 0) {
        return fail(last_os_error());
    }
    Acceptor acceptor(executor);
    asio::error_code error;
    acceptor.assign(asio::local::stream_protocol(), fd.get(), error);
    if (error) {
        return fail(error_of(error));
    }
    fd.release();
    return acceptor;
}

// Runs on a strand of its own: the readiness wait and the timer complete on
// it, never at the same time. co_spawn wants a result it can
// default-construct, which the outcome is not: the optional is always set.
asio::awaitable<std::optional<PipeWaitOutcome>> accept_on_strand(PipeInstance& instance,
                                                                 std::chrono::milliseconds limit) {
    if (instance.impl().spent) {
        co_return PipeWaitOutcome(os_error(EBADF));
    }
    Acceptor& acceptor = *instance.impl().acceptor;
    asio::steady_timer timer(co_await asio::this_coro::executor, limit);
    for (;;) {
        auto ready = co_await (acceptor.async_wait(Acceptor::wait_read, use_tuple) ||
                               timer.async_wait(use_tuple));
        if (ready.index() == 1) {
            co_return PipeWaitOutcome(PipeWaitTimedOut{});
        }
        const auto [error] = std::get<0>(ready);
        if (error) {
            co_return PipeWaitOutcome(error_of(error));
        }
        // The accepted socket must not leak into a child started meanwhile.
        posix::UniqueFd client(::accept4(acceptor.native_handle(), nullptr, nullptr, SOCK_CLOEXEC));
        if (!client.valid()) {
            const int code = errno;
            // The client went away again, or another accept took it first:
            // wait on within the same limit.
            if (code == EAGAIN || code == EWOULDBLOCK || code == ECONNABORTED || code == EINTR) {
                continue;
            }
            co_return PipeWaitOutcome(os_error(static_cast<std::uint32_t>(code)));
        }
        LocalStream stream(acceptor.get_executor());
        asio::error_code assigned;
        stream.assign(asio::local::stream_protocol(), client.get(), assigned);
        if (assigned) {
            co_return PipeWaitOutcome(error_of(assigned));
        }
        client.release();
        instance.impl().spent = true;
        co_return PipeWaitOutcome(std::move(stream));
    }
}

}  // namespace

PipeEndpoint::PipeEndpoint(asio::any_io_executor executor, std::string name)
    : impl_(std::make_unique<Impl>(Impl{std::move(executor), std::move(name), {}, {}})) {}
PipeEndpoint::~PipeEndpoint() = default;
PipeEndpoint::PipeEndpoint(PipeEndpoint&&) noexcept = default;
PipeEndpoint& PipeEndpoint::operator=(PipeEndpoint&&) noexcept = default;

const std::string& PipeEndpoint::name() const {
    return impl_->name;
}

const std::vector<bool>& PipeEndpoint::first_instance_requests() const {
    return impl_->first_requests;
}

OsResult<PipeInstance> PipeEndpoint::create_instance() {
    const bool first = !impl_->acceptor.has_value();
    if (impl_->first_requests.size() < FIRST_INSTANCE_REQUESTS_KEPT) {
        impl_->first_requests.push_back(first);
    }
    if (first) {
        auto bound = bind_abstract(impl_->executor, impl_->name);
        if (!bound) {
            return fail(std::move(bound).error());
        }
        impl_->acceptor.emplace(std::move(bound).value());
    }
    return PipeInstance(
        std::make_unique<PipeInstance::Impl>(PipeInstance::Impl{&*impl_->acceptor, false}));
}

PipeInstance::PipeInstance(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
PipeInstance::~PipeInstance() = default;
PipeInstance::PipeInstance(PipeInstance&&) noexcept = default;
PipeInstance& PipeInstance::operator=(PipeInstance&&) noexcept = default;

OsResult<std::optional<std::string>> PipeInstance::access_text() {
    return std::optional<std::string>();
}

asio::awaitable<PipeWaitOutcome> wait_for_client(PipeInstance& instance,
                                                 std::chrono::milliseconds limit) {
    auto strand = asio::make_strand(instance.impl().acceptor->get_executor());
    auto outcome =
        co_await asio::co_spawn(strand, accept_on_strand(instance, limit), asio::use_awaitable);
    co_return std::move(*outcome);
}

OsResult<bool> pipe_name_present(std::string_view name) {
    // The kernel lists every Unix socket with its flags and its address, an
    // abstract one as "@" and the name; accepted connections carry the
    // listener's address too, so only a socket that accepts counts.
    std::ifstream table("/proc/net/unix");
    if (!table) {
        return fail(last_os_error());
    }
    const std::string wanted = "@" + std::string(name);
    std::string line;
    std::getline(table, line);  // the column heads
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot;
        std::string references;
        std::string protocol;
        std::string flags;
        std::string type;
        std::string state;
        std::string inode;
        fields >> slot >> references >> protocol >> flags >> type >> state >> inode;
        std::string path;
        std::getline(fields >> std::ws, path);
        if (path == wanted && (std::stoul(flags, nullptr, 16) & SOCKET_ACCEPTS) != 0) {
            return true;
        }
    }
    return false;
}

bool first_instance_is_enforced() {
    return true;
}

}  // namespace kavo
