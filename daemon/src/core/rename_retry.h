// Core runtime, pure: renames that a virus scanner or an indexer can block
// for a moment. On Windows such programs open a file that has just been
// written, and while they hold it, renaming the file or the directory it is
// in fails with a sharing violation, a lock violation or access denied. Those
// renames are tried again a few times, with growing pauses, before the
// failure counts.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

namespace kavo {

// Whose error codes a failed rename carries.
enum class ErrorRules {
    windows,
    posix,
};

#if defined(_WIN32)
inline constexpr ErrorRules NATIVE_ERROR_RULES = ErrorRules::windows;
#else
inline constexpr ErrorRules NATIVE_ERROR_RULES = ErrorRules::posix;
#endif

// Windows codes that another program's brief hold on a file yields.
inline constexpr std::uint32_t WINDOWS_ACCESS_DENIED = 5;
inline constexpr std::uint32_t WINDOWS_SHARING_VIOLATION = 32;
inline constexpr std::uint32_t WINDOWS_LOCK_VIOLATION = 33;

// A rename is tried at most this often in all.
inline constexpr int RENAME_TRIES = 10;
// The pause after the first failed try; each later one doubles, up to the
// longest. Nine pauses of 20, 40, 80, 160 and then 320 ms: 1.9 s in all.
inline constexpr std::chrono::milliseconds RENAME_FIRST_PAUSE{20};
inline constexpr std::chrono::milliseconds RENAME_LONGEST_PAUSE{320};

// Whether a rename that failed with `code` may go through when tried again
// shortly. Windows: the three codes above. Linux: none; nothing there holds a
// file against a rename for a moment, so a failure is reported at once.
bool is_brief_rename_failure(std::uint32_t code, ErrorRules rules);

// After `failed_tries` failed tries, the last with `code`: how long to wait
// before the next try, or nothing when the failure stands.
std::optional<std::chrono::milliseconds> rename_retry_pause(int failed_tries, std::uint32_t code,
                                                            ErrorRules rules);

// Runs `rename` (returning a result whose error carries the system's `code`)
// until it succeeds or its failure stands, calling `sleep` with each pause in
// between. The result of the last try.
template <class Rename, class Sleep>
auto rename_with_retries(const Rename& rename, const Sleep& sleep, ErrorRules rules)
    -> decltype(rename()) {
    for (int tries = 1;; ++tries) {
        auto renamed = rename();
        if (renamed) {
            return renamed;
        }
        const auto pause = rename_retry_pause(tries, renamed.error().code, rules);
        if (!pause) {
            return renamed;
        }
        sleep(*pause);
    }
}

}  // namespace kavo
