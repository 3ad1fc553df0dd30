#include "core/core_log_file.h"

#include <utility>

#include "core/log_line.h"
#include "core/log_rotation.h"
#include "platform/fs.h"
#include "platform/path.h"
#include "platform/system_clock.h"

namespace kavo {
namespace {

NativeString log_path(const NativeString& log_dir, std::string_view name) {
    return join_native(log_dir, utf8_to_native(name));
}

NativeString current_log_path(const NativeString& log_dir) {
    return log_path(log_dir, CORE_LOG_FILE_NAME);
}

Failure<std::string> fail_with(std::string_view prefix, const OsError& error) {
    return fail(std::string(prefix) + error.text);
}

Result<AppendFile> open_current_log(const NativeString& log_dir) {
    auto file = AppendFile::open(current_log_path(log_dir));
    if (!file) {
        return fail_with(CORE_LOG_OPEN_FAILED, file.error());
    }
    return std::move(file).value();
}

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

std::string core_log_banner(std::uint64_t unix_millis) {
    return "\n--- KAVO core start " + std::to_string(unix_millis) + " ---";
}

Result<void> rotate_core_log(const NativeString& log_dir) {
    const auto size = file_size(current_log_path(log_dir));
    if (!size || !core_log_full(*size)) {
        return ok();
    }
    return shift_core_logs(log_dir);
}

CoreLogWriter::CoreLogWriter(NativeString log_dir, AppendFile file, std::uint64_t written)
    : log_dir_(std::move(log_dir)), file_(std::move(file)), written_(written) {}

Result<std::shared_ptr<CoreLogWriter>> CoreLogWriter::open(const NativeString& log_dir) {
    const auto size = file_size(current_log_path(log_dir));
    KAVO_TRY(AppendFile file, open_current_log(log_dir));
    return std::shared_ptr<CoreLogWriter>(
        new CoreLogWriter(log_dir, std::move(file), size ? *size : 0));
}

std::uint64_t CoreLogWriter::written() const {
    std::lock_guard lock(mutex_);
    return written_;
}

bool CoreLogWriter::has_file() const {
    std::lock_guard lock(mutex_);
    return file_.has_value();
}

Result<void> CoreLogWriter::make_room_locked(std::uint64_t line_len) {
    if (core_log_rotation_due(written_, line_len)) {
        // The line does not fit, so the file is moved aside whatever its size
        // on disk says; the size rule of rotate_core_log is for the start.
        file_.reset();
        KAVO_TRY_OK(shift_core_logs(log_dir_));
        KAVO_TRY(AppendFile file, open_current_log(log_dir_));
        file_ = std::move(file);
        written_ = 0;
        return ok();
    }
    if (!file_) {
        return fail(std::string(CORE_LOG_UNAVAILABLE));
    }
    return ok();
}

Result<void> CoreLogWriter::write_locked(std::string_view lines) {
    // One write call, so that the other stream cannot land inside a line.
    if (auto put = file_->write_all(lines); !put) {
        return fail_with(CORE_LOG_WRITE_FAILED, put.error());
    }
    written_ = saturating_add(written_, lines.size());
    return ok();
}

Result<void> CoreLogWriter::append_locked(std::string_view text) {
    CoreLogBatch one;
    one.add_text_line(text);
    return append_batch_locked(one);
}

Result<void> CoreLogWriter::append_batch_locked(const CoreLogBatch& batch) {
    const std::string_view text = batch.text();
    Result<void> outcome = ok();
    // The lines [run_start, run_end) of `text` wait for one write.
    std::size_t run_start = 0;
    std::size_t run_end = 0;
    const auto flush = [&] {
        if (run_end > run_start) {
            if (auto put = write_locked(text.substr(run_start, run_end - run_start)); !put) {
                outcome = std::move(put);
            }
        }
        run_start = run_end;
    };
    for (std::size_t i = 0; i < batch.size(); ++i) {
        const std::size_t line_len = batch.line(i).size();
        const std::uint64_t ahead = saturating_add(written_, run_end - run_start);
        if (!file_ || core_log_rotation_due(ahead, line_len)) {
            flush();
            if (auto room = make_room_locked(line_len); !room) {
                // The line is lost; the next one tries again.
                outcome = std::move(room);
                run_start = run_end = run_end + line_len;
                continue;
            }
        }
        run_end += line_len;
    }
    flush();
    return outcome;
}

Result<void> write_core_log_line(CoreLogWriter& writer, std::string_view text) {
    std::lock_guard lock(writer.mutex_);
    return writer.append_locked(text);
}

Result<void> write_core_log_lines(CoreLogWriter& writer, const CoreLogBatch& batch) {
    std::lock_guard lock(writer.mutex_);
    return writer.append_batch_locked(batch);
}

Result<std::shared_ptr<CoreLogWriter>> open_core_log_for_start(const NativeString& log_dir) {
    KAVO_TRY_OK(rotate_core_log(log_dir));
    KAVO_TRY(auto writer, CoreLogWriter::open(log_dir));
    KAVO_TRY_OK(write_core_log_line(*writer, core_log_banner(unix_time_millis())));
    return writer;
}

}  // namespace kavo
