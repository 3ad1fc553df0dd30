// What the system says of another process: its open handles or descriptors
// and its resident memory, for comparing a daemon before and after a run;
// and a way to end a process outright from outside.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace kavo::soak {

struct ProcessFigures {
    // Open descriptors (Linux) or handles (Windows); nothing where the
    // system does not count them (Wine reports none for every process).
    std::optional<std::size_t> handles;
    // VmRSS (Linux) or the working set (Windows).
    std::uint64_t resident_kib = 0;
    // The limit on open files (Linux); empty elsewhere.
    std::string open_files_limit;
};

// Nothing when the process cannot be looked at (it ended, say).
std::optional<ProcessFigures> figures_of(std::uint32_t pid);

// The figures at rest: the fewest handles of a few looks a tenth of a second
// apart, since a connection that has just been answered may still be closing.
std::optional<ProcessFigures> resting_figures_of(std::uint32_t pid);

// How far resident memory may grow over a run with `clients` clients at
// once: the allocator keeps what the busiest moment needed, which grows with
// the clients at once (some 20 KiB each with the sanitizer's allocator), not
// with the length of the run.
std::uint64_t resident_slack_kib(std::size_t clients);

// The figures once the process holds no more handles than `before` did, as
// connections of vanished clients close within the read limits; `settled`
// is false when that did not happen in time. `after` is empty when the
// process could not be looked at.
struct SettledFigures {
    std::optional<ProcessFigures> after;
    bool settled = false;
};
SettledFigures settled_figures_of(std::uint32_t pid, const ProcessFigures& before);

// Ends the process at once, as SIGKILL or TerminateProcess does, without
// giving it a chance to clean up.
bool kill_outright(std::uint32_t pid);

}  // namespace kavo::soak
