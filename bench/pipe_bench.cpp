// The service pipe under load, against the real pipe server in this process
// (the stand-in core beside this program passes its start-up check, and a
// private ProgramData takes its sweep):
//   1. one authenticated Status exchange (connect, challenge, proof, grant,
//      request, signed response) beside a raw echo of three round trips of
//      the same sizes over the same kind of pipe, measured in one run;
//   2. connections per second with 50 clients at once for 10 seconds, and
//      how many of them found no instance and had to retry their connect.
// Both servers keep one listening instance with the 200 ms accept cycle of
// the service, and create the next as soon as a client takes it. Reports,
// never fails.
#include <algorithm>
#include <array>
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>
#include <asio/strand.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "async/blocking_pool.h"
#include "core/supervisor.h"
#include "host/pipe_server.h"
#include "host/stop_channel.h"
#include "ipc/client.h"
#include "ipc/frame_io.h"
#include "platform/hex.h"
#include "platform/pipe_connect.h"
#include "platform/pipe_listener.h"
#include "platform/random.h"
#include "service/service_pipe.h"

namespace {

using namespace kavo;
using Clock = std::chrono::steady_clock;

constexpr std::string_view SECRET = "a benchmark identity secret of more than 32 bytes";
constexpr int SEQUENTIAL_ROUNDS = 2000;
constexpr int CONCURRENT_CLIENTS = 50;
constexpr std::chrono::seconds CONCURRENT_DURATION{10};

// The frame sizes of one authenticated exchange, client message first:
// proof/challenge, request/grant, and the signed Status answer.
constexpr std::size_t ECHO_SIZES[3] = {98, 124, 330};

std::string unique_name(const char* role) {
    std::array<std::uint8_t, 8> random{};
    (void)fill_random(random);
    return std::string("\\\\.\\pipe\\kavo-bench-") + role + "-" + hex_lower(random);
}

// The stand-in core's digest, which every Status answer carries.
std::string core_digest;

using Connection = std::function<asio::awaitable<void>(LocalStream)>;

// The accept cycle: one listening instance, waited on for at most the
// service's interval at a time; once a client takes it, the next one is
// created before that client gets a task of its own.
asio::awaitable<void> serve(std::string name, Connection connection, std::atomic<bool>& stop) {
    const auto executor = co_await asio::this_coro::executor;
    PipeEndpoint endpoint(executor, name);
    std::optional<PipeInstance> listening;
    while (!stop) {
        if (!listening) {
            auto instance = endpoint.create_instance();
            if (!instance) {
                std::fprintf(stderr, "cannot create an instance of %s: %s\n", name.c_str(),
                             instance.error().text.c_str());
                co_return;
            }
            listening = std::move(instance).value();
        }
        auto outcome = co_await wait_for_client(*listening, ACCEPT_POLL_INTERVAL);
        if (auto* stream = std::get_if<LocalStream>(&outcome)) {
            listening.reset();
            auto next = endpoint.create_instance();
            if (next) {
                listening = std::move(next).value();
            }
            asio::co_spawn(executor, connection(std::move(*stream)), asio::detached);
        }
    }
}

// Three round trips: each frame the client sends comes back unchanged.
asio::awaitable<void> serve_echo_on(LocalStream& stream) {
    for (int i = 0; i < 3; ++i) {
        auto body = co_await read_frame(stream);
        if (!body || !co_await write_frame(stream, *body)) {
            co_return;
        }
    }
}

// Owns its stream for as long as it runs. A coroutine function rather than a
// capturing lambda: gcc 12 destroys a closure temporary of a co_await
// expression twice, and a socket destroyed twice closes a descriptor that
// may already be another connection's.
asio::awaitable<void> echo_owned(LocalStream stream) {
    co_await serve_echo_on(stream);
}

asio::awaitable<void> serve_echo(LocalStream stream) {
    auto strand = asio::make_strand(stream.get_executor());
    co_await asio::co_spawn(strand, echo_owned(std::move(stream)), asio::use_awaitable);
}

struct ClientStats {
    std::uint64_t connections = 0;
    std::uint64_t failures = 0;
    std::uint64_t retried_connections = 0;
    std::uint64_t retries = 0;
    // Why the first failure failed.
    std::string first_failure;

    void failed(const std::string& why) {
        if (failures++ == 0) {
            first_failure = why;
        }
    }
};

asio::awaitable<bool> status_once(const std::string& name, ClientStats& stats) {
    auto connection = co_await connect_pipe(name);
    if (!connection) {
        stats.failed("connect: " + connection.error().error.text);
        co_return false;
    }
    stats.retries += connection->retries;
    stats.retried_connections += connection->retries > 0 ? 1 : 0;
    auto response = co_await request_service(std::move(connection->stream), SecretBytes(SECRET),
                                             IpcRequest{IpcRequest::Status{}});
    if (!response) {
        stats.failed("exchange: " + response.error());
        co_return false;
    }
    const auto* status = std::get_if<IpcResponse::Status>(&response->value);
    if (status == nullptr || status->core_sha256 != core_digest) {
        stats.failed("exchange: another answer");
        co_return false;
    }
    ++stats.connections;
    co_return true;
}

asio::awaitable<bool> echo_once(const std::string& name, ClientStats& stats) {
    auto connection = co_await connect_pipe(name);
    if (!connection) {
        stats.failed("connect: " + connection.error().error.text);
        co_return false;
    }
    stats.retries += connection->retries;
    LocalStream& stream = connection->stream;
    for (const std::size_t size : ECHO_SIZES) {
        const std::string body(size, 'e');
        if (!co_await write_frame(stream, body)) {
            stats.failed("echo: write");
            co_return false;
        }
        auto back = co_await read_frame(stream);
        if (!back || *back != body) {
            stats.failed("echo: read");
            co_return false;
        }
    }
    ++stats.connections;
    co_return true;
}

struct Latencies {
    std::vector<double> micros;

    void report(const char* what) {
        std::sort(micros.begin(), micros.end());
        if (micros.empty()) {
            std::printf("%-28s no samples\n", what);
            return;
        }
        double sum = 0;
        for (double value : micros) {
            sum += value;
        }
        const auto at = [&](double share) {
            return micros[std::min(micros.size() - 1,
                                   static_cast<std::size_t>(share * micros.size()))];
        };
        std::printf("%-28s n=%zu  mean %8.1f us  median %8.1f us  p90 %8.1f us  p99 %8.1f us\n",
                    what, micros.size(), sum / micros.size(), at(0.5), at(0.9), at(0.99));
    }
};

double micros_since(Clock::time_point start) {
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

// Alternates the two kinds, so that both meet the same machine.
asio::awaitable<void> sequential(const std::string& status_pipe, const std::string& echo_pipe) {
    Latencies status;
    Latencies echo;
    ClientStats status_stats;
    ClientStats echo_stats;
    for (int i = 0; i < SEQUENTIAL_ROUNDS; ++i) {
        auto started = Clock::now();
        if (co_await status_once(status_pipe, status_stats)) {
            status.micros.push_back(micros_since(started));
        }
        started = Clock::now();
        if (co_await echo_once(echo_pipe, echo_stats)) {
            echo.micros.push_back(micros_since(started));
        }
    }
    std::printf("one client at a time, %d rounds each:\n", SEQUENTIAL_ROUNDS);
    status.report("  authenticated Status");
    echo.report("  raw echo, 3 round trips");
    std::printf("  failures: status %llu, echo %llu; connects retried: status %llu, echo %llu\n",
                static_cast<unsigned long long>(status_stats.failures),
                static_cast<unsigned long long>(echo_stats.failures),
                static_cast<unsigned long long>(status_stats.retries),
                static_cast<unsigned long long>(echo_stats.retries));
    for (const ClientStats* stats : {&status_stats, &echo_stats}) {
        if (stats->failures > 0) {
            std::printf("  first failure: %s\n", stats->first_failure.c_str());
        }
    }
}

asio::awaitable<void> concurrent_client(const std::string& name, Clock::time_point end,
                                        ClientStats& total, std::mutex& mutex) {
    ClientStats mine;
    while (Clock::now() < end) {
        co_await status_once(name, mine);
    }
    std::lock_guard lock(mutex);
    if (total.failures == 0 && mine.failures > 0) {
        total.first_failure = mine.first_failure;
    }
    total.connections += mine.connections;
    total.failures += mine.failures;
    total.retried_connections += mine.retried_connections;
    total.retries += mine.retries;
}

void run_on(asio::io_context& io, std::size_t threads) {
    std::vector<std::thread> workers;
    for (std::size_t i = 1; i < threads; ++i) {
        workers.emplace_back([&io] { io.run(); });
    }
    io.run();
    for (auto& worker : workers) {
        worker.join();
    }
}

void set_variable(const char* name, const std::string& value) {
#if defined(_WIN32)
    _putenv_s(name, value.c_str());
#else
    ::setenv(name, value.c_str(), 1);
#endif
}

// A private ProgramData and core directory for the server, removed at the
// end.
struct Scratch {
    std::filesystem::path root;

    explicit Scratch(const std::string& name)
        : root(std::filesystem::temp_directory_path() / name.substr(name.rfind('\\') + 1)) {
        std::filesystem::create_directories(root / "ProgramData");
        std::filesystem::create_directories(root / "core");
        set_variable("ProgramData", (root / "ProgramData").string());
    }
    ~Scratch() {
        std::error_code ignored;
        std::filesystem::remove_all(root, ignored);
    }
};

}  // namespace

int main() {
    const std::size_t threads = std::max(1u, std::thread::hardware_concurrency());
    const std::string status_pipe = unique_name("status");
    const std::string echo_pipe = unique_name("echo");
    const Scratch scratch(status_pipe);

    const auto core = locate_core_executable();
    const auto digest = core ? bundled_core_digest(*core) : Result<std::string>(fail(core.error()));
    if (!digest) {
        std::fprintf(stderr, "no stand-in core beside the benchmark: %s\n", digest.error().c_str());
        return 1;
    }
    core_digest = *digest;
    ServiceConfig config{(scratch.root / "core").native(), (scratch.root / "identity").native(),
                         SecretBytes(SECRET), core_digest};

    // The service side, on threads of its own as in the daemon.
    asio::io_context server_io;
    BlockingPool pool;
    auto channel = StopChannel::create();
    PipeServerOptions options;
    options.pipe_name = status_pipe;
    options.pool = &pool;
    std::atomic<bool> stop{false};
    asio::co_spawn(server_io,
                   run_pipe_server(std::move(channel.receiver), std::move(config), options),
                   asio::detached);
    asio::co_spawn(server_io, serve(echo_pipe, serve_echo, stop), asio::detached);
    std::thread server([&] { run_on(server_io, threads); });

    std::printf("pipe benchmark, %zu threads per side, the real pipe server\n", threads);
    {
        asio::io_context client_io;
        asio::co_spawn(client_io, sequential(status_pipe, echo_pipe), asio::detached);
        client_io.run();
    }
    {
        asio::io_context client_io;
        ClientStats total;
        std::mutex mutex;
        const auto started = Clock::now();
        const auto end = started + CONCURRENT_DURATION;
        for (int i = 0; i < CONCURRENT_CLIENTS; ++i) {
            asio::co_spawn(asio::make_strand(client_io),
                           concurrent_client(status_pipe, end, total, mutex), asio::detached);
        }
        run_on(client_io, threads);
        const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
        std::printf("%d clients at once for %.1f s:\n", CONCURRENT_CLIENTS, seconds);
        std::printf("  %llu authenticated exchanges, %.0f connections/s, %llu failed\n",
                    static_cast<unsigned long long>(total.connections),
                    static_cast<double>(total.connections) / seconds,
                    static_cast<unsigned long long>(total.failures));
        std::printf("  %llu connects had to retry (%llu retries in all)\n",
                    static_cast<unsigned long long>(total.retried_connections),
                    static_cast<unsigned long long>(total.retries));
        if (total.failures > 0) {
            std::printf("  first failure: %s\n", total.first_failure.c_str());
        }
    }
    stop = true;
    channel.sender.send();
    server.join();
    pool.join();
    return 0;
}
