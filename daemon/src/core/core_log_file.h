// Core: the core's log file. "core.log" in the core's runtime directory takes
// every line of the core's output, is rotated at 5 MiB and keeps three older
// files; one writer per started core appends to it.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "core/log_line.h"
#include "platform/append_file.h"
#include "platform/native_string.h"
#include "platform/result.h"

namespace kavo {

// Messages; those ending in ": " are followed by the system's error text.
inline constexpr std::string_view CORE_LOG_PRUNE_FAILED = "Failed to prune core log: ";
inline constexpr std::string_view CORE_LOG_ROTATE_FAILED = "Failed to rotate core log: ";
inline constexpr std::string_view CORE_LOG_OPEN_FAILED = "Failed to open core log: ";
inline constexpr std::string_view CORE_LOG_WRITE_FAILED = "Failed to write core log: ";
inline constexpr std::string_view CORE_LOG_UNAVAILABLE = "Core log is unavailable";

// The text written at each start: with the line feed that every line gets,
// an empty line followed by "--- KAVO core start <ms> ---".
std::string core_log_banner(std::uint64_t unix_millis);

// Shifts "core.log" to "core.log.1" (and the older files one further, the
// oldest dropped) when the file found there has reached the rotation size.
Result<void> rotate_core_log(const NativeString& log_dir);

// The log of one core, shared by the two threads that read its output. All
// of its state sits behind its own mutex: every write below takes it, so no
// line reaches the file without it.
class CoreLogWriter {
  public:
    // Opens "core.log" in `log_dir` for appending, creating it when missing;
    // the count of written bytes starts at the size the file had.
    static Result<std::shared_ptr<CoreLogWriter>> open(const NativeString& log_dir);

    CoreLogWriter(const CoreLogWriter&) = delete;
    CoreLogWriter& operator=(const CoreLogWriter&) = delete;

    // Bytes written to the current file (saturating).
    std::uint64_t written() const;
    // False after a failed rotation or reopen, until a later line reopens.
    bool has_file() const;

    // Appends `text` and a line feed, first moving to a fresh file when the
    // line would take the current one beyond the rotation size. A line is
    // never split between files, and a fresh file takes its first line
    // whatever its length.
    friend Result<void> write_core_log_line(CoreLogWriter& writer, std::string_view text);

    // The lines of one read of the core's output, appended under one hold of
    // the lock so that the lines of the two streams land whole and in the
    // order in which they took it. Lines between two rotations go out with
    // one write; the rotation rule is applied to each line as if it came
    // alone. A failed write loses its lines only; the error returned is the
    // last one met, and later lines are still tried.
    friend Result<void> write_core_log_lines(CoreLogWriter& writer, const CoreLogBatch& batch);

  private:
    CoreLogWriter(NativeString log_dir, AppendFile file, std::uint64_t written);

    // The steps of an append, with the lock held.
    Result<void> make_room_locked(std::uint64_t line_len);
    Result<void> write_locked(std::string_view lines);
    Result<void> append_locked(std::string_view text);
    Result<void> append_batch_locked(const CoreLogBatch& batch);

    mutable std::mutex mutex_;
    NativeString log_dir_;
    // Absent after a failed rotation or reopen; the next line tries again.
    std::optional<AppendFile> file_;
    std::uint64_t written_;
};

Result<void> write_core_log_line(CoreLogWriter& writer, std::string_view text);
Result<void> write_core_log_lines(CoreLogWriter& writer, const CoreLogBatch& batch);

// The log as a core start leaves it: rotated when full, opened, and the start
// banner written; the messages of those steps are returned unchanged.
Result<std::shared_ptr<CoreLogWriter>> open_core_log_for_start(const NativeString& log_dir);

}  // namespace kavo
