// Platform seam: the SHA-256 of a file's bytes as 64 lowercase hexadecimal
// digits. The file is streamed through a fixed buffer, so memory use does not
// grow with its size.
#pragma once

#include <string>

#include "platform/file_handle.h"
#include "platform/native_string.h"
#include "platform/os_error.h"

namespace kavo {

// The digest of what is left to read through `file`. For callers that check
// and copy a file through the handle they opened it with.
OsResult<std::string> sha256_hex(FileHandle& file);

// The digest of the whole file at `path`. A link at `path` is followed;
// anything but a regular file fails to read.
OsResult<std::string> sha256_hex(const NativeString& path);

}  // namespace kavo
