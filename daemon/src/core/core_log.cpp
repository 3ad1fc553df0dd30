#include "core/core_log.h"

#include <array>
#include <filesystem>
#include <span>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "core/log_line.h"
#include "core/log_rotation.h"
#include "platform/fs.h"
#include "platform/system_clock.h"

namespace kavo {
namespace {

NativeString log_path(const NativeString& log_dir, const std::string& name) {
    return (std::filesystem::path(log_dir) / utf8_to_native(name)).native();
}

NativeString current_log_path(const NativeString& log_dir) {
    return log_path(log_dir, std::string(CORE_LOG_FILE_NAME));
}

Failure<std::string> fail_with(std::string_view prefix, const OsError& error) {
    return fail(std::string(prefix) + error.text);
}

Result<AppendFile> open_core_log(const NativeString& log_dir) {
    auto file = AppendFile::open(current_log_path(log_dir));
    if (!file) {
        return fail_with(CORE_LOG_OPEN_FAILED, file.error());
    }
    return std::move(file).value();
}

struct SharedLog {
    std::mutex mutex;
    CoreLogWriter writer;
};

// Holds a pump back until every pump of the log has its thread, so that a
// start that fails half-way leaves no thread reading.
class StartGate {
  public:
    void open(bool go) {
        {
            std::lock_guard lock(mutex_);
            state_ = go ? State::go : State::abandoned;
        }
        changed_.notify_all();
    }
    bool wait_for_go() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return state_ != State::waiting; });
        return state_ == State::go;
    }

  private:
    enum class State { waiting, go, abandoned };
    std::mutex mutex_;
    std::condition_variable changed_;
    State state_ = State::waiting;
};

void emit_line(SharedLog& log, const RawLine& line) {
    const std::string text = decode_raw_line(line);
    std::lock_guard lock(log.mutex);
    // A line that cannot be written is lost; the pump goes on with the next.
    (void)write_core_log_line(log.writer, redact_log_line(text));
}

void pump(PipeReader reader, std::shared_ptr<SharedLog> log) {
    LineAssembler assembler;
    std::array<char, CORE_LOG_READ_BUFFER_LEN> buffer;
    for (;;) {
        auto got = reader.read(buffer);
        if (!got) {
            if (got.error().kind != OsErrorKind::broken_pipe) {
                return;  // the partial line is discarded
            }
            break;
        }
        if (*got == 0) {
            break;
        }
        assembler.feed(std::string_view(buffer.data(), *got),
                       [&](const RawLine& line) { emit_line(*log, line); });
    }
    if (const auto last = assembler.finish()) {
        emit_line(*log, *last);
    }
}

// What one pump thread owns; taken apart when the thread runs so that the
// pipe and the writer are released before the completion is signalled.
struct PumpTask {
    std::optional<PipeReader> reader;
    std::shared_ptr<SharedLog> log;
    std::shared_ptr<StartGate> gate;
    std::shared_ptr<CoreLogCompletion> completion;

    void run() {
        auto done = std::move(completion);
        {
            PipeReader own_reader = std::move(*reader);
            reader.reset();
            auto own_log = std::move(log);
            if (gate->wait_for_go()) {
                pump(std::move(own_reader), std::move(own_log));
            }
        }
        done->pump_ended();
    }
};

}  // namespace

std::string core_log_banner(std::uint64_t unix_millis) {
    return "\n--- KAVO core start " + std::to_string(unix_millis) + " ---";
}

namespace {

// Drops the oldest file, moves the others one number up and "core.log" to
// "core.log.1". A missing "core.log" leaves nothing to shift.
Result<void> shift_core_logs(const NativeString& log_dir) {
    const NativeString current = current_log_path(log_dir);
    if (!entry_exists(current)) {
        return ok();
    }
    const NativeString oldest = log_path(log_dir, rotated_core_log_name(CORE_LOG_KEPT_FILES));
    if (entry_exists(oldest)) {
        if (auto removed = remove_file(oldest); !removed) {
            return fail_with(CORE_LOG_PRUNE_FAILED, removed.error());
        }
    }
    for (unsigned n = CORE_LOG_KEPT_FILES - 1; n >= 1; --n) {
        const NativeString from = log_path(log_dir, rotated_core_log_name(n));
        if (!entry_exists(from)) {
            continue;
        }
        if (auto moved = rename_replace(from, log_path(log_dir, rotated_core_log_name(n + 1)));
            !moved) {
            return fail_with(CORE_LOG_ROTATE_FAILED, moved.error());
        }
    }
    if (auto moved = rename_replace(current, log_path(log_dir, rotated_core_log_name(1))); !moved) {
        return fail_with(CORE_LOG_ROTATE_FAILED, moved.error());
    }
    return ok();
}

}  // namespace

Result<void> rotate_core_log(const NativeString& log_dir) {
    const auto size = file_size(current_log_path(log_dir));
    if (!size || !core_log_full(*size)) {
        return ok();
    }
    return shift_core_logs(log_dir);
}

Result<void> write_core_log_line(CoreLogWriter& writer, std::string_view text) {
    const std::uint64_t n = saturating_add(text.size(), 1);
    if (core_log_rotation_due(writer.written, n)) {
        // The line does not fit, so the file is moved aside whatever its size
        // on disk says.
        writer.file.reset();
        if (auto rotated = shift_core_logs(writer.log_dir); !rotated) {
            return rotated;
        }
        auto reopened = open_core_log(writer.log_dir);
        if (!reopened) {
            return fail(std::move(reopened).error());
        }
        writer.file = std::move(reopened).value();
        writer.written = 0;
    } else if (!writer.file) {
        return fail(std::string(CORE_LOG_UNAVAILABLE));
    }
    // One write per line, so that a reader of the file never sees half of it.
    // One buffer per thread, reused from line to line.
    static thread_local std::string line;
    line.assign(text);
    line.push_back('\n');
    if (auto put = writer.file->write_all(line); !put) {
        return fail_with(CORE_LOG_WRITE_FAILED, put.error());
    }
    writer.written = saturating_add(writer.written, n);
    return ok();
}

void CoreLogCompletion::pump_ended() {
    std::lock_guard lock(mutex_);
    if (remaining_ > 0 && --remaining_ == 0) {
        ended_.notify_all();
    }
}

void CoreLogCompletion::wait() {
    std::unique_lock lock(mutex_);
    ended_.wait(lock, [&] { return remaining_ == 0; });
}

Result<void> launch_detached_thread(std::function<void()> body) {
    try {
        std::thread(std::move(body)).detach();
    } catch (const std::system_error&) {
        return fail(std::string(CORE_LOG_THREAD_FAILED));
    }
    return ok();
}

Result<std::shared_ptr<CoreLogCompletion>> start_observed_core_log(const NativeString& log_dir,
                                                                   ChildProcess& core,
                                                                   const ThreadLauncher& launch) {
    if (auto rotated = rotate_core_log(log_dir); !rotated) {
        return fail(std::move(rotated).error());
    }
    auto log = std::make_shared<SharedLog>();
    log->writer.log_dir = log_dir;
    const auto size = file_size(current_log_path(log_dir));
    log->writer.written = size ? *size : 0;
    auto file = open_core_log(log_dir);
    if (!file) {
        return fail(std::move(file).error());
    }
    log->writer.file = std::move(file).value();
    if (auto banner = write_core_log_line(log->writer, core_log_banner(unix_time_millis()));
        !banner) {
        return fail(std::move(banner).error());
    }

    std::vector<PipeReader> pipes;
    for (auto* pipe : {&core.standard_output(), &core.standard_error()}) {
        if (pipe->has_value()) {
            pipes.push_back(std::move(**pipe));
            pipe->reset();
        }
    }
    auto gate = std::make_shared<StartGate>();
    auto completion = std::make_shared<CoreLogCompletion>(static_cast<unsigned>(pipes.size()));
    for (std::size_t i = 0; i < pipes.size(); ++i) {
        auto task = std::make_shared<PumpTask>();
        task->reader = std::move(pipes[i]);
        task->log = log;
        task->gate = gate;
        task->completion = completion;
        if (auto launched = launch([task] { task->run(); }); !launched) {
            // The pumps already started end without reading; the pipes of
            // the pumps not started close with `pipes` and `task`.
            gate->open(false);
            return fail(std::move(launched).error());
        }
    }
    gate->open(true);
    return completion;
}

Result<void> start_core_log(const NativeString& log_dir, ChildProcess& core) {
    auto started = start_observed_core_log(log_dir, core);
    if (!started) {
        return fail(std::move(started).error());
    }
    return ok();
}

}  // namespace kavo
