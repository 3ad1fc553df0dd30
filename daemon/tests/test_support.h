// Helpers shared by the daemon's tests.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <variant>
#include <vector>

#include <asio/awaitable.hpp>
#include <asio/io_context.hpp>

#include "ipc/records.h"
#include "platform/native_string.h"
#include "platform/process.h"

namespace kavo::testing {

// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    // The native form of path() / name.
    NativeString native(const std::filesystem::path& name = {}) const;

  private:
    std::filesystem::path path_;
};

void write_file(const std::filesystem::path& path, const std::string& content);
std::string read_file(const std::filesystem::path& path);

// The names in `dir`; none when it does not exist.
std::set<std::string> entries_of(const std::filesystem::path& dir);

// What the stand-in core wrote into its pid file: a process id for each
// role ("core", "grandchild"); none while the file is not there.
std::map<std::string, std::uint32_t> pids_in(const std::filesystem::path& file);
// The core's process id from its pid file; 0 if none yet.
std::uint32_t core_pid_in(const std::filesystem::path& file);
// The same once the stand-in has written it; 0 (and a failure) if it never
// does.
std::uint32_t wait_for_core_pid(const std::filesystem::path& file);

// Writes the core directory the daemon stages from: `config` as config.yaml
// and the two data files.
void write_core_dir(const std::filesystem::path& dir, const std::string& config = "stdout: up\n");

// Makes `link` a symbolic link to the directory `target`; false where
// links cannot be made (the caller then skips).
bool make_directory_link(const std::filesystem::path& target, const std::filesystem::path& link);

// Makes a FIFO at `path` (with the system's mkfifo command). False where
// there are no FIFOs or it could not be made; the caller then skips.
bool make_fifo(const std::filesystem::path& path);

// Gives `path`, and everything below it when it is a directory, to `uid`
// (and the group of that number), links themselves rather than their
// targets (with the system's chown command). False where that cannot be done
// (not root, or no such command); the caller then skips.
bool change_owner(const std::filesystem::path& path, unsigned uid);

// A generous bound for work that must not block: far beyond what any machine
// needs, only there so that a hang fails the test instead of stalling it.
inline constexpr std::chrono::seconds HANG_LIMIT{30};

// Runs `work` on a thread of its own and waits for its result at most
// `limit`. Nullopt when it is still running by then: the thread is left
// behind, detached, so `work` must own everything it uses.
template <class T>
std::optional<T> run_with_deadline(std::function<T()> work,
                                   std::chrono::seconds limit = HANG_LIMIT) {
    auto promise = std::make_shared<std::promise<T>>();
    auto future = promise->get_future();
    std::thread worker([promise, work = std::move(work)] { promise->set_value(work()); });
    if (future.wait_for(limit) != std::future_status::ready) {
        worker.detach();
        return std::nullopt;
    }
    worker.join();
    return future.get();
}

// Keeps the directory holding `file` from being removed while the object
// lives. Windows: `file` stays open without delete sharing. Linux: `file` is
// made immutable where that is allowed (root), otherwise its directory is
// made read-only. `holds()` is false where neither works; the caller skips.
class RemovalBlocker {
  public:
    explicit RemovalBlocker(const std::filesystem::path& file);
    ~RemovalBlocker();
    RemovalBlocker(const RemovalBlocker&) = delete;
    RemovalBlocker& operator=(const RemovalBlocker&) = delete;

    bool holds() const { return holds_; }
    // Lets go early, so the directory can be removed again.
    void release();

  private:
    std::filesystem::path file_;
    bool holds_ = false;
    bool immutable_ = false;
    bool read_only_ = false;
    std::unique_ptr<std::ifstream> open_;
};

// Sets an environment variable of this process for the life of the object.
class ScopedEnv {
  public:
    ScopedEnv(const std::string& name, const std::string* value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

  private:
    std::string name_;
    bool had_value_ = false;
    std::string old_value_;
};

// A fresh directory with a private ProgramData and a core directory in it.
// `in_process` points this process's ProgramData at the private one for the
// life of the object, for tests that run the service's code themselves;
// otherwise it is for the children a test starts.
class Sandbox {
  public:
    explicit Sandbox(bool in_process = false);

    const std::filesystem::path& path() const { return dir_.path(); }
    std::filesystem::path program_data() const { return dir_.path() / "ProgramData"; }
    std::filesystem::path core_dir() const { return dir_.path() / "core"; }
    std::filesystem::path runtime_root() const {
        return program_data() / "KAVO" / "Service" / "Runtime";
    }
    std::set<std::string> runtime_entries() const { return entries_of(runtime_root()); }
    // The process id of the core started under `lease_id`, once it wrote it.
    std::uint32_t core_pid(const std::string& lease_id) const {
        return wait_for_core_pid(runtime_root() / lease_id / "pids");
    }
    void write_core_dir(const std::string& config) const {
        testing::write_core_dir(core_dir(), config);
    }

  private:
    TempDir dir_;
    std::string program_data_;
    std::optional<ScopedEnv> env_;
};

// What a program run to its end wrote and how it ended.
struct ProgramRun {
    std::uint32_t exit_status = 255;
    std::string output;
    std::string error;
};
// `environment` is set for the program on top of this process's own.
ProgramRun run_program(const std::filesystem::path& program,
                       const std::vector<NativeString>& arguments,
                       std::vector<std::pair<NativeString, NativeString>> environment = {});

// `arguments` in characters of type Char, byte for byte.
template <class Char>
std::vector<std::basic_string<Char>> widen(const std::vector<std::string>& arguments) {
    std::vector<std::basic_string<Char>> out;
    for (const auto& argument : arguments) {
        out.emplace_back(argument.begin(), argument.end());
    }
    return out;
}

// Polls `done` every 10 ms until it holds (true) or `limit` passes (false).
bool eventually(const std::function<bool()>& done,
                std::chrono::steady_clock::duration limit = HANG_LIMIT);

// How long a test gives a child that must not run yet the chance to run
// anyway. A child that does run shows its first act well within it on all
// but a very loaded machine, so the fault is caught; a child that is held as
// it should be is never failed by it.
inline constexpr std::chrono::seconds CHANCE_TO_RUN{2};

// True when `path` has not appeared by the end of `limit`.
inline bool stays_absent(const std::filesystem::path& path,
                         std::chrono::steady_clock::duration limit = CHANCE_TO_RUN) {
    return !eventually([&] { return std::filesystem::exists(path); }, limit);
}

// What `run` wrote to this process's standard error.
std::string captured_stderr(const std::function<void()>& run);

// co_spawn hands back a default value along with an exception, which a
// Result does not have.
template <class T>
asio::awaitable<std::optional<T>> as_optional(asio::awaitable<T> task) {
    co_return co_await std::move(task);
}

// Runs `io` on `threads` threads, the calling one among them, until it runs
// out of work.
void run_on_threads(asio::io_context& io, std::size_t threads);

// A monotonic clock that only the test moves, far from its epoch. Copies
// share one time, so the code under test holds one while the test moves it,
// from any thread.
class FakeClock {
  public:
    using time_point = std::chrono::steady_clock::time_point;

    // The time as the code under test reads it; counted in reads().
    time_point operator()() const {
        ++state_->reads;
        return now();
    }
    // The time as the test reads it.
    time_point now() const { return ORIGIN + std::chrono::nanoseconds(state_->offset.load()); }
    void advance(std::chrono::nanoseconds by) const { state_->offset += by.count(); }
    void set(time_point at) const { state_->offset = (at - ORIGIN).count(); }
    int reads() const { return state_->reads; }
    void forget_reads() const { state_->reads = 0; }

  private:
    static constexpr time_point ORIGIN = time_point{} + std::chrono::hours(1000);
    struct State {
        std::atomic<std::int64_t> offset{0};
        std::atomic<int> reads{0};
    };
    std::shared_ptr<State> state_ = std::make_shared<State>();
};

// The record of type T in `response`; null for any other answer.
template <class T>
const T* record_of(const IpcResponse& response) {
    return std::get_if<T>(&response.value);
}
template <class T>
const T* record_of(const std::optional<IpcResponse>& response) {
    return response ? record_of<T>(*response) : nullptr;
}

// The message of an error answer, or a placeholder that no message equals.
std::string error_of(const IpcResponse& response);
std::string error_of(const std::optional<IpcResponse>& response);

// The one answer kavo-ctl printed, which must be exactly one line; nothing
// (and a failure) otherwise.
std::optional<IpcResponse> answer_of(const ProgramRun& run);
// The record of type T that kavo-ctl printed; nothing (and a failure) for
// any other answer.
template <class T>
std::optional<T> record_of(const ProgramRun& run) {
    const auto answer = answer_of(run);
    const T* record = record_of<T>(answer);
    if (record == nullptr) {
        ADD_FAILURE() << "another answer: " << run.output << run.error;
        return std::nullopt;
    }
    return *record;
}

// Whether `line` (without its line feed) is the banner the core log writes
// at each start of the core: the fixed words around a decimal time.
bool is_banner(const std::string& line);

// The lines of `text`, without their line feeds.
std::vector<std::string> lines_of(const std::string& text);

// Everything a child writes to the pipe until its end; nothing when there
// is no pipe.
std::string read_all(std::optional<PipeReader>& reader);

// Stand-ins for the system DLLs our programs load at run time, as somebody
// could plant them beside a program (Windows builds only; the build puts
// them in bin/planted-dlls). A planted DLL that gets loaded leaves
// "<name>.loaded" beside itself.
inline constexpr const char* PLANTED_DLLS[] = {"bcrypt.dll", "bcryptprimitives.dll"};
// Copies the stand-ins into `dir`.
void plant_system_dlls(const std::filesystem::path& dir);
// The planted DLLs in `dir` that were loaded.
std::vector<std::string> loaded_planted_dlls(const std::filesystem::path& dir);
// Has Wine, which otherwise takes its own builtin copy of a system DLL, look
// for the planted ones first where Windows does for any DLL that is not a
// known one (the program's folder among them) whenever it runs a program of
// the file name `program`; undone when the object goes. Wine reads this from
// its registry (its per-program DLL overrides): a variable in a child's
// environment block does not reach its loader. Nothing to do on Windows.
class PreferPlantedDlls {
  public:
    explicit PreferPlantedDlls(std::wstring program);
    ~PreferPlantedDlls();
    PreferPlantedDlls(const PreferPlantedDlls&) = delete;
    PreferPlantedDlls& operator=(const PreferPlantedDlls&) = delete;

  private:
    std::wstring key_;
};

}  // namespace kavo::testing
