#include "install/service_install.h"

#include <chrono>
#include <thread>
#include <vector>

#include "core/protected_dirs.h"
#include "core/rename_retry.h"
#include "core/runtime_staging.h"
#include "install/directory_claim.h"
#include "install/event_log_source.h"
#include "install/set_aside.h"
#include "ipc/protocol_id.h"
#include "platform/diagnostics.h"
#include "platform/file_attributes.h"
#include "platform/file_handle.h"
#include "platform/fs.h"
#include "platform/path.h"
#include "platform/process_info.h"
#include "platform/service_manager.h"

namespace kavo {

namespace {

InstallResult ended(InstallOutcome outcome, std::string error) {
    return InstallResult{outcome, std::move(error)};
}

Result<BundledFiles> bundled_files(const InstallOptions& options) {
    if (options.bundled) {
        return *options.bundled;
    }
    auto executable = running_executable_path();
    if (!executable) {
        return fail(with_os_text(RESOLVE_SERVICE_BINARY_FAILED, executable.error()));
    }
    auto core = core_beside(*executable);
    if (!core) {
        return fail(std::string(RESOLVE_SERVICE_BINARY_DIRECTORY_FAILED));
    }
    return BundledFiles{std::move(*executable), std::move(*core)};
}

// Sets aside the files of `files` that lie in the service root, a directory
// of the service's own, and points `files` at where they went. A file that
// cannot be moved stays, and the removal of the root fails on it or the
// install misses it, as it would have.
std::vector<SetAsideFile> set_aside_bundle_in(BundledFiles& files, const NativeString& service_root,
                                              const NativeString& install_parent) {
    std::vector<SetAsideFile> moved;
    if (!is_service_owned_directory(service_root)) {
        return moved;
    }
    for (NativeString* file : {&files.daemon, &files.core}) {
        if (!file_lies_within(*file, service_root)) {
            continue;
        }
        auto aside = set_aside(*file, install_parent);
        if (aside) {
            *file = aside->path();
            moved.push_back(std::move(aside).value());
        }
    }
    return moved;
}

bool directory_or_link(FileAttributes attributes) {
    return (attributes.attributes & ATTRIBUTE_DIRECTORY) != 0 || is_link(attributes);
}

Result<void> check_bundled_files(const BundledFiles& files) {
    const auto daemon = read_attributes_no_follow(files.daemon);
    if (!daemon) {
        return fail(std::string(BUNDLED_DAEMON_UNAVAILABLE));
    }
    const auto core = read_attributes_no_follow(files.core);
    if (!core) {
        return fail(std::string(CORE_BINARY_UNAVAILABLE));
    }
    if (directory_or_link(*daemon) || directory_or_link(*core)) {
        return fail(std::string(CORE_BINARY_UNAVAILABLE));
    }
    return ok();
}

// Deletes the identity source the installer was handed, through a handle of
// the file itself, and only when it is still the file the identity was read
// from and not the identity the service is to read: a reinstall may name the
// installed identity, and the source usually lies where its user can swap it.
void delete_identity_source(const ServiceConfig& config) {
    if (!config.identity_file_id) {
        return;
    }
    auto source = HeldEntry::open(config.identity_file);
    if (!source || !(source->identity() == *config.identity_file_id) ||
        found_entry_of(source->attributes()) != FoundEntry::other) {
        return;
    }
    if (const auto service_root = service_root_dir()) {
        const auto installed = HeldEntry::open(join_native(*service_root, IDENTITY_FILE_NAME));
        if (installed && installed->identity() == source->identity()) {
            return;
        }
    }
    static_cast<void>(source->remove());
}

InstallResult ended(const InstallStepFailure& failure) {
    return InstallResult{failure.outcome, failure.error};
}

// Everything from opening the manager to starting the service. The manager
// handle and the service handle close when this returns, on every path.
InstallResult install_steps(const ServiceConfig& config, const InstallOptions& options) {
    const auto manager = ServiceManager::open(SCM_ACCESS_CONNECT | SCM_ACCESS_CREATE_SERVICE);
    if (!manager) {
        return ended(InstallOutcome::Blocked, manager.error().text);
    }
    auto previous = remove_previous_service(*manager, options.polling);
    if (!previous) {
        return ended(InstallOutcome::Blocked, std::move(previous).error());
    }
    // From here on a failure leaves no service registered, and no event
    // source naming a daemon that is gone.
    remove_service_event_source();
    auto installed_daemon = install_service_files(config, options);
    if (!installed_daemon) {
        return ended(installed_daemon.error());
    }
    auto root = service_root_dir();
    if (!root) {
        return ended(InstallOutcome::Failed, std::move(root).error());
    }
    const NativeString service_root = std::move(root).value();
    // The event viewer reads the texts of the service's events from the
    // installed daemon, so the source is registered once that is in place.
    register_service_event_source(*installed_daemon);
    const NativeString identity_file = join_native(service_root, IDENTITY_FILE_NAME);
    const NativeString command_line = service_command_line(
        *installed_daemon, config.core_dir, identity_file, config.expected_core_sha256);
    auto service = manager->create_service(service_registration(command_line));
    if (!service) {
        remove_service_event_source();
        static_cast<void>(remove_service_tree(service_root));
        return ended(outcome_of_create_failure(service.error().code), service.error().text);
    }
    // Only a description; the service works without it.
    static_cast<void>(service->set_description(SERVICE_DESCRIPTION_TEXT));
    // Before the start, so that a first start that fails already counts.
    if (auto actions = register_failure_actions(*service); !actions) {
        write_error_line(actions.error());
    }
    const auto started = service->start();
    if (!started) {
        // Closed first: a handle of ours left open would keep the service
        // marked for deletion through the whole removal wait.
        service->close();
        static_cast<void>(remove_previous_service(*manager, options.polling));
        remove_service_event_source();
        static_cast<void>(remove_service_tree(service_root));
        return ended(InstallOutcome::Failed, started.error().text);
    }
    return ended(InstallOutcome::Installed, std::string());
}

}  // namespace

Result<NativeString, InstallStepFailure> install_service_files(const ServiceConfig& config,
                                                               const InstallOptions& options) {
    const auto failed = [](std::string error) {
        return InstallStepFailure{InstallOutcome::Failed, std::move(error)};
    };
    auto service_root = service_root_dir();
    if (!service_root) {
        return fail(failed(std::move(service_root).error()));
    }
    const auto install_parent = parent_path(NativeView(*service_root), NATIVE_PATH_STYLE);
    if (!install_parent) {
        return fail(failed(std::string(RESOLVE_INSTALL_PARENT_FAILED)));
    }
    // Anyone may have made the install parent or the service root: what is
    // not the service's own is moved aside before anything below is removed
    // or created.
    KAVO_TRY_OK(claim_install_parent(*install_parent));
    sweep_set_aside_files(*install_parent);
    auto files = bundled_files(options);
    // An install run from the installed copy takes its files from the tree
    // that goes next: they are set aside and installed from there, and
    // deleted when this returns (the running image at the next start).
    const std::vector<SetAsideFile> set_aside_bundle =
        files ? set_aside_bundle_in(*files, *service_root, *install_parent)
              : std::vector<SetAsideFile>();
    KAVO_TRY_OK(clear_service_root(*service_root));
    // From here on a failure leaves no installed files either.
    if (!files) {
        return fail(failed(std::move(files).error()));
    }
    auto checked = check_bundled_files(*files);
    if (!checked) {
        return fail(failed(std::move(checked).error()));
    }
    sweep_service_staging(*install_parent);
    auto id = new_protocol_id();
    if (!id) {
        return fail(failed(std::move(id).error()));
    }
    const NativeString staging_dir =
        join_native(*install_parent, utf8_to_native(service_staging_name(*id)));
    const auto created_staging = create_protected_directory(staging_dir);
    if (!created_staging) {
        return fail(failed(with_os_text(CREATE_SERVICE_STAGING_FAILED, created_staging.error())));
    }
    auto installed_daemon =
        stage_service_files(staging_dir, files->daemon, files->core, config, *service_root);
    if (!installed_daemon) {
        // Best effort; a staging directory that stays is swept next time.
        static_cast<void>(remove_service_tree(staging_dir));
        return fail(failed(std::move(installed_daemon).error()));
    }
    return std::move(installed_daemon).value();
}

InstallOutcome install_service(ServiceConfig config, const InstallOptions& options) {
    return attempt_install(std::move(config), options).outcome;
}

InstallResult attempt_install(ServiceConfig config, const InstallOptions& options) {
    InstallResult result = install_steps(config, options);
    // The identity now lives in the service root (or nowhere): the copy the
    // caller handed in goes, read-only or not, whatever the outcome.
    delete_identity_source(config);
    return result;
}

Result<void> register_failure_actions(const Service& service) {
    const ServiceFailureActions actions = service_failure_actions();
    if (auto set = service.set_failure_actions(actions); !set) {
        return fail(with_os_text(SET_FAILURE_ACTIONS_FAILED, set.error()));
    }
    if (auto flag = service.set_failure_actions_on_stop_with_error(actions.on_stop_with_error);
        !flag) {
        return fail(with_os_text(SET_FAILURE_ACTIONS_FLAG_FAILED, flag.error()));
    }
    return ok();
}

Result<NativeString> stage_service_files(const NativeString& staging_dir,
                                         const NativeString& daemon_source,
                                         const NativeString& core_source,
                                         const ServiceConfig& config,
                                         const NativeString& service_root) {
    KAVO_TRY_OK(protect_service_tree(staging_dir));
    KAVO_TRY_OK(
        install_service_file(daemon_source, join_native(staging_dir, INSTALLED_DAEMON_NAME)));
    const NativeString staged_core = join_native(staging_dir, CORE_EXECUTABLE_NAME);
    KAVO_TRY_OK(install_service_file(core_source, staged_core));
    KAVO_TRY(const std::string core_digest, file_sha256_hex(staged_core));
    // Case matters: the digest is lowercase, and a hash typed in upper case
    // would also fail the service's own check at start.
    if (core_digest != config.expected_core_sha256) {
        return fail(std::string(INSTALLED_CORE_HASH_MISMATCH));
    }
    KAVO_TRY_OK(store_service_identity(staging_dir, config.identity));
    KAVO_TRY_OK(protect_service_tree(staging_dir));
    // A scanner may still be looking at the fresh copies for a moment.
    const auto activated = rename_with_retries(
        [&] { return rename_replace(staging_dir, service_root); },
        [](std::chrono::milliseconds pause) { std::this_thread::sleep_for(pause); },
        NATIVE_ERROR_RULES);
    if (!activated) {
        return fail(with_os_text(ACTIVATE_SERVICE_DIRECTORY_FAILED, activated.error()));
    }
    return join_native(service_root, INSTALLED_DAEMON_NAME);
}

Result<void> install_service_file(const NativeString& source, const NativeString& destination) {
    auto opened = FileHandle::open(source, LinkAtPath::refuse);
    if (!opened) {
        return fail(with_os_text(INSTALL_SERVICE_FILE_FAILED, opened.error()));
    }
    FileHandle& file = *opened;
    // A file already there is replaced; the copy itself only ever makes a
    // new file, so a link put in its place is never written through.
    const auto replaced = remove_file(destination);
    if (!replaced && replaced.error().kind != OsErrorKind::not_found) {
        return fail(with_os_text(INSTALL_SERVICE_FILE_FAILED, replaced.error()));
    }
    const auto copied = file.copy_rest_to_new_file(destination);
    if (!copied) {
        return fail(with_os_text(INSTALL_SERVICE_FILE_FAILED, copied.error()));
    }
    const auto installed = read_attributes_no_follow(destination);
    if (!installed || directory_or_link(*installed)) {
        return fail(std::string(VALIDATE_SERVICE_FILE_FAILED));
    }
    // The source hashed through the handle it was copied from: a file
    // changed in place meanwhile no longer matches its copy.
    const auto rewound = file.rewind();
    if (!rewound) {
        return fail(std::string(READ_RUNTIME_FAILED) + rewound.error().text);
    }
    KAVO_TRY(const std::string source_digest, opened_file_sha256_hex(file));
    KAVO_TRY(const std::string installed_digest, file_sha256_hex(destination));
    if (source_digest != installed_digest) {
        return fail(std::string(VALIDATE_SERVICE_FILE_FAILED));
    }
    return ok();
}

Result<NativeString> store_service_identity(const NativeString& directory,
                                            const SecretBytes& identity) {
    if (identity.size() < MIN_IDENTITY_LEN || identity.size() > MAX_IDENTITY_LEN) {
        return fail(std::string(IDENTITY_INVALID));
    }
    NativeString path = join_native(directory, IDENTITY_FILE_NAME);
    const auto written = write_whole_file(path, identity.view());
    if (!written) {
        return fail(with_os_text(STORE_SERVICE_IDENTITY_FAILED, written.error()));
    }
    KAVO_TRY_OK(protect_service_tree(path));
    return path;
}

}  // namespace kavo
