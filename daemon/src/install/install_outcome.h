// Installation, pure: how the installer's outcome follows from the
// manager's answers.
#pragma once

#include <cstdint>

namespace kavo {

// How an install ends; each value is the installer's exit status.
enum class InstallOutcome : int {
    Installed = 0,
    Failed = 1,
    // Another installation is in the way, or the manager refused the caller.
    Blocked = 2,
};

// The outcome when the manager refuses to create the service with `code`:
// a service of that name still there or still being deleted blocks the
// install, every other refusal fails it.
InstallOutcome outcome_of_create_failure(std::uint32_t code);

// A state the manager may report for a service: stopped (1) to paused (7).
bool is_service_state(std::uint32_t state);

}  // namespace kavo
