// Platform seam: the file system. Attributes are always read without following
// the last link; directories are never entered through links or junctions.
#pragma once

#include <cstdint>
#include <string>

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

}  // namespace kavo
