#include "platform/process.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cstring>
#include <string>

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

struct ChildProcess::Impl {
    pid_t pid = -1;
    // Set once the child has been reaped; a pid cannot be waited for twice.
    std::optional<std::uint32_t> exit_code;
};

ChildProcess::ChildProcess(std::unique_ptr<Impl> impl, PipeReader out, PipeReader err)
    : impl_(std::move(impl)), standard_output_(std::move(out)), standard_error_(std::move(err)) {}
ChildProcess::ChildProcess(ChildProcess&&) noexcept = default;
ChildProcess& ChildProcess::operator=(ChildProcess&&) noexcept = default;
ChildProcess::~ChildProcess() {
    // Reap a child that has already ended so that it leaves no zombie; one
    // that still runs is its owner's business.
    if (impl_ && impl_->pid > 0 && !impl_->exit_code) {
        int status = 0;
        ::waitpid(impl_->pid, &status, WNOHANG);
    }
}

namespace {

struct Pipe {
    posix::UniqueFd read;
    posix::UniqueFd write;
};

OsResult<Pipe> make_pipe() {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) {
        return fail(last_os_error());
    }
    return Pipe{posix::UniqueFd(ends[0]), posix::UniqueFd(ends[1])};
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

std::uint32_t exit_code_of(int status) {
    if (WIFEXITED(status)) {
        return static_cast<std::uint32_t>(WEXITSTATUS(status));
    }
    if (WIFSIGNALED(status)) {
        return 128 + static_cast<std::uint32_t>(WTERMSIG(status));
    }
    return 1;
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

}  // namespace

OsResult<ChildProcess> ChildProcess::spawn(const SpawnOptions& options) {
    auto out = make_pipe();
    if (!out) {
        return fail(std::move(out).error());
    }
    auto err = make_pipe();
    if (!err) {
        return fail(std::move(err).error());
    }
    FileActions actions;
    // dup2 clears close-on-exec on the copies; closefrom then drops every
    // other descriptor, so the child keeps only its standard streams.
    int status = ::posix_spawn_file_actions_adddup2(actions.get(), out->write.get(), 1);
    if (status == 0) {
        status = ::posix_spawn_file_actions_adddup2(actions.get(), err->write.get(), 2);
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

    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(options.program.c_str()));
    for (const auto& argument : options.arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    std::vector<std::string> environment = child_environment(options.environment);
    std::vector<char*> envp;
    for (auto& entry : environment) {
        envp.push_back(entry.data());
    }
    envp.push_back(nullptr);

    pid_t pid = -1;
    status = ::posix_spawn(&pid, options.program.c_str(), actions.get(), nullptr, argv.data(),
                           envp.data());
    if (status != 0) {
        return fail(os_error(static_cast<std::uint32_t>(status)));
    }
    auto impl = std::make_unique<Impl>();
    impl->pid = pid;
    auto out_impl = std::make_unique<PipeReader::Impl>();
    out_impl->fd = std::move(out->read);
    auto err_impl = std::make_unique<PipeReader::Impl>();
    err_impl->fd = std::move(err->read);
    return ChildProcess(std::move(impl), PipeReader(std::move(out_impl)),
                        PipeReader(std::move(err_impl)));
}

OsResult<std::optional<std::uint32_t>> ChildProcess::poll() {
    if (impl_->exit_code) {
        return impl_->exit_code;
    }
    int status = 0;
    const pid_t done = ::waitpid(impl_->pid, &status, WNOHANG);
    if (done < 0) {
        return fail(last_os_error());
    }
    if (done == 0) {
        return std::optional<std::uint32_t>();
    }
    impl_->exit_code = exit_code_of(status);
    return impl_->exit_code;
}

OsResult<std::uint32_t> ChildProcess::wait() {
    while (!impl_->exit_code) {
        int status = 0;
        if (::waitpid(impl_->pid, &status, 0) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return fail(last_os_error());
        }
        impl_->exit_code = exit_code_of(status);
    }
    return *impl_->exit_code;
}

OsResult<void> ChildProcess::terminate(std::uint32_t) {
    if (impl_->exit_code) {
        return ok();
    }
    if (::kill(impl_->pid, SIGKILL) != 0) {
        return fail(last_os_error());
    }
    return ok();
}

}  // namespace kavo
