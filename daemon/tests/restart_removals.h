// What the system is to delete when the machine next starts, as tests read it
// back: on Windows the files named in the session manager's pending renames
// with no new name. Linux keeps no such list.
#pragma once

#include <filesystem>
#include <vector>

namespace kavo::testing {

// The files that are to be deleted at the next start, as full paths.
std::vector<std::filesystem::path> files_removed_at_restart();

// Whether `file` is among them (the same path, letter case aside).
bool removed_at_restart(const std::filesystem::path& file);

}  // namespace kavo::testing
