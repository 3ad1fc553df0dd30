#include "core/runtime_staging.h"

#include <chrono>
#include <thread>
#include <vector>

#include "core/protected_dirs.h"
#include "core/rename_retry.h"
#include "core/runtime_entry_name.h"
#include "platform/file_digest.h"
#include "platform/file_handle.h"
#include "platform/fs.h"
#include "platform/path.h"

namespace kavo {

namespace {

// Copies one runtime file into the staging directory and checks the copy.
// The source name is in a directory that users may write, so it is opened
// once and everything after that goes through the handle: a name swapped for
// a link, a FIFO or a device after the open changes nothing that is read.
Result<void> stage_file(const NativeString& source_dir, const NativeString& staging_dir,
                        NativeView name, const StagingHooks& hooks) {
    const NativeString source = join_native(source_dir, name);
    auto opened = FileHandle::open(source, LinkAtPath::refuse);
    if (!opened) {
        if (opened.error().kind == OsErrorKind::not_found) {
            return fail(std::string(RUNTIME_CONFIGURATION_UNAVAILABLE));
        }
        return fail(with_os_text(INSPECT_RUNTIME_SOURCE_FAILED, opened.error()));
    }
    FileHandle& file = *opened;
    if (file.kind() != FileKind::regular) {
        return fail(std::string(UNSUPPORTED_RUNTIME_SOURCE));
    }
    KAVO_TRY(const std::string expected, opened_file_sha256_hex(file));
    if (hooks.after_source_hashed) {
        hooks.after_source_hashed(source);
    }
    const auto rewound = file.rewind();
    if (!rewound) {
        return fail(with_os_text(READ_RUNTIME_FAILED, rewound.error()));
    }
    const NativeString copy = join_native(staging_dir, name);
    const auto copied = file.copy_rest_to_new_file(copy);
    if (!copied) {
        return fail(with_os_text(STAGE_RUNTIME_FAILED, copied.error()));
    }
    KAVO_TRY(const std::string actual, file_sha256_hex(copy));
    if (actual != expected) {
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
    // A scanner may still be looking at the fresh copies for a moment.
    const auto renamed = rename_with_retries(
        [&] { return rename_directory(staging_dir, runtime_dir); },
        [](std::chrono::milliseconds pause) { std::this_thread::sleep_for(pause); },
        NATIVE_ERROR_RULES);
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
    // The identifier becomes a path component: a separator, "..", a NUL or a
    // drive prefix in it would lead out of the runtime root.
    if (!is_runtime_id(lease_id)) {
        return fail(std::string(INVALID_RUNTIME_LEASE_ID));
    }
    auto service_root = service_root_dir();
    if (!service_root) {
        return fail(std::move(service_root).error());
    }
    const NativeString runtime_root = runtime_root_dir(*service_root);
    const NativeString staging_dir =
        join_native(runtime_root, utf8_to_native(runtime_staging_name(lease_id)));
    const NativeString runtime_dir = join_native(runtime_root, utf8_to_native(lease_id));

    // Made protected from the first moment, parents included.
    const auto created_root = create_protected_directories(runtime_root);
    if (!created_root) {
        return fail(with_os_text(PREPARE_RUNTIME_ROOT_FAILED, created_root.error()));
    }
    auto protected_root = protect_service_tree(runtime_root);
    if (!protected_root) {
        return fail(std::move(protected_root).error());
    }
    const auto created_staging = create_protected_directory(staging_dir);
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

Result<std::string> opened_file_sha256_hex(FileHandle& file) {
    auto digest = sha256_hex(file);
    if (!digest) {
        return fail(with_os_text(READ_RUNTIME_FAILED, digest.error()));
    }
    return std::move(digest).value();
}

Result<std::string> file_sha256_hex(const NativeString& path) {
    // Following a link at the path is acceptable for the callers of this: the
    // staged copy was just created new, under its own name, in a directory
    // only this service can write, and the installer hashes its own files
    // (the running executable and the core beside it, which an administrator
    // may have reached through a link). Runtime sources, which users can swap,
    // are never hashed by name. Whatever the path leads to, only a regular
    // file is read, and the open cannot hang on a FIFO or a device.
    auto digest = sha256_hex(path);
    if (!digest) {
        return fail(with_os_text(READ_RUNTIME_FAILED, digest.error()));
    }
    return std::move(digest).value();
}

}  // namespace kavo
