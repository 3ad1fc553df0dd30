#include "core/runtime_staging.h"

#include <vector>

#include "core/protected_dirs.h"
#include "core/runtime_entry_name.h"
#include "platform/crypto.h"
#include "platform/file_attributes.h"
#include "platform/fs.h"
#include "platform/hex.h"
#include "platform/path.h"

namespace kavo {

namespace {

// Large enough for sequential reads at disk speed, small enough for a thread.
constexpr std::size_t DIGEST_BUFFER_SIZE = 256 * 1024;

std::string with_os_text(std::string_view prefix, const OsError& error) {
    std::string message(prefix);
    message.append(error.text);
    return message;
}

// Copies one runtime file into the staging directory and checks the copy.
Result<void> stage_file(const NativeString& source_dir, const NativeString& staging_dir,
                        NativeView name, const StagingHooks& hooks) {
    const NativeString source = join_native(source_dir, name);
    const auto attributes = read_attributes_no_follow(source);
    if (!attributes) {
        if (attributes.error().kind == OsErrorKind::not_found) {
            return fail(std::string(RUNTIME_CONFIGURATION_UNAVAILABLE));
        }
        return fail(with_os_text(INSPECT_RUNTIME_SOURCE_FAILED, attributes.error()));
    }
    if (is_directory(*attributes) || is_link(*attributes)) {
        return fail(std::string(UNSUPPORTED_RUNTIME_SOURCE));
    }
    auto expected = file_sha256_hex(source);
    if (!expected) {
        return fail(std::move(expected).error());
    }
    if (hooks.after_source_hashed) {
        hooks.after_source_hashed(source);
    }
    const NativeString copy = join_native(staging_dir, name);
    const auto copied = copy_file_new(source, copy);
    if (!copied) {
        return fail(with_os_text(STAGE_RUNTIME_FAILED, copied.error()));
    }
    auto actual = file_sha256_hex(copy);
    if (!actual) {
        return fail(std::move(actual).error());
    }
    if (*actual != *expected) {
        return fail(std::string(VALIDATE_RUNTIME_FAILED));
    }
    return ok();
}

// The steps after the staging directory exists; any failure here leaves the
// staging directory for the caller to remove.
Result<StagedRuntime> fill_and_activate(const NativeString& source_dir,
                                        const NativeString& staging_dir,
                                        const NativeString& runtime_dir,
                                        const StagingHooks& hooks) {
    auto protected_staging = protect_service_tree(staging_dir);
    if (!protected_staging) {
        return fail(std::move(protected_staging).error());
    }
    for (const NativeView name : RUNTIME_FILES) {
        auto staged = stage_file(source_dir, staging_dir, name, hooks);
        if (!staged) {
            return fail(std::move(staged).error());
        }
    }
    const auto renamed = rename_directory(staging_dir, runtime_dir);
    if (!renamed) {
        return fail(with_os_text(ACTIVATE_RUNTIME_FAILED, renamed.error()));
    }
    auto protected_runtime = protect_service_tree(runtime_dir);
    if (!protected_runtime) {
        return fail(std::move(protected_runtime).error());
    }
    return runtime_dir;
}

}  // namespace

Result<StagedRuntime> stage_runtime(const NativeString& source_dir, std::string_view lease_id,
                                    const StagingHooks& hooks) {
    auto service_root = service_root_dir();
    if (!service_root) {
        return fail(std::move(service_root).error());
    }
    const NativeString runtime_root = runtime_root_dir(*service_root);
    const NativeString staging_dir =
        join_native(runtime_root, utf8_to_native(runtime_staging_name(lease_id)));
    const NativeString runtime_dir = join_native(runtime_root, utf8_to_native(lease_id));

    const auto created_root = create_directories(runtime_root);
    if (!created_root) {
        return fail(with_os_text(PREPARE_RUNTIME_ROOT_FAILED, created_root.error()));
    }
    auto protected_root = protect_service_tree(runtime_root);
    if (!protected_root) {
        return fail(std::move(protected_root).error());
    }
    const auto created_staging = create_directory(staging_dir);
    if (!created_staging) {
        // The directory may belong to someone else's attempt: leave it.
        return fail(with_os_text(PREPARE_RUNTIME_FAILED, created_staging.error()));
    }
    auto staged = fill_and_activate(source_dir, staging_dir, runtime_dir, hooks);
    if (!staged) {
        // After a failed final protection the staging path is already gone
        // and the activated directory waits for the next sweep.
        static_cast<void>(remove_runtime_dir(staging_dir));
    }
    return staged;
}

Result<std::string> file_sha256_hex(const NativeString& path) {
    std::vector<std::uint8_t> buffer(DIGEST_BUFFER_SIZE);
    Sha256 digest;
    const auto read = read_file_streamed(
        path, buffer, [&digest](std::span<const std::uint8_t> bytes) { digest.update(bytes); });
    if (!read) {
        return fail(with_os_text(READ_RUNTIME_FAILED, read.error()));
    }
    return hex_lower(digest.finish());
}

}  // namespace kavo
