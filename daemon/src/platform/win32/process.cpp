#include "platform/process.h"

#include <chrono>
#include <cstddef>
#include <cwctype>
#include <optional>
#include <string>

#include "platform/command_line.h"
#include "platform/win32/win32.h"

namespace kavo {

struct PipeReader::Impl {
    win32::UniqueKernelHandle handle;
};

PipeReader::PipeReader(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
PipeReader::PipeReader(PipeReader&&) noexcept = default;
PipeReader& PipeReader::operator=(PipeReader&&) noexcept = default;
PipeReader::~PipeReader() = default;

OsResult<std::size_t> PipeReader::read(std::span<char> buffer) {
    DWORD got = 0;
    if (!::ReadFile(impl_->handle.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &got,
                    nullptr)) {
        return fail(last_os_error());
    }
    return static_cast<std::size_t>(got);
}

struct ProcessJob::Impl {
    win32::UniqueKernelHandle job;
};

struct ChildProcess::Impl {
    win32::UniqueKernelHandle process;
    win32::UniqueKernelHandle thread;
};

ChildProcess::ChildProcess(std::unique_ptr<Impl> impl, std::optional<PipeReader> out,
                           std::optional<PipeReader> err)
    : impl_(std::move(impl)), standard_output_(std::move(out)), standard_error_(std::move(err)) {}
ChildProcess::ChildProcess(ChildProcess&&) noexcept = default;
ChildProcess& ChildProcess::operator=(ChildProcess&&) noexcept = default;
ChildProcess::~ChildProcess() = default;

std::uint32_t ChildProcess::id() const {
    return static_cast<std::uint32_t>(::GetProcessId(impl_->process.get()));
}

namespace {

// Room for bursts of output without the core waiting on our reads.
constexpr DWORD PIPE_BUFFER_LEN = 65536;

struct Pipe {
    win32::UniqueKernelHandle read;
    win32::UniqueKernelHandle write;
};

// Both ends are created not inheritable; only the write end is made
// inheritable, just before it is handed to the child.
OsResult<Pipe> make_output_pipe() {
    HANDLE read = nullptr;
    HANDLE write = nullptr;
    if (!::CreatePipe(&read, &write, nullptr, PIPE_BUFFER_LEN)) {
        return fail(last_os_error());
    }
    Pipe pipe{win32::UniqueKernelHandle(read), win32::UniqueKernelHandle(write)};
    if (!::SetHandleInformation(pipe.write.get(), HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT)) {
        return fail(last_os_error());
    }
    return pipe;
}

bool same_name(std::wstring_view a, std::wstring_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::towupper(a[i]) != std::towupper(b[i])) {
            return false;
        }
    }
    return true;
}

// Our environment block with `additions` set on top. Names compare without
// regard to case, as Windows does.
OsResult<std::wstring> child_environment(
    const std::vector<std::pair<NativeString, NativeString>>& additions) {
    wchar_t* block = ::GetEnvironmentStringsW();
    if (block == nullptr) {
        return fail(last_os_error());
    }
    std::wstring out;
    for (const wchar_t* entry = block; *entry != L'\0';) {
        const std::wstring_view text(entry);
        entry += text.size() + 1;
        // Names of the hidden per-drive entries ("=C:=C:\dir") start with '='.
        const std::size_t equals = text.find(L'=', 1);
        const std::wstring_view name = text.substr(0, equals);
        bool replaced = false;
        for (const auto& addition : additions) {
            replaced = replaced || same_name(name, addition.first);
        }
        if (!replaced) {
            out.append(text);
            out.push_back(L'\0');
        }
    }
    ::FreeEnvironmentStringsW(block);
    for (const auto& [name, value] : additions) {
        out.append(name).append(L"=").append(value);
        out.push_back(L'\0');
    }
    out.push_back(L'\0');
    return out;
}

// The attributes of one child's creation: the handles it may inherit and
// the job it is created in, each when given.
class AttributeList {
  public:
    // Invalid, with the reason in error(), when the system refuses it.
    AttributeList(const HANDLE* handles, std::size_t count, const HANDLE* job) {
        const DWORD attribute_count = (count > 0 ? 1 : 0) + (job != nullptr ? 1 : 0);
        SIZE_T size = 0;
        ::InitializeProcThreadAttributeList(nullptr, attribute_count, 0, &size);
        if (size == 0) {
            error_ = last_os_error();
            return;
        }
        storage_.resize(size);
        auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(storage_.data());
        if (!::InitializeProcThreadAttributeList(list, attribute_count, 0, &size)) {
            error_ = last_os_error();
            return;
        }
        if ((count > 0 && !::UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST,
                                                       const_cast<HANDLE*>(handles),
                                                       count * sizeof(HANDLE), nullptr, nullptr)) ||
            (job != nullptr && !::UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_JOB_LIST,
                                                            const_cast<HANDLE*>(job),
                                                            sizeof(HANDLE), nullptr, nullptr))) {
            error_ = last_os_error();
            ::DeleteProcThreadAttributeList(list);
            return;
        }
        list_ = list;
    }
    ~AttributeList() {
        if (list_ != nullptr) {
            ::DeleteProcThreadAttributeList(list_);
        }
    }
    AttributeList(const AttributeList&) = delete;
    AttributeList& operator=(const AttributeList&) = delete;

    LPPROC_THREAD_ATTRIBUTE_LIST get() const { return list_; }
    const OsError& error() const { return error_; }

  private:
    OsError error_;
    std::vector<char> storage_;
    LPPROC_THREAD_ATTRIBUTE_LIST list_ = nullptr;
};

// Our own standard output and error, made inheritable for a child that
// writes to them; null when we have none.
HANDLE inheritable_standard_handle(DWORD which) {
    const HANDLE handle = ::GetStdHandle(which);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE) {
        return nullptr;
    }
    if (!::SetHandleInformation(handle, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT)) {
        return nullptr;
    }
    return handle;
}

}  // namespace

OsResult<ChildProcess> ChildProcess::spawn(const SpawnOptions& options) {
    std::optional<Pipe> out;
    std::optional<Pipe> err;
    HANDLE child_out = nullptr;
    HANDLE child_err = nullptr;
    if (options.capture_output) {
        auto out_pipe = make_output_pipe();
        if (!out_pipe) {
            return fail(std::move(out_pipe).error());
        }
        auto err_pipe = make_output_pipe();
        if (!err_pipe) {
            return fail(std::move(err_pipe).error());
        }
        out.emplace(std::move(out_pipe).value());
        err.emplace(std::move(err_pipe).value());
        child_out = out->write.get();
        child_err = err->write.get();
    } else {
        child_out = inheritable_standard_handle(STD_OUTPUT_HANDLE);
        child_err = inheritable_standard_handle(STD_ERROR_HANDLE);
    }
    std::wstring environment;
    if (!options.environment.empty()) {
        auto block = child_environment(options.environment);
        if (!block) {
            return fail(std::move(block).error());
        }
        environment = std::move(block).value();
    }
    std::wstring command_line = build_command_line<wchar_t>(options.program, options.arguments);

    // Each handle once: the list refuses duplicates.
    HANDLE inherited[2] = {};
    std::size_t inherited_count = 0;
    for (const HANDLE handle : {child_out, child_err}) {
        if (handle != nullptr && (inherited_count == 0 || inherited[0] != handle)) {
            inherited[inherited_count++] = handle;
        }
    }
    // Children inherit exactly these handles or are not started: without the
    // list, every inheritable handle another thread made at this moment (the
    // write end of another child's pipe, say) would go along too.
    // A child for a job is created in it: it is never, not even before its
    // first instruction, a process that the job's end would not take along.
    // The list keeps a pointer to the handle, which lives until the creation.
    HANDLE job = nullptr;
    if (options.job != nullptr) {
        if (options.job->impl() == nullptr || !options.job->impl()->job.valid()) {
            return fail(os_error(ERROR_INVALID_HANDLE));
        }
        job = options.job->impl()->job.get();
    }
    std::optional<AttributeList> attributes;
    if (inherited_count > 0 || job != nullptr) {
        attributes.emplace(inherited, inherited_count, job != nullptr ? &job : nullptr);
        if (attributes->get() == nullptr) {
            return fail(attributes->error());
        }
    }

    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    // The core reads nothing: it gets no standard input.
    startup.StartupInfo.hStdInput = nullptr;
    startup.StartupInfo.hStdOutput = child_out;
    startup.StartupInfo.hStdError = child_err;
    DWORD flags = CREATE_NO_WINDOW | CREATE_UNICODE_ENVIRONMENT;
    if (attributes) {
        startup.lpAttributeList = attributes->get();
        flags |= EXTENDED_STARTUPINFO_PRESENT;
    } else {
        startup.StartupInfo.cb = sizeof startup.StartupInfo;
    }

    PROCESS_INFORMATION info{};
    if (!::CreateProcessW(
            options.program.c_str(), command_line.data(), nullptr, nullptr,
            inherited_count > 0 ? TRUE : FALSE, flags,
            environment.empty() ? nullptr : environment.data(),
            options.working_directory.empty() ? nullptr : options.working_directory.c_str(),
            &startup.StartupInfo, &info)) {
        return fail(last_os_error());
    }
    auto impl = std::make_unique<Impl>();
    impl->process.reset(info.hProcess);
    impl->thread.reset(info.hThread);
    std::optional<PipeReader> out_reader;
    std::optional<PipeReader> err_reader;
    if (out) {
        // Our copies of the write ends must go, or the reads never see the end.
        out->write.reset();
        err->write.reset();
        auto out_impl = std::make_unique<PipeReader::Impl>();
        out_impl->handle = std::move(out->read);
        out_reader.emplace(std::move(out_impl));
        auto err_impl = std::make_unique<PipeReader::Impl>();
        err_impl->handle = std::move(err->read);
        err_reader.emplace(std::move(err_impl));
    }
    return ChildProcess(std::move(impl), std::move(out_reader), std::move(err_reader));
}

OsResult<std::optional<std::uint32_t>> ChildProcess::poll() {
    const DWORD state = ::WaitForSingleObject(impl_->process.get(), 0);
    if (state == WAIT_TIMEOUT) {
        return std::optional<std::uint32_t>();
    }
    if (state != WAIT_OBJECT_0) {
        return fail(last_os_error());
    }
    DWORD code = 0;
    if (!::GetExitCodeProcess(impl_->process.get(), &code)) {
        return fail(last_os_error());
    }
    return std::optional<std::uint32_t>(code);
}

OsResult<std::uint32_t> ChildProcess::wait() {
    if (::WaitForSingleObject(impl_->process.get(), INFINITE) != WAIT_OBJECT_0) {
        return fail(last_os_error());
    }
    DWORD code = 0;
    if (!::GetExitCodeProcess(impl_->process.get(), &code)) {
        return fail(last_os_error());
    }
    return static_cast<std::uint32_t>(code);
}

OsResult<void> ChildProcess::terminate(std::uint32_t exit_code) {
    if (!::TerminateProcess(impl_->process.get(), exit_code)) {
        return fail(last_os_error());
    }
    return ok();
}

OsResult<void> ChildProcess::interrupt() {
    return fail(os_error(ERROR_NOT_SUPPORTED));
}

// The size the system expects for the extended limits of a job.
static_assert(sizeof(JOBOBJECT_EXTENDED_LIMIT_INFORMATION) == 144);

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
    // Unnamed, default security: nobody else can open it, and our handle is
    // its only one.
    const HANDLE job = ::CreateJobObjectW(nullptr, nullptr);
    if (job == nullptr) {
        return fail(last_os_error());
    }
    auto impl = std::make_unique<Impl>();
    impl->job.reset(job);
    return ProcessJob(std::move(impl));
}

OsResult<void> ProcessJob::set_kill_on_close() {
    if (!impl_ || !impl_->job.valid()) {
        return fail(os_error(ERROR_INVALID_HANDLE));
    }
    // Every limit zero but the one that ends the job's processes when its
    // last handle closes: no memory, time, process-count or priority limits.
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!::SetInformationJobObject(impl_->job.get(), JobObjectExtendedLimitInformation, &limits,
                                   sizeof limits)) {
        return fail(last_os_error());
    }
    return ok();
}

OsResult<bool> ProcessJob::holds(std::uint32_t id) const {
    if (!impl_ || !impl_->job.valid()) {
        return fail(os_error(ERROR_INVALID_HANDLE));
    }
    // Full query rights: Wine refuses the job test to a handle with limited
    // ones, which Windows accepts.
    win32::UniqueKernelHandle process(
        ::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE, id));
    if (!process.valid()) {
        // No process has that identifier any more.
        if (::GetLastError() == ERROR_INVALID_PARAMETER) {
            return false;
        }
        return fail(last_os_error());
    }
    if (::WaitForSingleObject(process.get(), 0) != WAIT_TIMEOUT) {
        return false;
    }
    BOOL in_job = FALSE;
    if (!::IsProcessInJob(process.get(), impl_->job.get(), &in_job)) {
        return fail(last_os_error());
    }
    return in_job != FALSE;
}

namespace {

// How often a wait for an empty job asks again.
constexpr std::chrono::milliseconds JOB_POLL_INTERVAL{10};

}  // namespace

bool ProcessJob::end_all(std::chrono::milliseconds bound) {
    if (!impl_ || !impl_->job.valid()) {
        return false;
    }
    // Every process of the job ends with the code a terminated core has.
    if (!::TerminateJobObject(impl_->job.get(), 1)) {
        return false;
    }
    // Termination completes asynchronously: a process leaves the job's
    // count of active processes only once it has exited.
    const auto deadline = std::chrono::steady_clock::now() + bound;
    for (;;) {
        JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting{};
        if (!::QueryInformationJobObject(impl_->job.get(), JobObjectBasicAccountingInformation,
                                         &accounting, sizeof accounting, nullptr)) {
            return false;
        }
        if (accounting.ActiveProcesses == 0) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        ::Sleep(static_cast<DWORD>(JOB_POLL_INTERVAL.count()));
    }
}

void ProcessJob::close() {
    if (impl_) {
        impl_->job.reset();
    }
}

}  // namespace kavo
