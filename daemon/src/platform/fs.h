// Platform seam: the file system. Attributes are always read without following
// the last link; directories are never entered through links or junctions.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/file_attributes.h"
#include "platform/native_string.h"
#include "platform/os_error.h"

namespace kavo {

// The attributes of the entry itself (an lstat; FILE_FLAG_OPEN_REPARSE_POINT).
OsResult<FileAttributes> read_attributes_no_follow(const NativeString& path);

// The size of a file, following links.
OsResult<std::uint64_t> file_size(const NativeString& path);

// Renames `from` to `to`, replacing an existing file at `to`.
OsResult<void> rename_replace(const NativeString& from, const NativeString& to);

// Deletes one file (or a link itself, never its target).
OsResult<void> remove_file(const NativeString& path);

// The attributes of what the path finally names, following links.
OsResult<FileAttributes> read_attributes_following(const NativeString& path);

// One entry of a directory listing: its name, or the error that kept it from
// being read (the listing ends after such an entry).
using DirectoryEntry = OsResult<NativeString>;

// The entries of a directory, never "." or "..". A missing directory fails
// with OsErrorKind::not_found. The directory itself is not entered when it is
// a link (on Linux; on Windows callers check before listing).
OsResult<std::vector<DirectoryEntry>> list_directory(const NativeString& path);

// Removes `path` and, if it is a directory, everything below it, depth first.
// Links and junctions met anywhere, `path` included, are removed as links;
// their targets are never entered. A missing `path` fails with
// OsErrorKind::not_found; entries that vanish meanwhile are not an error.
OsResult<void> remove_tree(const NativeString& path);

// Creates one directory; its parent must exist and the path must not.
OsResult<void> create_directory(const NativeString& path);

// Removes an empty directory, or a directory link or junction itself.
OsResult<void> remove_empty_directory(const NativeString& path);

// Creates a directory with every missing parent; an existing directory (or a
// link to one) is fine.
OsResult<void> create_directories(const NativeString& path);

// Renames a directory; fails if `to` exists.
OsResult<void> rename_directory(const NativeString& from, const NativeString& to);

// Why a protection failed: the access list could not be built, or it could not
// be written to the path.
enum class ProtectStage {
    prepare,
    protect,
};

struct ProtectError {
    ProtectStage stage = ProtectStage::protect;
    OsError error;
};

// Restricts `path` to LocalSystem and Administrators. Windows: the protected
// DACL of a file or of a directory (inherited by its future contents); Linux:
// mode 0600 or 0700, applied without following a link at `path`. Callers
// refuse links before calling this.
Result<void, ProtectError> protect_path(const NativeString& path, bool is_directory);

// The protection of the entry at `path` (a link at `path` is read itself, not
// followed), as text, so that what protect_path wrote can be checked.
struct PathProtection {
    // Windows: the owner in SDDL form ("O:BA"). Linux: the owner's uid.
    std::string owner;
    // Windows: the DACL in SDDL form ("D:P(A;;FA;;;SY)..."). Linux: the
    // permission bits as four octal digits ("0600").
    std::string access;
};
OsResult<PathProtection> read_protection(const NativeString& path);

}  // namespace kavo
