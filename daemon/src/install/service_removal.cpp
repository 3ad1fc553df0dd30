#include "install/service_removal.h"

#include <optional>
#include <thread>

#include "core/protected_dirs.h"
#include "install/event_log_source.h"
#include "install/service_tree.h"
#include "install/set_aside.h"
#include "platform/diagnostics.h"
#include "platform/file_attributes.h"
#include "platform/fs.h"
#include "platform/path.h"
#include "platform/process_info.h"

namespace kavo {

void pause_between_polls(const ServicePolling& polling) {
    if (polling.sleep) {
        polling.sleep(polling.interval);
    } else {
        std::this_thread::sleep_for(polling.interval);
    }
}

namespace {

// This process's own image, set aside when it lies in `tree`; nothing when it
// does not, or when it cannot be moved (the removal of the tree then fails
// on it as it would have).
std::optional<SetAsideFile> set_aside_running_image(const NativeString& tree,
                                                    const NativeString& install_parent) {
    const auto image = running_executable_path();
    if (!image || !file_lies_within(*image, tree)) {
        return std::nullopt;
    }
    auto moved = set_aside(*image, install_parent);
    if (!moved) {
        return std::nullopt;
    }
    return std::optional<SetAsideFile>(std::move(moved).value());
}

// The service manager with the processes of the machine beside it: the shape
// that remove_previous_service_with works on.
struct SystemServices {
    const ServiceManager& manager;

    OsResult<Service> open_service(NativeView name, std::uint32_t access) const {
        return manager.open_service(name, access);
    }
    static OsResult<ProcessWatch> watch_process(std::uint32_t id) { return ProcessWatch::open(id); }
};

}  // namespace

Result<void> remove_previous_service(const ServiceManager& manager, const ServicePolling& polling) {
    return remove_previous_service_with(SystemServices{manager}, polling);
}

Result<void> remove_service_tree(const NativeString& path) {
    // Checked and removed through one open entry: a directory swapped for a
    // link after the check is not what gets walked.
    auto entry = TreeEntry::open(path);
    if (!entry) {
        if (entry.error().kind == OsErrorKind::not_found) {
            return ok();
        }
        return fail(std::string(INSPECT_PROTECTED_SERVICE_FILES_FAILED) + entry.error().text);
    }
    if (!is_directory(entry->attributes())) {
        return fail(std::string(INVALID_PROTECTED_SERVICE_PATH));
    }
    const auto removed = remove_tree(std::move(*entry));
    if (!removed) {
        return fail(std::string(REMOVE_PROTECTED_SERVICE_FILES_FAILED) + removed.error().text);
    }
    return ok();
}

void sweep_service_staging(const NativeString& install_parent) {
    const auto entries = list_directory(install_parent);
    if (!entries) {
        return;
    }
    bool complete = true;
    for (const auto& entry : *entries) {
        if (!entry) {
            complete = false;
            continue;
        }
        const auto name = native_to_utf8(*entry);
        if (!name || !is_service_staging_name(*name)) {
            continue;
        }
        const NativeString path = join_native(install_parent, *entry);
        // Only a directory of the service's own is removed: a file, a link or
        // somebody else's directory with a staging name is left as it is.
        if (!is_service_owned_directory(path) || !remove_service_tree(path)) {
            complete = false;
        }
    }
    if (!complete) {
        write_error_line(DEFERRED_SERVICE_STAGING_CLEANUP);
    }
}

Result<void> uninstall_service(const ServicePolling& polling) {
    const auto manager = ServiceManager::open(SCM_ACCESS_CONNECT);
    if (!manager) {
        return fail(std::string(WINAPI_CALL_FAILED));
    }
    KAVO_TRY_OK(remove_previous_service(*manager, polling));
    // The service is gone, and so is what names its events.
    remove_service_event_source();
    KAVO_TRY(const NativeString service_root, service_root_dir());
    const auto install_parent = parent_path(NativeView(service_root), NATIVE_PATH_STYLE);
    // Only a tree of the service's own is walked and removed: an install
    // parent or a service root that somebody else made (or that is missing)
    // holds nothing of an installation, and is left alone.
    if (install_parent && !is_service_owned_directory(*install_parent)) {
        if (!read_attributes_no_follow(*install_parent)) {
            return ok();
        }
        return fail(std::string(INVALID_PROTECTED_SERVICE_PATH));
    }
    // What earlier removals set aside goes whether or not a service root is
    // left now.
    if (install_parent) {
        sweep_set_aside_files(*install_parent);
    }
    Result<void> removed = ok();
    if (is_service_owned_directory(service_root)) {
        // An uninstaller run from the installed copy: its image goes out of
        // the tree first; it is deleted when the machine next starts (or by
        // a later sweep), since it cannot be while this process runs.
        const std::optional<SetAsideFile> own_image =
            install_parent ? set_aside_running_image(service_root, *install_parent) : std::nullopt;
        sweep_runtime_root(std::nullopt);
        removed = remove_service_tree(service_root);
    } else if (read_attributes_no_follow(service_root)) {
        removed = fail(std::string(INVALID_PROTECTED_SERVICE_PATH));
    }
    // Whether or not the service root went.
    if (install_parent) {
        sweep_service_staging(*install_parent);
    }
    return removed;
}

}  // namespace kavo
