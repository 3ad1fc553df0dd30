#include "install/service_tree.h"

#include <optional>
#include <utility>

#include "core/protected_dirs.h"
#include "install/directory_claim.h"
#include "install/service_removal.h"
#include "ipc/protocol_id.h"
#include "platform/fs.h"
#include "platform/path.h"

namespace kavo {

namespace {

InstallStepFailure failed(std::string error) {
    return InstallStepFailure{InstallOutcome::Failed, std::move(error)};
}

InstallStepFailure blocked(std::string error) {
    return InstallStepFailure{InstallOutcome::Blocked, std::move(error)};
}

// What is at `path`, held open; nothing when the path is missing.
Result<std::optional<HeldEntry>, OsError> look_at(const NativeString& path) {
    auto held = HeldEntry::open(path);
    if (!held) {
        if (held.error().kind == OsErrorKind::not_found) {
            return std::optional<HeldEntry>();
        }
        return fail(std::move(held).error());
    }
    return std::optional<HeldEntry>(std::move(held).value());
}

ClaimAction action_for(const std::optional<HeldEntry>& held) {
    if (!held) {
        return decide_claim(FoundEntry::missing, false);
    }
    return decide_claim(found_entry_of(held->attributes()), held->owned_by_system());
}

// Renames the held entry out of the way under a fresh name beside it.
InstallStep move_aside(HeldEntry& held) {
    auto id = new_protocol_id();
    if (!id) {
        return fail(blocked(std::move(id).error()));
    }
    const NativeString name = utf8_to_native(moved_aside_name(
        native_to_utf8(last_component(NativeView(held.path()), NATIVE_PATH_STYLE)).value_or(""),
        *id));
    const auto moved = held.rename_within_directory(name);
    if (!moved) {
        return fail(blocked(std::string(MOVE_ASIDE_FAILED) + moved.error().text));
    }
    return ok();
}

// Protects the directory that was checked, which the caller has let go of
// (a held entry shares deletion, which the pin of a tree entry refuses):
// opened again, it must still be the same object.
InstallStep protect_checked_directory(const NativeString& path, const FileIdentity& checked) {
    auto entry = TreeEntry::open(path);
    if (!entry) {
        return fail(failed(std::string(INSPECT_SERVICE_FILES_FAILED)));
    }
    if (!(entry->identity() == checked) || !is_directory(entry->attributes())) {
        return fail(blocked(std::string(INSPECT_SERVICE_FILES_FAILED)));
    }
    auto secured = protect_service_entry(*entry);
    if (!secured) {
        return fail(failed(std::move(secured).error()));
    }
    return ok();
}

}  // namespace

InstallStep claim_install_parent(const NativeString& install_parent) {
    auto held = look_at(install_parent);
    if (!held) {
        return fail(failed(std::string(INSPECT_SERVICE_FILES_FAILED)));
    }
    switch (action_for(*held)) {
        case ClaimAction::reuse: {
            const FileIdentity checked = (*held)->identity();
            held->reset();
            return protect_checked_directory(install_parent, checked);
        }
        case ClaimAction::refuse:
            return fail(failed(std::string(is_link((*held)->attributes())
                                               ? LINKED_SERVICE_PATH
                                               : INSTALL_PARENT_NOT_A_DIRECTORY)));
        case ClaimAction::move_aside: {
            KAVO_TRY_OK(move_aside(**held));
            // Made new, and it must be ours: should somebody make the name
            // again first, it is theirs, and the install does not go on.
            const auto created = create_protected_directory(install_parent);
            if (!created) {
                if (created.error().kind == OsErrorKind::already_exists) {
                    return fail(blocked(std::string(INSTALL_PARENT_TAKEN)));
                }
                return fail(
                    failed(std::string(CREATE_INSTALL_PARENT_FAILED) + created.error().text));
            }
            return ok();
        }
        case ClaimAction::create:
            break;
    }
    const auto created = create_protected_directories(install_parent);
    if (!created) {
        return fail(failed(std::string(CREATE_INSTALL_PARENT_FAILED) + created.error().text));
    }
    // A directory that another creator won the race for is checked like any
    // other found there.
    auto again = look_at(install_parent);
    if (!again || !*again || action_for(*again) != ClaimAction::reuse) {
        return fail(blocked(std::string(INSTALL_PARENT_TAKEN)));
    }
    return ok();
}

InstallStep clear_service_root(const NativeString& service_root) {
    auto held = look_at(service_root);
    if (!held) {
        return fail(
            failed(std::string(INSPECT_PROTECTED_SERVICE_FILES_FAILED) + held.error().text));
    }
    switch (action_for(*held)) {
        case ClaimAction::create:
            return ok();
        case ClaimAction::move_aside:
            return move_aside(**held);
        case ClaimAction::refuse:
            return fail(failed(std::string(INVALID_PROTECTED_SERVICE_PATH)));
        case ClaimAction::reuse:
            break;
    }
    held->reset();
    sweep_runtime_root(std::nullopt);
    auto removed = remove_service_tree(service_root);
    if (!removed) {
        return fail(failed(std::move(removed).error()));
    }
    return ok();
}

bool is_service_owned_directory(const NativeString& path) {
    const auto held = HeldEntry::open(path);
    return held && is_directory(held->attributes()) && held->owned_by_system();
}

}  // namespace kavo
