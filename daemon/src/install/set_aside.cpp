#include "install/set_aside.h"

#include <utility>

#include "install/directory_claim.h"
#include "install/install_names.h"
#include "ipc/protocol_id.h"
#include "platform/path.h"

namespace kavo {

namespace {

NativeString resolved_or_given(const NativeString& path) {
    auto resolved = resolved_path(path);
    return resolved ? std::move(resolved).value() : path;
}

// A file of the service's own: not a link, not a directory, owned by
// LocalSystem or the Administrators.
bool own_plain_file(const HeldEntry& entry) {
    return found_entry_of(entry.attributes()) == FoundEntry::other && entry.owned_by_system();
}

}  // namespace

void SetAsideFile::discard() {
    if (!std::exchange(pending_, false)) {
        return;
    }
    auto entry = HeldEntry::open(path_);
    if (!entry || !(entry->identity() == identity_)) {
        return;
    }
    if (!entry->remove()) {
        static_cast<void>(remove_file_at_restart(path_));
    }
}

bool file_lies_within(const NativeString& file, const NativeString& tree) {
    const NativeString real_file = resolved_or_given(file);
    const NativeString real_tree = resolved_or_given(tree);
    return path_lies_within(NativeView(real_file), NativeView(real_tree), NATIVE_PATH_STYLE);
}

Result<SetAsideFile> set_aside(const NativeString& file, const NativeString& install_parent) {
    auto entry = HeldEntry::open(file);
    if (!entry) {
        return fail(std::move(entry).error().text);
    }
    if (!own_plain_file(*entry)) {
        return fail(std::string(SET_ASIDE_NOT_A_FILE));
    }
    KAVO_TRY(const std::string id, new_protocol_id());
    const auto name = native_to_utf8(last_component(NativeView(file), NATIVE_PATH_STYLE));
    if (!name) {
        return fail(std::string(SET_ASIDE_NOT_A_FILE));
    }
    const auto moved =
        entry->move_to(join_native(install_parent, utf8_to_native(set_aside_name(*name, id))));
    if (!moved) {
        return fail(moved.error().text);
    }
    return SetAsideFile(*entry);
}

void sweep_set_aside_files(const NativeString& install_parent) {
    const auto entries = list_directory(install_parent);
    if (!entries) {
        return;
    }
    for (const auto& entry : *entries) {
        if (!entry) {
            continue;
        }
        const auto name = native_to_utf8(*entry);
        if (!name || !is_set_aside_name(*name)) {
            continue;
        }
        auto held = HeldEntry::open(join_native(install_parent, *entry));
        if (held && own_plain_file(*held)) {
            // Still in use (a set-aside image whose program runs): left.
            static_cast<void>(held->remove());
        }
    }
}

}  // namespace kavo
