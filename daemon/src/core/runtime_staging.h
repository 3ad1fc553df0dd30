// Core runtime: the private, verified copy of the core's runtime files that a
// core is started on, so that a user who can write the core directory cannot
// change what the running core reads.
#pragma once

#include <array>
#include <functional>
#include <string>
#include <string_view>

#include "platform/native_string.h"
#include "platform/result.h"

namespace kavo {

class FileHandle;

// The runtime files, in the order they are staged. All are required.
inline constexpr std::array<NativeView, 3> RUNTIME_FILES = {
    KAVO_NATIVE("config.yaml"),
    KAVO_NATIVE("GeoSite.dat"),
    KAVO_NATIVE("geoip.metadb"),
};

inline constexpr std::string_view INVALID_RUNTIME_LEASE_ID = "Invalid runtime lease identifier";
inline constexpr std::string_view PREPARE_RUNTIME_ROOT_FAILED =
    "Failed to prepare protected runtime root: ";
inline constexpr std::string_view PREPARE_RUNTIME_FAILED = "Failed to prepare protected runtime: ";
inline constexpr std::string_view RUNTIME_CONFIGURATION_UNAVAILABLE =
    "Runtime configuration is unavailable";
inline constexpr std::string_view INSPECT_RUNTIME_SOURCE_FAILED =
    "Failed to inspect runtime source: ";
inline constexpr std::string_view UNSUPPORTED_RUNTIME_SOURCE =
    "Runtime source contains an unsupported file type";
inline constexpr std::string_view READ_RUNTIME_FAILED = "Failed to read protected runtime: ";
inline constexpr std::string_view STAGE_RUNTIME_FAILED = "Failed to stage protected runtime: ";
inline constexpr std::string_view VALIDATE_RUNTIME_FAILED = "Failed to validate protected runtime";
inline constexpr std::string_view ACTIVATE_RUNTIME_FAILED =
    "Failed to activate protected runtime: ";

// The path of an activated runtime directory: <runtime root>\<lease id>. The
// caller owns it for the life of the core and removes it afterwards.
using StagedRuntime = NativeString;

// Points where tests step in; production passes none.
struct StagingHooks {
    // Runs after a source file was opened and hashed, before it is copied
    // from the same handle.
    std::function<void(const NativeString& source)> after_source_hashed;
};

// Copies the runtime files from `source_dir` into a fresh protected staging
// directory, checks each copy against the digest of its source, and renames
// the directory to its final name. Each source is opened once, without
// following a link at its name, and is hashed and copied through that one
// handle. `lease_id` must be 32 hexadecimal digits; anything else is refused
// before a path is built from it.
Result<StagedRuntime> stage_runtime(const NativeString& source_dir, std::string_view lease_id,
                                    const StagingHooks& hooks = {});

// The SHA-256 of a whole file as 64 lowercase hexadecimal digits. The file is
// streamed through a fixed buffer, so memory use does not grow with its size.
// A link at `path` is followed; anything but a regular file fails to read.
Result<std::string> file_sha256_hex(const NativeString& path);

// The digest of what is left to read through `file`, with the read failure
// text of file_sha256_hex. For callers that check and copy a file through the
// handle they opened it with.
Result<std::string> opened_file_sha256_hex(FileHandle& file);

}  // namespace kavo
