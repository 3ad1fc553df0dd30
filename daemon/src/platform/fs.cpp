// The file-system operations built from the backend's primitives.
#include "platform/fs.h"

#include "platform/path.h"

namespace kavo {

namespace {

using DirectoryCreator = OsResult<void> (*)(const NativeString&);

// Creates `path` with `create`, and first every missing parent the same way.
OsResult<void> create_with_parents(const NativeString& path, DirectoryCreator create) {
    auto created = create(path);
    if (created) {
        return ok();
    }
    OsError error = std::move(created).error();
    if (error.kind == OsErrorKind::not_found) {
        const auto parent = parent_path(NativeView(path), NATIVE_PATH_STYLE);
        if (!parent || parent->size() >= path.size()) {
            return fail(std::move(error));
        }
        auto made_parent = create_with_parents(*parent, create);
        if (!made_parent) {
            return made_parent;
        }
        created = create(path);
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

}  // namespace

OsResult<void> create_directories(const NativeString& path) {
    return create_with_parents(path, &create_directory);
}

OsResult<void> create_protected_directories(const NativeString& path) {
    return create_with_parents(path, &create_protected_directory);
}

namespace {

bool vanished(const OsError& error) {
    return error.kind == OsErrorKind::not_found;
}

// Empties a directory held open: it is secured before it is listed, so what
// the listing shows stays what is there, then every entry is removed, each
// subdirectory emptied first. Entries that vanish meanwhile count as removed.
OsResult<void> remove_contents(const TreeEntry& directory) {
    auto secured = directory.protect();
    if (!secured) {
        return fail(std::move(secured).error().error);
    }
    const auto entries = directory.list();
    if (!entries) {
        return fail(entries.error());
    }
    for (const auto& entry : *entries) {
        if (!entry) {
            return fail(entry.error());
        }
        auto child = directory.open_child(*entry);
        if (!child) {
            if (vanished(child.error())) {
                continue;
            }
            return fail(std::move(child).error());
        }
        if (is_directory(child->attributes())) {
            KAVO_TRY_OK(remove_contents(*child));
        }
        auto removed = directory.remove_child(*entry, std::move(*child));
        if (!removed && !vanished(removed.error())) {
            return removed;
        }
    }
    return ok();
}

// Removes the entry at `path` itself: a link as a link, never its target.
OsResult<void> remove_single(const NativeString& path, FileAttributes attributes) {
    // A directory link or junction is removed like an empty directory, which
    // deletes the link and leaves its target alone.
    if (is_link(attributes) && (attributes.attributes & ATTRIBUTE_DIRECTORY) != 0) {
        return remove_empty_directory(path);
    }
    return remove_file(path);
}

}  // namespace

OsResult<void> remove_tree(TreeEntry top) {
    if (is_directory(top.attributes())) {
        KAVO_TRY_OK(remove_contents(top));
    }
    // Closed before its own removal, which on Windows needs it unshared.
    top.close();
    if (is_directory(top.attributes())) {
        return remove_empty_directory(top.path());
    }
    return remove_single(top.path(), top.attributes());
}

OsResult<void> remove_tree(const NativeString& path) {
    KAVO_TRY(TreeEntry top, TreeEntry::open(path));
    return remove_tree(std::move(top));
}

}  // namespace kavo
