// Runtime staging of a large "GeoSite.dat" against the simplest code that does
// the same work (read whole, hash, copy, hash the copy). Reports wall time and
// peak memory; run by hand, never fails.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "core/protected_dirs.h"
#include "core/runtime_staging.h"
#include "platform/crypto.h"
#include "platform/hex.h"

#if defined(_WIN32)
#include <stdlib.h>
#else
#include <sys/resource.h>
#endif

namespace {

namespace fs = std::filesystem;

// Peak resident memory of this process so far, in MiB (0 where unknown).
double peak_mib() {
#if defined(_WIN32)
    return 0;
#else
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_maxrss) / 1024.0;
#endif
}

void set_program_data(const fs::path& path) {
#if defined(_WIN32)
    _putenv_s("ProgramData", path.string().c_str());
#else
    setenv("ProgramData", path.string().c_str(), 1);
#endif
}

void write_source(const fs::path& dir, std::size_t geosite_bytes) {
    fs::create_directories(dir);
    std::ofstream(dir / "config.yaml", std::ios::binary) << "mode: rule\n";
    std::ofstream(dir / "geoip.metadb", std::ios::binary) << std::string(4096, 'g');
    std::ofstream out(dir / "GeoSite.dat", std::ios::binary);
    const std::string block(1 << 20, 's');
    for (std::size_t done = 0; done < geosite_bytes; done += block.size()) {
        out.write(block.data(), static_cast<std::streamsize>(block.size()));
    }
}

std::string read_whole(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::string content(static_cast<std::size_t>(fs::file_size(path)), '\0');
    in.read(content.data(), static_cast<std::streamsize>(content.size()));
    return content;
}

// The simplest staging: each file read whole, hashed, copied, the copy read
// whole and hashed.
bool baseline(const fs::path& source, const fs::path& target) {
    fs::create_directories(target);
    for (const char* name : {"config.yaml", "GeoSite.dat", "geoip.metadb"}) {
        const std::string expected = kavo::hex_lower(kavo::sha256(read_whole(source / name)));
        fs::copy_file(source / name, target / name);
        if (kavo::hex_lower(kavo::sha256(read_whole(target / name))) != expected) {
            return false;
        }
    }
    return true;
}

template <class F>
double seconds(F&& run) {
    const auto start = std::chrono::steady_clock::now();
    run();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main() {
    const fs::path root = fs::temp_directory_path() / "kavo-staging-bench";
    fs::remove_all(root);
    set_program_data(root / "pd");
    const std::size_t sizes[] = {16u << 20, 64u << 20};
    double staged_seconds[2] = {};
    double staged_peak[2] = {};
    const double start_peak = peak_mib();
    std::printf("start: peak %.1f MiB\n", start_peak);
    // Staging first: the peak only grows, so each staging peak is measured
    // before the baseline has held a whole file in memory.
    for (int i = 0; i < 2; ++i) {
        const fs::path source = root / ("src" + std::to_string(i));
        write_source(source, sizes[i]);
        const std::string lease = std::string(31, '0') + std::to_string(i);
        bool ok = false;
        staged_seconds[i] =
            seconds([&] { ok = kavo::stage_runtime(source.native(), lease).has_value(); });
        staged_peak[i] = peak_mib();
        if (!ok) {
            std::printf("staging failed\n");
        }
        kavo::sweep_runtime_root(std::nullopt);
    }
    for (int i = 0; i < 2; ++i) {
        const fs::path source = root / ("src" + std::to_string(i));
        bool ok = false;
        const double base =
            seconds([&] { ok = baseline(source, root / ("base" + std::to_string(i))); });
        std::printf(
            "GeoSite.dat %3zu MiB: staging %.3f s (peak %.1f MiB), baseline %.3f s "
            "(peak %.1f MiB)%s; staging speed %.2fx baseline\n",
            sizes[i] >> 20, staged_seconds[i], staged_peak[i], base, peak_mib(),
            ok ? "" : " [baseline mismatch]", base / staged_seconds[i]);
    }
    fs::remove_all(root);
    return 0;
}
