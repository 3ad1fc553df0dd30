// Installation, pure: what the installer does with whatever it finds where a
// directory of its own belongs (the install parent, the service root, a
// staging directory). Anyone may create a folder under ProgramData, and on
// Windows a handle opened before an owner or access list changes keeps the
// rights it was opened with: so a directory that LocalSystem or the
// Administrators do not own is never taken over, only moved out of the way.
#pragma once

#include <string>
#include <string_view>

#include "platform/file_attributes.h"

namespace kavo {

// What is at the path.
enum class FoundEntry {
    missing,
    directory,
    // A symbolic link or a junction.
    link,
    // A file, or anything else that is not a directory.
    other,
};

enum class ClaimAction {
    // Nothing there: made new, protected in the creating call.
    create,
    // A directory of LocalSystem or the Administrators: used, and protected
    // through a handle of the very directory that was checked.
    reuse,
    // Somebody else's: renamed out of the way, never entered or changed.
    move_aside,
    // A link or a file that a privileged account put there on purpose: left
    // as it is, and the install fails.
    refuse,
};

FoundEntry found_entry_of(FileAttributes attributes);

ClaimAction decide_claim(FoundEntry found, bool owned_by_system);

// Entries moved aside are renamed, in the directory they are in, to their
// own name, this infix and a fresh identifier of 32 lowercase hex digits.
inline constexpr std::string_view MOVED_ASIDE_INFIX = ".untrusted-";

std::string moved_aside_name(std::string_view name, std::string_view id);

}  // namespace kavo
