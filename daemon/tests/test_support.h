// Helpers shared by the daemon's tests.
#pragma once

#include <filesystem>
#include <string>

#include "platform/native_string.h"

namespace kavo::testing {

// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    // The native form of path() / name.
    NativeString native(const std::filesystem::path& name = {}) const;

  private:
    std::filesystem::path path_;
};

void write_file(const std::filesystem::path& path, const std::string& content);
std::string read_file(const std::filesystem::path& path);

// Sets an environment variable of this process for the life of the object.
class ScopedEnv {
  public:
    ScopedEnv(const std::string& name, const std::string* value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

  private:
    std::string name_;
    bool had_value_ = false;
    std::string old_value_;
};

}  // namespace kavo::testing
