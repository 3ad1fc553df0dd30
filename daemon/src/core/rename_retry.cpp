#include "core/rename_retry.h"

#include <algorithm>

namespace kavo {

bool is_brief_rename_failure(std::uint32_t code, ErrorRules rules) {
    if (rules == ErrorRules::posix) {
        return false;
    }
    return code == WINDOWS_SHARING_VIOLATION || code == WINDOWS_LOCK_VIOLATION ||
           code == WINDOWS_ACCESS_DENIED;
}

std::optional<std::chrono::milliseconds> rename_retry_pause(int failed_tries, std::uint32_t code,
                                                            ErrorRules rules) {
    if (failed_tries < 1 || failed_tries >= RENAME_TRIES || !is_brief_rename_failure(code, rules)) {
        return std::nullopt;
    }
    // Doubling from the first pause; the shift stays small, the cap applies.
    const int doublings = std::min(failed_tries - 1, 8);
    return std::min(RENAME_FIRST_PAUSE * (1 << doublings), RENAME_LONGEST_PAUSE);
}

}  // namespace kavo
