#include "soak/process_figures.h"

#include "test_support.h"

#include <chrono>
#include <thread>

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// psapi.h needs the types windows.h declares.
#include <psapi.h>
#else
#include <signal.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>
#endif

namespace kavo::soak {

#if defined(_WIN32)

namespace {

struct ProcessHandle {
    HANDLE handle = nullptr;
    explicit ProcessHandle(DWORD access, std::uint32_t pid)
        : handle(::OpenProcess(access, FALSE, pid)) {}
    ~ProcessHandle() {
        if (handle != nullptr) {
            ::CloseHandle(handle);
        }
    }
    ProcessHandle(const ProcessHandle&) = delete;
    ProcessHandle& operator=(const ProcessHandle&) = delete;
};

}  // namespace

std::optional<ProcessFigures> figures_of(std::uint32_t pid) {
    const ProcessHandle process(PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_VM_READ, pid);
    if (process.handle == nullptr) {
        return std::nullopt;
    }
    DWORD exit_code = 0;
    if (!::GetExitCodeProcess(process.handle, &exit_code) || exit_code != STILL_ACTIVE) {
        return std::nullopt;
    }
    ProcessFigures figures;
    DWORD handles = 0;
    // A live process always holds some handles; a count of none means the
    // system does not count them.
    if (::GetProcessHandleCount(process.handle, &handles) && handles != 0) {
        figures.handles = handles;
    }
    PROCESS_MEMORY_COUNTERS memory{};
    memory.cb = sizeof memory;
    if (!::K32GetProcessMemoryInfo(process.handle, &memory, sizeof memory)) {
        return std::nullopt;
    }
    figures.resident_kib = memory.WorkingSetSize / 1024;
    return figures;
}

bool kill_outright(std::uint32_t pid) {
    const ProcessHandle process(PROCESS_TERMINATE | SYNCHRONIZE, pid);
    if (process.handle == nullptr || !::TerminateProcess(process.handle, 1)) {
        return false;
    }
    return ::WaitForSingleObject(process.handle, 30'000) == WAIT_OBJECT_0;
}

#else

namespace fs = std::filesystem;

std::optional<ProcessFigures> figures_of(std::uint32_t pid) {
    const fs::path proc = fs::path("/proc") / std::to_string(pid);
    ProcessFigures figures;
    std::size_t descriptors = 0;
    std::error_code error;
    for (fs::directory_iterator it(proc / "fd", error), end; !error && it != end;
         it.increment(error)) {
        ++descriptors;
    }
    if (error) {
        return std::nullopt;
    }
    figures.handles = descriptors;
    std::ifstream status(proc / "status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) {
            figures.resident_kib = std::stoull(line.substr(6));
        }
    }
    std::ifstream limits(proc / "limits");
    for (std::string line; std::getline(limits, line);) {
        if (line.rfind("Max open files", 0) == 0) {
            std::istringstream words(line.substr(14));
            std::string soft;
            std::string hard;
            words >> soft >> hard;
            figures.open_files_limit = soft + " (hard " + hard + ")";
        }
    }
    return figures;
}

bool kill_outright(std::uint32_t pid) {
    return ::kill(static_cast<pid_t>(pid), SIGKILL) == 0;
}

#endif

std::optional<ProcessFigures> resting_figures_of(std::uint32_t pid) {
    std::optional<ProcessFigures> least;
    for (int look = 0; look < 10; ++look) {
        const auto now = figures_of(pid);
        if (!now) {
            return std::nullopt;
        }
        if (!least || (now->handles && least->handles && *now->handles < *least->handles)) {
            least = now;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return least;
}

std::uint64_t resident_slack_kib(std::size_t clients) {
    return 12 * 1024 + 24 * std::uint64_t{clients};
}

SettledFigures settled_figures_of(std::uint32_t pid, const ProcessFigures& before) {
    SettledFigures figures;
    figures.settled = testing::eventually([&] {
        figures.after = figures_of(pid);
        return figures.after && figures.after->handles <= before.handles;
    });
    return figures;
}

}  // namespace kavo::soak
