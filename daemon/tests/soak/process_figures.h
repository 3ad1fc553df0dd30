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

// Ends the process at once, as SIGKILL or TerminateProcess does, without
// giving it a chance to clean up.
bool kill_outright(std::uint32_t pid);

}  // namespace kavo::soak
