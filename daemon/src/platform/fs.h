// Platform seam: the file system. Attributes are always read without following
// the last link; directories are never entered through links or junctions.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "platform/file_attributes.h"
#include "platform/native_string.h"
#include "platform/os_error.h"

namespace kavo {

// The attributes of the entry itself (an lstat; FILE_FLAG_OPEN_REPARSE_POINT).
OsResult<FileAttributes> read_attributes_no_follow(const NativeString& path);

// The whole content of a small file (the identity secret, for instance).
OsResult<std::string> read_whole_file(const NativeString& path);

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

// Copies the content of `from` into the new file `to`; fails if `to` exists.
OsResult<void> copy_file_new(const NativeString& from, const NativeString& to);

// Renames a directory; fails if `to` exists.
OsResult<void> rename_directory(const NativeString& from, const NativeString& to);

// Reads a file from start to end through `buffer`, handing each filled part
// to `consume`; memory use is the buffer's, whatever the file's size.
OsResult<void> read_file_streamed(
    const NativeString& path, std::span<std::uint8_t> buffer,
    const std::function<void(std::span<const std::uint8_t>)>& consume);

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

}  // namespace kavo
