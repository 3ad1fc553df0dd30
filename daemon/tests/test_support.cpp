#include "test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>

#include "ipc/client_records.h"
#include "platform/process_info.h"

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#endif

namespace kavo::testing {

TempDir::TempDir() {
    static std::atomic<unsigned> counter{0};
    std::random_device seed;
    const auto base = std::filesystem::temp_directory_path();
    for (;;) {
        const auto name = "kavo-test-" + std::to_string(seed()) + "-" + std::to_string(counter++);
        std::error_code error;
        if (std::filesystem::create_directory(base / name, error)) {
            path_ = base / name;
            return;
        }
    }
}

TempDir::~TempDir() {
    std::error_code error;
    std::filesystem::remove_all(path_, error);
}

NativeString TempDir::native(const std::filesystem::path& name) const {
    return name.empty() ? path_.native() : (path_ / name).native();
}

void write_file(const std::filesystem::path& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    ASSERT_TRUE(out.good()) << "cannot write " << path.string();
}

std::set<std::string> entries_of(const std::filesystem::path& dir) {
    std::set<std::string> names;
    std::error_code error;
    for (std::filesystem::directory_iterator it(dir, error), end; !error && it != end;
         it.increment(error)) {
        names.insert(it->path().filename().string());
    }
    return names;
}

std::map<std::string, std::uint32_t> pids_in(const std::filesystem::path& file) {
    std::map<std::string, std::uint32_t> pids;
    std::ifstream in(file);
    for (std::string line; std::getline(in, line);) {
        const auto space = line.find(' ');
        if (space != std::string::npos) {
            pids[line.substr(0, space)] =
                static_cast<std::uint32_t>(std::stoul(line.substr(space + 1)));
        }
    }
    return pids;
}

std::uint32_t core_pid_in(const std::filesystem::path& file) {
    const auto pids = pids_in(file);
    const auto core = pids.find("core");
    return core == pids.end() ? 0 : core->second;
}

std::uint32_t wait_for_core_pid(const std::filesystem::path& file) {
    std::uint32_t pid = 0;
    EXPECT_TRUE(eventually([&] {
        pid = core_pid_in(file);
        return pid != 0;
    })) << "the stand-in wrote no pid file";
    return pid;
}

void write_core_dir(const std::filesystem::path& dir, const std::string& config) {
    std::filesystem::create_directories(dir);
    write_file(dir / "config.yaml", config);
    write_file(dir / "GeoSite.dat", "geosite");
    write_file(dir / "geoip.metadb", "geoip");
}

Sandbox::Sandbox(bool in_process) : program_data_(program_data().string()) {
    std::filesystem::create_directories(program_data());
    write_core_dir("stdout: up\n");
    if (in_process) {
        env_.emplace("ProgramData", &program_data_);
    }
}

std::string captured_stderr(const std::function<void()>& run) {
    ::testing::internal::CaptureStderr();
    run();
    return ::testing::internal::GetCapturedStderr();
}

ProgramRun run_program(const std::filesystem::path& program,
                       const std::vector<NativeString>& arguments,
                       std::vector<std::pair<NativeString, NativeString>> environment) {
    SpawnOptions options;
    options.program = program.native();
    options.arguments = arguments;
    options.environment = std::move(environment);
    ProgramRun run;
    auto child = ChildProcess::spawn(options);
    EXPECT_TRUE(child) << (child ? "" : child.error().text);
    if (!child) {
        return run;
    }
    run.output = read_all(child->standard_output());
    run.error = read_all(child->standard_error());
    const auto code = child->wait();
    EXPECT_TRUE(code) << (code ? "" : code.error().text);
    run.exit_status = code ? *code : 255;
    return run;
}

bool make_directory_link(const std::filesystem::path& target, const std::filesystem::path& link) {
    std::error_code error;
    std::filesystem::create_directory_symlink(target, link, error);
    return !error;
}

bool make_fifo(const std::filesystem::path& path) {
#if defined(_WIN32)
    static_cast<void>(path);
    return false;
#else
    // The path is a temporary one of ours: no quotes in it.
    const std::string command = "mkfifo '" + path.string() + "'";
    return std::system(command.c_str()) == 0 && std::filesystem::is_fifo(path);
#endif
}

bool change_owner(const std::filesystem::path& path, unsigned uid) {
#if defined(_WIN32)
    static_cast<void>(path);
    static_cast<void>(uid);
    return false;
#else
    const std::string id = std::to_string(uid);
    // The path is a temporary one of ours: no quotes in it.
    const std::string command =
        "chown -hR " + id + ":" + id + " '" + path.string() + "' 2>/dev/null";
    return std::system(command.c_str()) == 0;
#endif
}

std::string read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

RemovalBlocker::RemovalBlocker(const std::filesystem::path& file) : file_(file) {
#if defined(_WIN32)
    // The C runtime opens with read and write sharing only.
    open_ = std::make_unique<std::ifstream>(file_, std::ios::binary);
    holds_ = open_->is_open();
#else
    const std::string quoted = "'" + file_.string() + "'";
    immutable_ = std::system(("chattr +i " + quoted + " 2>/dev/null").c_str()) == 0;
    if (!immutable_) {
        std::error_code error;
        std::filesystem::permissions(
            file_.parent_path(),
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec, error);
        read_only_ = !error;
    }
    // Whatever was done, it holds only if the file cannot be removed.
    std::error_code error;
    holds_ = (immutable_ || read_only_) && !std::filesystem::remove(file_, error);
    if (!holds_ && !std::filesystem::exists(file_)) {
        write_file(file_, "");
    }
#endif
}

RemovalBlocker::~RemovalBlocker() {
    release();
}

void RemovalBlocker::release() {
    open_.reset();
#if !defined(_WIN32)
    if (immutable_) {
        const std::string quoted = "'" + file_.string() + "'";
        static_cast<void>(std::system(("chattr -i " + quoted).c_str()));
        immutable_ = false;
    }
    if (read_only_) {
        std::error_code error;
        std::filesystem::permissions(file_.parent_path(), std::filesystem::perms::owner_all, error);
        read_only_ = false;
    }
#endif
    holds_ = false;
}

namespace {

void set_variable(const std::string& name, const std::string* value) {
#if defined(_WIN32)
    _putenv_s(name.c_str(), value ? value->c_str() : "");
#else
    if (value) {
        ::setenv(name.c_str(), value->c_str(), 1);
    } else {
        ::unsetenv(name.c_str());
    }
#endif
}

}  // namespace

ScopedEnv::ScopedEnv(const std::string& name, const std::string* value) : name_(name) {
    if (const char* old = std::getenv(name.c_str())) {
        had_value_ = true;
        old_value_ = old;
    }
    set_variable(name, value);
}

ScopedEnv::~ScopedEnv() {
    set_variable(name_, had_value_ ? &old_value_ : nullptr);
}

bool eventually(const std::function<bool()>& done, std::chrono::steady_clock::duration limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

void run_on_threads(asio::io_context& io, std::size_t threads) {
    std::vector<std::thread> others;
    for (std::size_t i = 1; i < threads; ++i) {
        others.emplace_back([&io] { io.run(); });
    }
    io.run();
    for (auto& other : others) {
        other.join();
    }
}

std::string error_of(const IpcResponse& response) {
    const auto* error = record_of<IpcResponse::Error>(response);
    return error ? error->message : "<not an error>";
}

std::string error_of(const std::optional<IpcResponse>& response) {
    return response ? error_of(*response) : "<no response>";
}

std::optional<IpcResponse> answer_of(const ProgramRun& run) {
    if (run.output.empty() || run.output.find('\n') != run.output.size() - 1) {
        ADD_FAILURE() << "not one line: " << run.output << run.error;
        return std::nullopt;
    }
    auto parsed = parse_response(std::string_view(run.output).substr(0, run.output.size() - 1));
    EXPECT_TRUE(parsed) << (parsed ? "" : parsed.error()) << ": " << run.output;
    if (!parsed) {
        return std::nullopt;
    }
    return *parsed;
}

bool is_banner(const std::string& line) {
    const std::string head = "--- KAVO core start ";
    const std::string tail = " ---";
    if (!line.starts_with(head) || !line.ends_with(tail) ||
        line.size() == head.size() + tail.size()) {
        return false;
    }
    for (std::size_t i = head.size(); i < line.size() - tail.size(); ++i) {
        if (line[i] < '0' || line[i] > '9') {
            return false;
        }
    }
    return true;
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

std::string read_all(std::optional<PipeReader>& reader) {
    std::string all;
    if (!reader) {
        return all;
    }
    char buffer[4096];
    for (;;) {
        auto got = reader->read(buffer);
        if (!got || *got == 0) {
            return all;
        }
        all.append(buffer, *got);
    }
}

void plant_system_dlls(const std::filesystem::path& dir) {
    const auto built =
        std::filesystem::path(running_executable_path().value()).parent_path() / "planted-dlls";
    for (const char* name : PLANTED_DLLS) {
        std::filesystem::copy_file(built / name, dir / name);
    }
}

std::vector<std::string> loaded_planted_dlls(const std::filesystem::path& dir) {
    std::vector<std::string> loaded;
    for (const char* name : PLANTED_DLLS) {
        if (std::filesystem::exists(dir / (std::string(name) + ".loaded"))) {
            loaded.emplace_back(name);
        }
    }
    return loaded;
}

#if defined(_WIN32)

PreferPlantedDlls::PreferPlantedDlls(std::wstring program) {
    if (!running_under_wine()) {
        return;
    }
    key_ = L"Software\\Wine\\AppDefaults\\" + program + L"\\DllOverrides";
    static const wchar_t native_first[] = L"native,builtin";
    for (const char* dll : PLANTED_DLLS) {
        // The override names a DLL without its extension.
        const std::string name = std::filesystem::path(dll).stem().string();
        const std::wstring value(name.begin(), name.end());
        const LSTATUS status = ::RegSetKeyValueW(HKEY_CURRENT_USER, key_.c_str(), value.c_str(),
                                                 REG_SZ, native_first, sizeof native_first);
        EXPECT_EQ(status, ERROR_SUCCESS) << "setting Wine's DLL override for " << name;
    }
}

PreferPlantedDlls::~PreferPlantedDlls() {
    if (!key_.empty()) {
        ::RegDeleteTreeW(HKEY_CURRENT_USER, key_.c_str());
    }
}

#else

PreferPlantedDlls::PreferPlantedDlls(std::wstring) {}
PreferPlantedDlls::~PreferPlantedDlls() = default;

#endif

}  // namespace kavo::testing
