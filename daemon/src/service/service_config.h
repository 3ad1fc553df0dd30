// The daemon's configuration, taken from its own command line.
#pragma once

#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/file_attributes.h"
#include "platform/native_string.h"
#include "platform/result.h"
#include "platform/secret.h"

namespace kavo {

inline constexpr std::string_view CORE_DIR_OPTION = "--core-dir";
inline constexpr std::string_view IDENTITY_FILE_OPTION = "--identity-file";
inline constexpr std::string_view EXPECTED_CORE_SHA256_OPTION = "--expected-core-sha256";

inline constexpr std::string_view MISSING_CORE_DIR_VALUE = "Missing value for --core-dir";
inline constexpr std::string_view MISSING_IDENTITY_FILE_VALUE = "Missing value for --identity-file";
inline constexpr std::string_view MISSING_EXPECTED_CORE_SHA256_VALUE =
    "Missing value for --expected-core-sha256";
inline constexpr std::string_view IDENTITY_UNREADABLE = "Failed to read service identity";
inline constexpr std::string_view IDENTITY_INVALID = "Invalid service identity";
inline constexpr std::string_view EXPECTED_CORE_SHA256_INVALID = "Invalid expected core hash";
inline constexpr std::string_view CORE_DIR_NOT_CONFIGURED =
    "The service must be configured with a core directory";
inline constexpr std::string_view IDENTITY_NOT_CONFIGURED =
    "The service must be configured with an IPC identity";
inline constexpr std::string_view CORE_SHA256_NOT_CONFIGURED =
    "The service must be configured with a core hash";

inline constexpr std::size_t MIN_IDENTITY_LEN = 32;
inline constexpr std::size_t MAX_IDENTITY_LEN = 256;
// The most that is read of an identity file: room for white space around the
// longest secret, while a huge file is never read whole. A longer file is an
// invalid identity.
inline constexpr std::size_t MAX_IDENTITY_FILE_LEN = 4096;

struct ServiceConfig {
    NativeString core_dir;
    NativeString identity_file;
    // The trimmed identity secret, 32 to 256 bytes of UTF-8 text.
    SecretBytes identity;
    // 64 hexadecimal digits as typed (not case-folded).
    std::string expected_core_sha256;
    // The file the identity was read from, so that the installer, which
    // deletes its identity source, deletes that file and no other. Absent
    // when it could not be told.
    std::optional<FileIdentity> identity_file_id;
};

// An identity secret and the file it was read from.
struct LoadedIdentity {
    SecretBytes secret;
    std::optional<FileIdentity> file;
};

// Loads the identity secret named by the value of "--identity-file": the
// secret, or one of the identity messages.
using IdentityLoader = std::function<Result<LoadedIdentity>(const NativeString& path)>;

// The identity secret stored at `path`: a plain file (not a directory, not a
// link or junction) of UTF-8 text, trimmed of surrounding white space. The
// file is opened once and read through that handle, at most
// MAX_IDENTITY_FILE_LEN + 1 bytes of it; the bytes read are wiped afterwards.
Result<SecretBytes> load_identity(const NativeString& path);

// load_identity, also telling which file was read.
Result<LoadedIdentity> load_identity_file(const NativeString& path);

// The identity rules over the bytes of an identity file: at most
// MAX_IDENTITY_FILE_LEN bytes, valid UTF-8, and 32 to 256 bytes once the
// surrounding Unicode white space is removed.
Result<SecretBytes> identity_from_file_bytes(std::string_view bytes);

// Reads the process's own command line.
Result<ServiceConfig> load_service_config();

// The same over a given argument list, the program path already dropped.
// Each "--identity-file" value is loaded at once through `load_identity`.
Result<ServiceConfig> parse_service_config(
    std::span<const NativeString> arguments,
    const IdentityLoader& load_identity_from = load_identity_file);

}  // namespace kavo
