#include "install/directory_claim.h"

namespace kavo {

FoundEntry found_entry_of(FileAttributes attributes) {
    if (is_link(attributes)) {
        return FoundEntry::link;
    }
    if (is_directory(attributes)) {
        return FoundEntry::directory;
    }
    return FoundEntry::other;
}

ClaimAction decide_claim(FoundEntry found, bool owned_by_system) {
    if (found == FoundEntry::missing) {
        return ClaimAction::create;
    }
    // Whatever somebody else made goes out of the way, a link or a file
    // included: it is only renamed, so nothing it points to is touched.
    if (!owned_by_system) {
        return ClaimAction::move_aside;
    }
    return found == FoundEntry::directory ? ClaimAction::reuse : ClaimAction::refuse;
}

std::string moved_aside_name(std::string_view name, std::string_view id) {
    std::string moved(name);
    moved.append(MOVED_ASIDE_INFIX);
    moved.append(id);
    return moved;
}

}  // namespace kavo
