// Core runtime: the protected directory tree under %ProgramData%\KAVO. Every
// file and directory in it admits only LocalSystem and Administrators; links
// and junctions are refused, never followed.
//
//   %ProgramData%\KAVO                      install parent
//   %ProgramData%\KAVO\Service              service root (daemon and core)
//   ...\Service\Runtime                     runtime root
//   ...\Runtime\staging-<lease id>          a runtime being assembled
//   ...\Runtime\<lease id>                  the runtime of a started core
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/native_string.h"
#include "platform/result.h"
#include "service/service_names.h"
#include "service/service_paths.h"

namespace kavo {

class TreeEntry;

inline constexpr std::string_view PREPARE_PERMISSIONS_FAILED =
    "Failed to prepare service file permissions";
inline constexpr std::string_view PROTECT_FAILED = "Failed to protect service files";
inline constexpr std::string_view INSPECT_SERVICE_FILES_FAILED = "Failed to inspect service files";
inline constexpr std::string_view LINKED_SERVICE_PATH = "Refusing to protect a linked service path";
inline constexpr std::string_view RESOLVE_RUNTIME_ROOT_FAILED =
    "Failed to resolve the KAVO protected runtime root";
inline constexpr std::string_view INSPECT_RUNTIME_ROOT_FAILED =
    "Failed to inspect the KAVO protected runtime root";
inline constexpr std::string_view INVALID_RUNTIME_ENTRY =
    "Refusing to remove an invalid KAVO protected runtime entry";
inline constexpr std::string_view REMOVE_RUNTIME_DIR_FAILED =
    "Failed to remove an KAVO protected runtime directory";

// Protects `path` and, when it is a directory, everything below it, each
// directory before its contents. A link anywhere fails the whole operation;
// what was protected before that stays protected. The walk goes through
// entries held open (TreeEntry), each directory secured before it is listed,
// so a directory swapped for a link meanwhile is never followed.
Result<void> protect_service_tree(const NativeString& path);

// Protects one entry held open, refusing a link, with the messages of
// protect_service_tree.
Result<void> protect_service_entry(const TreeEntry& entry);

// Removes the runtime directories left below the runtime root, except `keep`
// and "staging-" + `keep`. Reports problems on standard error only.
void sweep_runtime_root(std::optional<std::string_view> keep);

// Removes one runtime directory tree without entering links. True when the
// directory is gone afterwards (including when it was never there).
bool remove_runtime_dir(const NativeString& path);

}  // namespace kavo
