// Core log throughput: a child floods its standard output with log lines;
// the pump (line assembly, redaction, the lines of each read appended with one
// write under the writer's lock) is measured against
// a raw copy of the same pipe into a file. Reports, never fails.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "core/core_log_pump.h"
#include "platform/append_file.h"
#include "platform/native_string.h"
#include "platform/process.h"
#include "platform/process_info.h"

namespace {

constexpr const char* FLOOD_VARIABLE = "KAVO_BENCH_FLOOD";
constexpr std::size_t FLOOD_BYTES = 256u << 20;

// A log line of a typical proxy core: about 160 bytes, one credential per
// ten lines.
std::string flood_block() {
    std::string block;
    for (int i = 0; i < 1000; ++i) {
        block += "2026-12-08T10:00:00Z INFO [tcp] 10.0.0." + std::to_string(i % 250) +
                 ":51234 --> example.net:443 using GLOBAL rule MATCH conn=" + std::to_string(i);
        block += (i % 10 == 0) ? " token=Zq8vLk2Pw\n" : " ok\n";
    }
    return block;
}

int flood() {
    const std::string block = flood_block();
    for (std::size_t sent = 0; sent < FLOOD_BYTES; sent += block.size()) {
        if (std::fwrite(block.data(), 1, block.size(), stdout) != block.size()) {
            return 1;
        }
    }
    std::fflush(stdout);
    return 0;
}

kavo::ChildProcess start_flood() {
    kavo::SpawnOptions options;
    options.program = kavo::running_executable_path().value();
    options.environment.emplace_back(kavo::utf8_to_native(FLOOD_VARIABLE), KAVO_NATIVE("1"));
    auto child = kavo::ChildProcess::spawn(options);
    if (!child) {
        std::fprintf(stderr, "spawn failed: %s\n", child.error().text.c_str());
        std::exit(1);
    }
    return std::move(child).value();
}

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double raw_copy(const std::filesystem::path& dir, std::size_t& bytes) {
    auto child = start_flood();
    auto file = kavo::AppendFile::open((dir / "raw.log").native()).value();
    char buffer[8192];
    bytes = 0;
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        auto got = child.standard_output()->read(buffer);
        if (!got || *got == 0) {
            break;
        }
        (void)file.write_all(std::string_view(buffer, *got));
        bytes += *got;
    }
    const double elapsed = seconds_since(start);
    (void)child.wait();
    return elapsed;
}

double pump(const std::filesystem::path& dir) {
    auto child = start_flood();
    child.standard_error().reset();
    const auto start = std::chrono::steady_clock::now();
    auto pumps = kavo::start_core_log(dir.native(), child);
    if (!pumps) {
        std::fprintf(stderr, "start failed: %s\n", pumps.error().c_str());
        std::exit(1);
    }
    while (!pumps->wait_for(std::chrono::seconds(1))) {
    }
    const double elapsed = seconds_since(start);
    (void)child.wait();
    return elapsed;
}

}  // namespace

int main() {
    if (std::getenv(FLOOD_VARIABLE) != nullptr) {
        return flood();
    }
    const auto dir = std::filesystem::temp_directory_path() / "kavo-pump-bench";
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    const std::size_t lines_per_block = 1000;
    const std::size_t block_bytes = flood_block().size();
    std::size_t bytes = 0;
    const double raw = raw_copy(dir, bytes);
    const double pumped = pump(dir);
    const double mb = static_cast<double>(bytes) / 1e6;
    const double lines = static_cast<double>(bytes / block_bytes * lines_per_block);
    std::printf("raw copy:  %.1f MB in %.3f s = %.1f MB/s\n", mb, raw, mb / raw);
    std::printf("core log:  %.1f MB in %.3f s = %.1f MB/s, %.0f lines/s\n", mb, pumped, mb / pumped,
                lines / pumped);
    std::printf("ratio:     %.2fx of the raw copy\n", raw / pumped);
    std::filesystem::remove_all(dir);
    return 0;
}
