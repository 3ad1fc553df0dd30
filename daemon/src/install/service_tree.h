// Installation, driven: the directories an install works in, taken only when
// they are the service's own. The install parent and the service root are
// looked at through one held entry each; what somebody else made there is
// moved aside (install/directory_claim.h), never adopted, walked or removed.
#pragma once

#include <string>
#include <string_view>

#include "install/install_outcome.h"
#include "platform/native_string.h"
#include "platform/result.h"

namespace kavo {

inline constexpr std::string_view CREATE_INSTALL_PARENT_FAILED =
    "Failed to create service install parent: ";
inline constexpr std::string_view MOVE_ASIDE_FAILED =
    "Failed to move aside a service directory made by another account: ";
inline constexpr std::string_view INSTALL_PARENT_TAKEN =
    "The service install parent was made again by another account";
inline constexpr std::string_view INSTALL_PARENT_NOT_A_DIRECTORY =
    "The service install parent is not a directory";

// Why a step of the install did not go through: the outcome it leads to and
// the text of the failure.
struct InstallStepFailure {
    InstallOutcome outcome = InstallOutcome::Failed;
    std::string error;
};

using InstallStep = Result<void, InstallStepFailure>;

// Makes `install_parent` a protected directory of the service: made new when
// missing, protected through a handle when LocalSystem or the Administrators
// own it, moved aside and made new when anybody else does. A move that fails,
// or a new one that somebody else makes first, blocks the install.
InstallStep claim_install_parent(const NativeString& install_parent);

// Clears the service root of an earlier installation before the new one goes
// into place: removed (its runtime directories first) when it is the
// service's own, moved aside when it is somebody else's. Call it only once
// the install parent is the service's own.
InstallStep clear_service_root(const NativeString& service_root);

// Whether `path` is a directory that LocalSystem or the Administrators own,
// read through one held entry: the uninstaller walks nothing else. Missing
// counts as not.
bool is_service_owned_directory(const NativeString& path);

}  // namespace kavo
