// Platform seam: a file opened for appending. Other openers may read, write
// and delete it meanwhile, so the log can be read or removed while it grows.
#pragma once

#include <memory>
#include <string_view>

#include "platform/native_string.h"
#include "platform/os_error.h"

namespace kavo {

class AppendFile {
  public:
    // Opens `path` for appending, creating it when missing.
    static OsResult<AppendFile> open(const NativeString& path);

    AppendFile(AppendFile&&) noexcept;
    AppendFile& operator=(AppendFile&&) noexcept;
    ~AppendFile();

    // Appends all of `bytes` at the current end of the file.
    OsResult<void> write_all(std::string_view bytes);

    struct Impl;

  private:
    explicit AppendFile(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

// Whether the metadata of the entry at `path` (not following a last link) can
// be read.
bool entry_exists(const NativeString& path);

}  // namespace kavo
