// The file-system operations built from the backend's primitives.
#include "platform/fs.h"

#include "platform/path.h"

namespace kavo {

OsResult<void> create_directories(const NativeString& path) {
    auto created = create_directory(path);
    if (created) {
        return ok();
    }
    OsError error = std::move(created).error();
    if (error.kind == OsErrorKind::not_found) {
        const auto parent = parent_path(NativeView(path), NATIVE_PATH_STYLE);
        if (!parent || parent->size() >= path.size()) {
            return fail(std::move(error));
        }
        auto made_parent = create_directories(*parent);
        if (!made_parent) {
            return made_parent;
        }
        created = create_directory(path);
        if (created) {
            return ok();
        }
        error = std::move(created).error();
    }
    if (error.kind == OsErrorKind::already_exists) {
        // Another creator may have won the race; only a directory will do.
        const auto existing = read_attributes_following(path);
        if (existing && (existing->attributes & ATTRIBUTE_DIRECTORY) != 0) {
            return ok();
        }
    }
    return fail(std::move(error));
}

namespace {

bool vanished(const OsError& error) {
    return error.kind == OsErrorKind::not_found;
}

// Removes one entry below the top of the tree; an entry that is already gone
// counts as removed.
OsResult<void> remove_entry(const NativeString& path) {
    auto removed = remove_tree(path);
    if (!removed && vanished(removed.error())) {
        return ok();
    }
    return removed;
}

}  // namespace

OsResult<void> remove_tree(const NativeString& path) {
    const auto attributes = read_attributes_no_follow(path);
    if (!attributes) {
        return fail(attributes.error());
    }
    if (is_link(*attributes)) {
        // A directory link or junction is removed like an empty directory,
        // which deletes the link and leaves its target alone.
        if ((attributes->attributes & ATTRIBUTE_DIRECTORY) != 0) {
            return remove_empty_directory(path);
        }
        return remove_file(path);
    }
    if (!is_directory(*attributes)) {
        return remove_file(path);
    }
    const auto entries = list_directory(path);
    if (!entries) {
        return fail(entries.error());
    }
    for (const auto& entry : *entries) {
        if (!entry) {
            return fail(entry.error());
        }
        auto removed = remove_entry(join_native(path, *entry));
        if (!removed) {
            return removed;
        }
    }
    return remove_empty_directory(path);
}

}  // namespace kavo
