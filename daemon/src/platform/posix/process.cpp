#include "platform/process.h"

#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

#include "platform/posix/posix.h"

extern char** environ;

namespace kavo {

struct PipeReader::Impl {
    posix::UniqueFd fd;
};

PipeReader::PipeReader(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
PipeReader::PipeReader(PipeReader&&) noexcept = default;
PipeReader& PipeReader::operator=(PipeReader&&) noexcept = default;
PipeReader::~PipeReader() = default;

OsResult<std::size_t> PipeReader::read(std::span<char> buffer) {
    for (;;) {
        const ssize_t got = ::read(impl_->fd.get(), buffer.data(), buffer.size());
        if (got >= 0) {
            return static_cast<std::size_t>(got);
        }
        if (errno != EINTR) {
            return fail(last_os_error());
        }
    }
}

namespace {

// One child, shared by its ChildProcess and the job it is in. Its exit is
// observed without reaping it, and it is reaped only when both have let go:
// until then its pid, and the id of the group it leads, cannot be given to
// another process, so a signal sent to either never reaches a stranger.
struct ProcessRecord {
    pid_t pid = -1;
    // Known once the child has ended.
    std::optional<std::uint32_t> exit_code;

    ~ProcessRecord() {
        // A child that still runs is its owner's business; one that ended
        // leaves no zombie.
        if (pid > 0) {
            int status = 0;
            ::waitpid(pid, &status, WNOHANG);
        }
    }
};

}  // namespace

struct ProcessJob::Impl {
    // The leaders of the groups in the job, held unreaped until the job is
    // closed so that their group ids stay theirs.
    std::vector<std::shared_ptr<ProcessRecord>> leaders;
    bool closed = false;
};

struct ChildProcess::Impl {
    std::shared_ptr<ProcessRecord> record;
};

ChildProcess::ChildProcess(std::unique_ptr<Impl> impl, std::optional<PipeReader> out,
                           std::optional<PipeReader> err)
    : impl_(std::move(impl)), standard_output_(std::move(out)), standard_error_(std::move(err)) {}
ChildProcess::ChildProcess(ChildProcess&&) noexcept = default;
ChildProcess& ChildProcess::operator=(ChildProcess&&) noexcept = default;
ChildProcess::~ChildProcess() = default;

std::uint32_t ChildProcess::id() const {
    return static_cast<std::uint32_t>(impl_->record->pid);
}

namespace {

// Keeps a descriptor clear of 0, 1 and 2, so that placing a pipe end on a
// standard stream never overwrites another one we still need.
OsResult<posix::UniqueFd> above_standard_streams(posix::UniqueFd fd) {
    if (fd.get() > STDERR_FILENO) {
        return fd;
    }
    const int moved = ::fcntl(fd.get(), F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    if (moved < 0) {
        return fail(last_os_error());
    }
    return posix::UniqueFd(moved);
}

struct Pipe {
    posix::UniqueFd read;
    posix::UniqueFd write;
};

OsResult<Pipe> make_pipe() {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) {
        return fail(last_os_error());
    }
    posix::UniqueFd read(ends[0]);
    posix::UniqueFd write(ends[1]);
    auto read_end = above_standard_streams(std::move(read));
    if (!read_end) {
        return fail(std::move(read_end).error());
    }
    auto write_end = above_standard_streams(std::move(write));
    if (!write_end) {
        return fail(std::move(write_end).error());
    }
    return Pipe{std::move(read_end).value(), std::move(write_end).value()};
}

class FileActions {
  public:
    FileActions() { ::posix_spawn_file_actions_init(&actions_); }
    ~FileActions() { ::posix_spawn_file_actions_destroy(&actions_); }
    FileActions(const FileActions&) = delete;
    FileActions& operator=(const FileActions&) = delete;
    posix_spawn_file_actions_t* get() { return &actions_; }

  private:
    posix_spawn_file_actions_t actions_;
};

std::uint32_t exit_code_of(const siginfo_t& info) {
    switch (info.si_code) {
        case CLD_EXITED:
            return static_cast<std::uint32_t>(info.si_status);
        case CLD_KILLED:
        case CLD_DUMPED:
            return 128 + static_cast<std::uint32_t>(info.si_status);
        default:
            return 1;
    }
}

// Our environment with `additions` set on top (replacing same-named ones).
std::vector<std::string> child_environment(
    const std::vector<std::pair<NativeString, NativeString>>& additions) {
    std::vector<std::string> entries;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        const std::string_view text(*entry);
        bool replaced = false;
        for (const auto& [name, value] : additions) {
            replaced = replaced || (text.size() > name.size() && text.starts_with(name) &&
                                    text[name.size()] == '=');
        }
        if (!replaced) {
            entries.emplace_back(text);
        }
    }
    for (const auto& [name, value] : additions) {
        entries.push_back(name + "=" + value);
    }
    return entries;
}

// The argument and environment vectors of one spawn, built before any fork.
struct Vectors {
    std::vector<std::string> environment;
    std::vector<char*> argv;
    std::vector<char*> envp;

    explicit Vectors(const SpawnOptions& options)
        : environment(child_environment(options.environment)) {
        argv.push_back(const_cast<char*>(options.program.c_str()));
        for (const auto& argument : options.arguments) {
            argv.push_back(const_cast<char*>(argument.c_str()));
        }
        argv.push_back(nullptr);
        for (auto& entry : environment) {
            envp.push_back(entry.data());
        }
        envp.push_back(nullptr);
    }
};

OsResult<pid_t> spawn_plain(const SpawnOptions& options, const Pipe* out, const Pipe* err) {
    FileActions actions;
    // dup2 clears close-on-exec on the copies; closefrom then drops every
    // other descriptor, so the child keeps only its standard streams.
    int status = 0;
    if (out != nullptr) {
        status = ::posix_spawn_file_actions_adddup2(actions.get(), out->write.get(), 1);
        if (status == 0) {
            status = ::posix_spawn_file_actions_adddup2(actions.get(), err->write.get(), 2);
        }
    }
    if (status == 0 && !options.working_directory.empty()) {
        status = ::posix_spawn_file_actions_addchdir_np(actions.get(),
                                                        options.working_directory.c_str());
    }
    if (status == 0) {
        status = ::posix_spawn_file_actions_addclosefrom_np(actions.get(), 3);
    }
    if (status != 0) {
        return fail(os_error(static_cast<std::uint32_t>(status)));
    }
    Vectors vectors(options);
    pid_t pid = -1;
    status = ::posix_spawn(&pid, options.program.c_str(), actions.get(), nullptr,
                           vectors.argv.data(), vectors.envp.data());
    if (status != 0) {
        return fail(os_error(static_cast<std::uint32_t>(status)));
    }
    return pid;
}

// Everything the forked child needs, prepared before the fork: between fork
// and exec the child makes only async-signal-safe calls and allocates nothing.
struct ForkPlan {
    const char* program = nullptr;
    char* const* argv = nullptr;
    char* const* envp = nullptr;
    // Null: our working directory.
    const char* working_directory = nullptr;
    // -1: our own standard streams.
    int out_fd = -1;
    int err_fd = -1;
    // Carries the child's reports: 0 once it is held, then the errno of a
    // failed step; closed by a successful exec.
    int report_fd = -1;
    // The child's end of the channel on which it is let go.
    int go_fd = -1;
    pid_t parent = -1;
    // Where the fallback close loop stops when close_range is missing.
    int descriptor_limit = 0;
};

void close_range_from(unsigned first, unsigned last, int limit) {
    if (first > last) {
        return;
    }
    if (::close_range(first, last, 0) == 0) {
        return;
    }
    for (unsigned fd = first; fd <= last && fd < static_cast<unsigned>(limit); ++fd) {
        ::close(static_cast<int>(fd));
    }
}

void report(int report_fd, int value) {
    // Nothing more can be done if the parent does not get this.
    [[maybe_unused]] const ssize_t put = ::write(report_fd, &value, sizeof value);
}

[[noreturn]] void give_up(int report_fd, int error) {
    report(report_fd, error);
    ::_exit(127);
}

[[noreturn]] void run_forked_child(const ForkPlan& plan) {
    // Our own group, set here before anything of the program runs, so that
    // the job can end us with everything we start.
    if (::setpgid(0, 0) != 0) {
        give_up(plan.report_fd, errno);
    }
    // Killed when the thread that forked us ends, which lives as long as the
    // daemon. If the daemon died before this took effect, we are an orphan
    // already: leave at once.
    if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0) {
        give_up(plan.report_fd, errno);
    }
    if (::getppid() != plan.parent) {
        ::_exit(127);
    }
    // The spawner thread blocks every signal; the program starts with none
    // blocked and SIGPIPE at its default.
    sigset_t none;
    ::sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    struct sigaction standard {};
    standard.sa_handler = SIG_DFL;
    ::sigaction(SIGPIPE, &standard, nullptr);
    if (plan.out_fd >= 0) {
        if (::dup2(plan.out_fd, STDOUT_FILENO) < 0 || ::dup2(plan.err_fd, STDERR_FILENO) < 0) {
            give_up(plan.report_fd, errno);
        }
    }
    if (plan.working_directory != nullptr && ::chdir(plan.working_directory) != 0) {
        give_up(plan.report_fd, errno);
    }
    // Nothing but the standard streams (and our two channels, closed by the
    // exec) goes into the program; nothing else of the parent's is held
    // while we wait.
    const auto low = static_cast<unsigned>(std::min(plan.report_fd, plan.go_fd));
    const auto high = static_cast<unsigned>(std::max(plan.report_fd, plan.go_fd));
    close_range_from(STDERR_FILENO + 1, low - 1, plan.descriptor_limit);
    close_range_from(low + 1, high - 1, plan.descriptor_limit);
    close_range_from(high + 1, ~0u, plan.descriptor_limit);
    // Held: the parent takes our group into its job and then lets us go. An
    // end of the channel without the go (the parent gave up on us, or died)
    // means we must not run.
    report(plan.report_fd, 0);
    char go = 0;
    ssize_t got = 0;
    do {
        got = ::read(plan.go_fd, &go, 1);
    } while (got < 0 && errno == EINTR);
    if (got != 1) {
        ::_exit(127);
    }
    ::execve(plan.program, plan.argv, plan.envp);
    give_up(plan.report_fd, errno);
}

// Reads one report of a child: nullopt at the end of the channel (the child
// executed its program, or ended), else its value (EIO when cut short).
std::optional<int> read_report(int fd) {
    int value = 0;
    std::size_t got = 0;
    while (got < sizeof value) {
        const ssize_t n = ::read(fd, reinterpret_cast<char*>(&value) + got, sizeof value - got);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        got += static_cast<std::size_t>(n);
    }
    if (got == 0) {
        return std::nullopt;
    }
    return got == sizeof value ? value : EIO;
}

// A child forked and held before its exec, with our ends of its channels.
struct HeldChild {
    pid_t pid = -1;
    posix::UniqueFd go;
    posix::UniqueFd report;
};

struct Channels {
    posix::UniqueFd report_read;
    posix::UniqueFd report_write;
    // Stream sockets rather than a pipe: the go is sent without SIGPIPE when
    // the child has gone.
    posix::UniqueFd go_ours;
    posix::UniqueFd go_child;
};

// Forks per `plan`, on the calling thread, and returns once the child is
// held (in its own group, its death signal set), or with the failed step's
// error once the child has been reaped.
OsResult<HeldChild> fork_held(ForkPlan plan, Channels channels) {
    plan.report_fd = channels.report_write.get();
    plan.go_fd = channels.go_child.get();
    const pid_t pid = ::fork();
    if (pid < 0) {
        return fail(last_os_error());
    }
    if (pid == 0) {
        run_forked_child(plan);
    }
    channels.report_write.reset();
    channels.go_child.reset();
    const std::optional<int> held = read_report(channels.report_read.get());
    if (held && *held == 0) {
        return HeldChild{pid, std::move(channels.go_ours), std::move(channels.report_read)};
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return fail(os_error(static_cast<std::uint32_t>(held ? *held : EIO)));
}

// The one thread that forks the children bound to our life. A child's death
// signal fires when the thread that forked it ends, so that thread must live
// as long as the process: it is started on first use and never ends.
class Spawner {
  public:
    static Spawner& instance() {
        // Never destroyed: the thread may still wait on it while the process
        // exits.
        static Spawner* spawner = new Spawner;
        return *spawner;
    }

    OsResult<HeldChild> run(std::function<OsResult<HeldChild>()> work) {
        std::packaged_task<OsResult<HeldChild>()> task(std::move(work));
        auto result = task.get_future();
        {
            std::lock_guard lock(mutex_);
            if (!started_) {
                if (auto started = start(); !started) {
                    return fail(std::move(started).error());
                }
                started_ = true;
            }
            queue_.push_back(std::move(task));
        }
        ready_.notify_one();
        return result.get();
    }

  private:
    OsResult<void> start() {
        // The thread blocks every signal, so none is ever handled on it; it
        // inherits the mask in force while it is created.
        sigset_t all;
        sigset_t old;
        ::sigfillset(&all);
        ::pthread_sigmask(SIG_SETMASK, &all, &old);
        OsResult<void> started = ok();
        try {
            std::thread([this] { loop(); }).detach();
        } catch (const std::system_error& error) {
            started = fail(os_error(static_cast<std::uint32_t>(error.code().value())));
        }
        ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
        return started;
    }

    void loop() {
        std::unique_lock lock(mutex_);
        for (;;) {
            ready_.wait(lock, [this] { return !queue_.empty(); });
            auto task = std::move(queue_.front());
            queue_.pop_front();
            lock.unlock();
            task();
            lock.lock();
        }
    }

    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<std::packaged_task<OsResult<HeldChild>()>> queue_;
    bool started_ = false;
};

OsResult<Channels> make_channels() {
    Channels channels;
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) {
        return fail(last_os_error());
    }
    channels.report_read.reset(ends[0]);
    auto report_write = above_standard_streams(posix::UniqueFd(ends[1]));
    if (!report_write) {
        return fail(std::move(report_write).error());
    }
    channels.report_write = std::move(report_write).value();
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
        return fail(last_os_error());
    }
    channels.go_ours.reset(ends[0]);
    auto go_child = above_standard_streams(posix::UniqueFd(ends[1]));
    if (!go_child) {
        return fail(std::move(go_child).error());
    }
    channels.go_child = std::move(go_child).value();
    return channels;
}

OsResult<HeldChild> spawn_held(const SpawnOptions& options, const Pipe* out, const Pipe* err) {
    auto channels = make_channels();
    if (!channels) {
        return fail(std::move(channels).error());
    }
    Vectors vectors(options);
    ForkPlan plan;
    plan.program = options.program.c_str();
    plan.argv = vectors.argv.data();
    plan.envp = vectors.envp.data();
    if (!options.working_directory.empty()) {
        plan.working_directory = options.working_directory.c_str();
    }
    if (out != nullptr) {
        plan.out_fd = out->write.get();
        plan.err_fd = err->write.get();
    }
    plan.parent = ::getpid();
    rlimit limit{};
    plan.descriptor_limit = ::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < 65536
                                ? static_cast<int>(limit.rlim_cur)
                                : 65536;
    // The child works on its own copy of the vectors (a fork, not a vfork):
    // they may go once run() returns.
    return Spawner::instance().run(
        [plan, shared = std::make_shared<Channels>(std::move(channels).value())]() {
            return fork_held(plan, std::move(*shared));
        });
}

// Lets a held child go and waits for its exec: the exec closes the report
// channel; a failed one writes its errno.
OsResult<void> let_go(const HeldChild& child) {
    const char go = 1;
    ssize_t sent = 0;
    do {
        sent = ::send(child.go.get(), &go, 1, MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    if (sent != 1) {
        return fail(last_os_error());
    }
    if (const std::optional<int> failed = read_report(child.report.get())) {
        return fail(os_error(static_cast<std::uint32_t>(*failed)));
    }
    return ok();
}

}  // namespace

OsResult<ChildProcess> ChildProcess::spawn(const SpawnOptions& options) {
    std::optional<Pipe> out;
    std::optional<Pipe> err;
    if (options.capture_output) {
        auto out_pipe = make_pipe();
        if (!out_pipe) {
            return fail(std::move(out_pipe).error());
        }
        auto err_pipe = make_pipe();
        if (!err_pipe) {
            return fail(std::move(err_pipe).error());
        }
        out.emplace(std::move(out_pipe).value());
        err.emplace(std::move(err_pipe).value());
    }
    const Pipe* out_ptr = out ? &*out : nullptr;
    const Pipe* err_ptr = err ? &*err : nullptr;
    auto impl = std::make_unique<Impl>();
    impl->record = std::make_shared<ProcessRecord>();
    if (options.job != nullptr) {
        ProcessJob::Impl* job = options.job->impl();
        if (job == nullptr || job->closed) {
            return fail(os_error(EBADF));
        }
        auto held = spawn_held(options, out_ptr, err_ptr);
        if (!held) {
            return fail(std::move(held).error());
        }
        impl->record->pid = held->pid;
        // The group is in the job before the program runs.
        job->leaders.push_back(impl->record);
        if (auto executed = let_go(*held); !executed) {
            job->leaders.pop_back();
            // It leaves without running anything; reap it before its id
            // goes, so that nothing signals a stranger by that id later.
            ::kill(held->pid, SIGKILL);
            int status = 0;
            while (::waitpid(held->pid, &status, 0) < 0 && errno == EINTR) {
            }
            impl->record->pid = -1;
            return fail(std::move(executed).error());
        }
    } else {
        auto pid = spawn_plain(options, out_ptr, err_ptr);
        if (!pid) {
            return fail(std::move(pid).error());
        }
        impl->record->pid = *pid;
    }
    std::optional<PipeReader> out_reader;
    std::optional<PipeReader> err_reader;
    if (out) {
        auto out_impl = std::make_unique<PipeReader::Impl>();
        out_impl->fd = std::move(out->read);
        out_reader.emplace(std::move(out_impl));
        auto err_impl = std::make_unique<PipeReader::Impl>();
        err_impl->fd = std::move(err->read);
        err_reader.emplace(std::move(err_impl));
    }
    return ChildProcess(std::move(impl), std::move(out_reader), std::move(err_reader));
}

OsResult<std::optional<std::uint32_t>> ChildProcess::poll() {
    ProcessRecord& record = *impl_->record;
    if (record.exit_code) {
        return record.exit_code;
    }
    siginfo_t info{};
    // WNOWAIT: the child stays unreaped (see ProcessRecord).
    if (::waitid(P_PID, static_cast<id_t>(record.pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0) {
        return fail(last_os_error());
    }
    if (info.si_pid == 0) {
        return std::optional<std::uint32_t>();
    }
    record.exit_code = exit_code_of(info);
    return record.exit_code;
}

OsResult<std::uint32_t> ChildProcess::wait() {
    ProcessRecord& record = *impl_->record;
    while (!record.exit_code) {
        siginfo_t info{};
        if (::waitid(P_PID, static_cast<id_t>(record.pid), &info, WEXITED | WNOWAIT) != 0) {
            if (errno == EINTR) {
                continue;
            }
            return fail(last_os_error());
        }
        record.exit_code = exit_code_of(info);
    }
    return *record.exit_code;
}

OsResult<void> ChildProcess::terminate(std::uint32_t) {
    const ProcessRecord& record = *impl_->record;
    if (record.exit_code) {
        return ok();
    }
    if (::kill(record.pid, SIGKILL) != 0) {
        return fail(last_os_error());
    }
    return ok();
}

OsResult<void> ChildProcess::interrupt() {
    const ProcessRecord& record = *impl_->record;
    if (record.exit_code) {
        return ok();
    }
    if (::kill(record.pid, SIGTERM) != 0) {
        return fail(last_os_error());
    }
    return ok();
}

ProcessJob::ProcessJob(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
ProcessJob::ProcessJob(ProcessJob&&) noexcept = default;
ProcessJob& ProcessJob::operator=(ProcessJob&& other) noexcept {
    if (this != &other) {
        close();
        impl_ = std::move(other.impl_);
    }
    return *this;
}
ProcessJob::~ProcessJob() {
    close();
}

OsResult<ProcessJob> ProcessJob::create() {
    return ProcessJob(std::make_unique<Impl>());
}

OsResult<void> ProcessJob::set_kill_on_close() {
    // The group kill on close is all there is to it.
    if (!impl_ || impl_->closed) {
        return fail(os_error(EBADF));
    }
    return ok();
}

OsResult<bool> ProcessJob::holds(std::uint32_t id) const {
    if (!impl_ || impl_->closed) {
        return fail(os_error(EBADF));
    }
    const auto stat = posix::read_process_stat(static_cast<pid_t>(id));
    if (!stat || stat->ended()) {
        return false;
    }
    // A group's id is its leader's; the leaders stay unreaped while the job
    // has them, so no other group can carry that id meanwhile.
    return std::any_of(impl_->leaders.begin(), impl_->leaders.end(),
                       [&](const auto& leader) { return leader->pid == stat->group; });
}

namespace {

// How often a wait for an empty job asks again.
constexpr std::chrono::milliseconds JOB_POLL_INTERVAL{10};

// Whether any process of these groups has not ended yet. The unreaped
// leaders make every group answer a signal test, so the members are looked
// up one by one; an ended member (a zombie nobody reaped yet) does not count.
OsResult<bool> any_alive_in(const std::vector<std::shared_ptr<ProcessRecord>>& leaders) {
    const auto in_job = [&](pid_t group) {
        return std::any_of(leaders.begin(), leaders.end(),
                           [&](const auto& leader) { return leader->pid == group; });
    };
    const std::unique_ptr<DIR, int (*)(DIR*)> processes(::opendir("/proc"), ::closedir);
    if (!processes) {
        return fail(last_os_error());
    }
    while (const dirent* entry = ::readdir(processes.get())) {
        pid_t pid = 0;
        const std::string_view name(entry->d_name);
        const auto parsed = std::from_chars(name.data(), name.data() + name.size(), pid);
        if (parsed.ec != std::errc() || parsed.ptr != name.data() + name.size()) {
            continue;
        }
        const auto stat = posix::read_process_stat(pid);
        if (stat && !stat->ended() && in_job(stat->group)) {
            return true;
        }
    }
    return false;
}

}  // namespace

bool ProcessJob::end_all(std::chrono::milliseconds bound) {
    if (!impl_ || impl_->closed) {
        return false;
    }
    const auto deadline = std::chrono::steady_clock::now() + bound;
    for (;;) {
        // Again on every round: a member may have forked while the last
        // signal was on its way.
        for (const auto& leader : impl_->leaders) {
            ::kill(-leader->pid, SIGKILL);
        }
        const auto alive = any_alive_in(impl_->leaders);
        if (!alive) {
            return false;
        }
        if (!*alive) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(JOB_POLL_INTERVAL);
    }
}

void ProcessJob::close() {
    if (!impl_) {
        return;
    }
    for (const auto& leader : impl_->leaders) {
        // A group whose members have all ended answers ESRCH: nothing left.
        ::kill(-leader->pid, SIGKILL);
    }
    impl_->leaders.clear();
    impl_->closed = true;
}

}  // namespace kavo
