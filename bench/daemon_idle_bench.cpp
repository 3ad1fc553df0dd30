// An idle kavo-daemon: the real program beside this one, in the foreground
// with a private ProgramData and the stand-in core, left alone for 30
// seconds once it answers and its blocking threads have timed out. Reports
// the CPU it used (from /proc/<pid>/stat, and the finer per-thread
// schedstat), its resident memory and its threads. Reports, never fails.
#include <array>
#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <asio/use_future.hpp>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include "async/blocking_pool.h"
#include "host/pipe_server.h"
#include "ipc/client.h"
#include "platform/hex.h"
#include "platform/pipe_connect.h"
#include "platform/process.h"
#include "platform/process_info.h"
#include "platform/random.h"
#include "service/service_pipe.h"

namespace {

using namespace kavo;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr std::string_view SECRET = "a benchmark identity secret of more than 32 bytes";
constexpr std::chrono::seconds WINDOW{30};
// Long enough for the threads of the start-up check to end for lack of work.
constexpr auto SETTLE = BLOCKING_THREAD_IDLE_LIMIT + std::chrono::seconds(2);
// The unit of utime and stime in /proc/<pid>/stat on Linux.
constexpr double USER_HZ = 100.0;

fs::path beside_me(const char* name) {
    return fs::path(running_executable_path().value()).parent_path() / name;
}

std::string read_text(const fs::path& path) {
    std::ifstream in(path);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
}

// utime + stime in ticks: fields 14 and 15, counted after the command name,
// which is in parentheses and may hold spaces.
std::optional<std::uint64_t> cpu_ticks(std::uint32_t pid) {
    const std::string stat = read_text("/proc/" + std::to_string(pid) + "/stat");
    const auto close = stat.rfind(')');
    if (close == std::string::npos) {
        return std::nullopt;
    }
    std::istringstream fields(stat.substr(close + 2));
    std::vector<std::string> values;
    for (std::string value; fields >> value;) {
        values.push_back(value);
    }
    // The state is field 3, the first after the name.
    if (values.size() < 13) {
        return std::nullopt;
    }
    return std::stoull(values[11]) + std::stoull(values[12]);
}

// Nanoseconds on the CPU, summed over the threads alive now.
std::uint64_t thread_cpu_nanos(std::uint32_t pid) {
    std::uint64_t total = 0;
    std::error_code error;
    for (const auto& task :
         fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", error)) {
        std::istringstream in(read_text(task.path() / "schedstat"));
        std::uint64_t nanos = 0;
        if (in >> nanos) {
            total += nanos;
        }
    }
    return total;
}

// A "Name:  value" line of /proc/<pid>/status.
std::string status_field(std::uint32_t pid, const std::string& name) {
    std::istringstream in(read_text("/proc/" + std::to_string(pid) + "/status"));
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(name + ":", 0) == 0) {
            const auto value = line.find_first_not_of(" \t", name.size() + 1);
            return value == std::string::npos ? std::string() : line.substr(value);
        }
    }
    return "?";
}

asio::awaitable<bool> answers_status() {
    auto connection = co_await connect_pipe(std::string(PIPE_NAME));
    if (!connection) {
        co_return false;
    }
    auto response = co_await request_service(std::move(connection->stream), SecretBytes(SECRET),
                                             IpcRequest{IpcRequest::Status{}});
    co_return response&& std::holds_alternative<IpcResponse::Status>(response->value);
}

}  // namespace

int main() {
    std::array<std::uint8_t, 8> random{};
    (void)fill_random(random);
    const fs::path root = fs::temp_directory_path() / ("kavo-idle-bench-" + hex_lower(random));
    fs::create_directories(root / "ProgramData");
    fs::create_directories(root / "core");
    for (const char* name : {"config.yaml", "GeoSite.dat", "geoip.metadb"}) {
        std::ofstream(root / "core" / name) << "stdout: up\n";
    }
    std::ofstream(root / "identity") << SECRET;

    const auto digest = bundled_core_digest(beside_me("kavo_core").native());
    if (!digest) {
        std::fprintf(stderr, "no stand-in core beside the benchmark: %s\n", digest.error().c_str());
        return 1;
    }
    SpawnOptions options;
    options.program = beside_me("kavo-daemon").native();
    options.arguments = {"--core-dir",
                         (root / "core").native(),
                         "--identity-file",
                         (root / "identity").native(),
                         "--expected-core-sha256",
                         *digest};
    options.environment.emplace_back("ProgramData", (root / "ProgramData").native());
    options.capture_output = false;
    auto daemon = ChildProcess::spawn(options);
    if (!daemon) {
        std::fprintf(stderr, "cannot start kavo-daemon: %s\n", daemon.error().text.c_str());
        return 1;
    }
    const std::uint32_t pid = daemon->id();

    asio::io_context io;
    auto ready = asio::co_spawn(io, answers_status(), asio::use_future);
    io.run();
    if (!ready.get()) {
        std::fprintf(stderr, "kavo-daemon does not answer on %s\n", std::string(PIPE_NAME).c_str());
        static_cast<void>(daemon->terminate(1));
        static_cast<void>(daemon->wait());
        return 1;
    }
    std::printf("idle kavo-daemon (pid %u): answering; settling for %lld s, then %lld s alone\n",
                pid, static_cast<long long>(SETTLE.count()),
                static_cast<long long>(WINDOW.count()));
    std::this_thread::sleep_for(SETTLE);

    const auto ticks_before = cpu_ticks(pid);
    const std::uint64_t nanos_before = thread_cpu_nanos(pid);
    const std::string threads_before = status_field(pid, "Threads");
    const auto started = Clock::now();
    std::this_thread::sleep_for(WINDOW);
    const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    const auto ticks_after = cpu_ticks(pid);
    const std::uint64_t nanos_after = thread_cpu_nanos(pid);

    if (ticks_before && ticks_after) {
        const double cpu = static_cast<double>(*ticks_after - *ticks_before) / USER_HZ;
        std::printf("  CPU (stat, 10 ms ticks):  %.3f s in %.1f s = %.4f%% of one core\n", cpu,
                    seconds, 100.0 * cpu / seconds);
    }
    const double thread_cpu = static_cast<double>(nanos_after - nanos_before) / 1e9;
    std::printf("  CPU (thread schedstat):   %.4f s in %.1f s = %.4f%% of one core\n", thread_cpu,
                seconds, 100.0 * thread_cpu / seconds);
    std::printf("  VmRSS %s, VmHWM %s, threads %s before and %s after\n",
                status_field(pid, "VmRSS").c_str(), status_field(pid, "VmHWM").c_str(),
                threads_before.c_str(), status_field(pid, "Threads").c_str());

    static_cast<void>(daemon->interrupt());
    const auto code = daemon->wait();
    std::printf("  SIGTERM: exit status %s\n",
                code ? std::to_string(*code).c_str() : code.error().text.c_str());
    std::error_code ignored;
    fs::remove_all(root, ignored);
    return 0;
}
