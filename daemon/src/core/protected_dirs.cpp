#include "core/protected_dirs.h"

#include "core/runtime_entry_name.h"
#include "platform/diagnostics.h"
#include "platform/environment.h"
#include "platform/file_attributes.h"
#include "platform/fs.h"
#include "platform/path.h"

namespace kavo {

namespace {

std::string protect_message(const ProtectError& error) {
    return std::string(error.stage == ProtectStage::prepare ? PREPARE_PERMISSIONS_FAILED
                                                            : PROTECT_FAILED);
}

}  // namespace

Result<void> protect_service_entry(const TreeEntry& entry) {
    if (is_link(entry.attributes())) {
        return fail(std::string(LINKED_SERVICE_PATH));
    }
    auto protected_entry = entry.protect();
    if (!protected_entry) {
        return fail(protect_message(protected_entry.error()));
    }
    return ok();
}

namespace {

// Top-down through entries held open: each directory is secured before it is
// listed, so that once it is, nobody else can change what the listing shows.
Result<void> protect_entry_tree(const TreeEntry& entry) {
    KAVO_TRY_OK(protect_service_entry(entry));
    if (!is_directory(entry.attributes())) {
        return ok();
    }
    const auto entries = entry.list();
    if (!entries) {
        return fail(std::string(INSPECT_SERVICE_FILES_FAILED));
    }
    for (const auto& name : *entries) {
        if (!name) {
            return fail(std::string(INSPECT_SERVICE_FILES_FAILED));
        }
        const auto child = entry.open_child(*name);
        if (!child) {
            return fail(std::string(INSPECT_SERVICE_FILES_FAILED));
        }
        KAVO_TRY_OK(protect_entry_tree(*child));
    }
    return ok();
}

}  // namespace

Result<void> protect_service_tree(const NativeString& path) {
    const auto entry = TreeEntry::open(path);
    if (!entry) {
        return fail(std::string(INSPECT_SERVICE_FILES_FAILED));
    }
    return protect_entry_tree(*entry);
}

namespace {

bool is_kept(std::string_view name, std::optional<std::string_view> keep) {
    if (!keep) {
        return false;
    }
    return name == *keep || (name.starts_with(RUNTIME_STAGING_PREFIX) &&
                             name.substr(RUNTIME_STAGING_PREFIX.size()) == *keep);
}

}  // namespace

void sweep_runtime_root(std::optional<std::string_view> keep) {
    const auto service_root = service_root_dir();
    if (!service_root) {
        write_error_line(RESOLVE_RUNTIME_ROOT_FAILED);
        return;
    }
    // The root is checked before it is listed, and everything below goes
    // through it: a link put in its place is never entered.
    const auto runtime_root = TreeEntry::open(runtime_root_dir(*service_root));
    if (!runtime_root) {
        if (runtime_root.error().kind != OsErrorKind::not_found) {
            write_error_line(INSPECT_RUNTIME_ROOT_FAILED);
        }
        return;
    }
    if (!is_directory(runtime_root->attributes())) {
        write_error_line(INSPECT_RUNTIME_ROOT_FAILED);
        return;
    }
    const auto entries = runtime_root->list();
    if (!entries) {
        write_error_line(INSPECT_RUNTIME_ROOT_FAILED);
        return;
    }
    for (const auto& entry : *entries) {
        if (!entry) {
            continue;
        }
        const auto name = native_to_utf8(*entry);
        if (!name || is_kept(*name, keep) || !is_runtime_entry_name(*name)) {
            continue;
        }
        auto child = runtime_root->open_child(*entry);
        if (!child) {
            continue;
        }
        if (!is_directory(child->attributes())) {
            write_error_line(INVALID_RUNTIME_ENTRY);
            continue;
        }
        // The next sweep tries again.
        const auto removed = remove_tree(std::move(*child));
        if (!removed && removed.error().kind != OsErrorKind::not_found) {
            write_error_line(REMOVE_RUNTIME_DIR_FAILED);
        }
    }
}

bool remove_runtime_dir(const NativeString& path) {
    const auto removed = remove_tree(path);
    if (removed || removed.error().kind == OsErrorKind::not_found) {
        return true;
    }
    write_error_line(REMOVE_RUNTIME_DIR_FAILED);
    return false;
}

}  // namespace kavo
