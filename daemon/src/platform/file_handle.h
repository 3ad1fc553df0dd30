// Platform seam: a file opened once for reading, whose type is taken from the
// open handle rather than from a second look at its name. What was checked is
// what is read, hashed and copied, even if the name is swapped meanwhile for a
// link, a FIFO or a device.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "platform/file_attributes.h"
#include "platform/native_string.h"
#include "platform/os_error.h"

namespace kavo {

// What the handle refers to.
enum class FileKind {
    regular,
    directory,
    // A symbolic link or a junction at the path itself.
    link,
    // A FIFO, a socket, a device, or anything else that is not a plain file.
    other,
};

// Whether a link at the path itself is followed when opening.
enum class LinkAtPath {
    refuse,
    follow,
};

class FileHandle {
  public:
    // Opens `path` for reading. The open never waits for a FIFO's writer or a
    // device. With LinkAtPath::refuse a link at `path` is not followed: the
    // handle then has FileKind::link; any other reparse point is read through
    // an ordinary reopen of the very same file, so that its content, not a
    // stub, is what is read. A missing path fails with OsErrorKind::not_found.
    static OsResult<FileHandle> open(const NativeString& path, LinkAtPath links);

    FileHandle(FileHandle&&) noexcept;
    FileHandle& operator=(FileHandle&&) noexcept;
    ~FileHandle();

    FileKind kind() const { return kind_; }

    // Which file system object was opened. Not available for a link that was
    // refused.
    OsResult<FileIdentity> identity() const;

    // Reads up to `buffer.size()` bytes at the current position: their count,
    // 0 at the end of the file. Only a regular file is read; any other kind
    // fails with the system's error for reading such an object.
    OsResult<std::size_t> read(std::span<std::uint8_t> buffer);

    // Back to the start of the file.
    OsResult<void> rewind();

    // Writes what is left to read of this file into the new file `to`, which
    // must not exist (a link at `to` counts as existing). On failure a
    // partly written `to` is removed.
    OsResult<void> copy_rest_to_new_file(const NativeString& to);

    struct Impl;

  private:
    FileHandle(std::unique_ptr<Impl> impl, FileKind kind);

    std::unique_ptr<Impl> impl_;
    FileKind kind_;
};

}  // namespace kavo
