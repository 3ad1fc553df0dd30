// Installation: the daemon installs itself as the service "kavo-service",
// replacing any earlier installation: it copies itself, the core beside it
// and the identity into the protected service root, checks every copy,
// registers the service to start automatically with its configuration on its
// command line, and starts it.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "install/install_outcome.h"
#include "install/service_registration.h"
#include "install/service_removal.h"
#include "install/service_tree.h"
#include "platform/native_string.h"
#include "platform/result.h"
#include "platform/secret.h"
#include "platform/service_manager.h"
#include "service/service_config.h"
#include "service/service_paths.h"

namespace kavo {

inline constexpr std::string_view RESOLVE_SERVICE_BINARY_FAILED =
    "Failed to resolve service binary: ";
inline constexpr std::string_view RESOLVE_SERVICE_BINARY_DIRECTORY_FAILED =
    "Failed to resolve service binary directory";
inline constexpr std::string_view BUNDLED_DAEMON_UNAVAILABLE =
    "Bundled service daemon is unavailable";
inline constexpr std::string_view RESOLVE_INSTALL_PARENT_FAILED =
    "Failed to resolve service install parent";
inline constexpr std::string_view CREATE_SERVICE_STAGING_FAILED =
    "Failed to create protected service staging directory: ";
inline constexpr std::string_view INSTALLED_CORE_HASH_MISMATCH =
    "Installed core hash does not match the requested service configuration";
inline constexpr std::string_view ACTIVATE_SERVICE_DIRECTORY_FAILED =
    "Failed to activate protected service directory: ";
inline constexpr std::string_view INSTALL_SERVICE_FILE_FAILED = "Failed to install service file: ";
inline constexpr std::string_view VALIDATE_SERVICE_FILE_FAILED =
    "Failed to validate installed service file";
inline constexpr std::string_view STORE_SERVICE_IDENTITY_FAILED =
    "Failed to store service identity: ";
// Failure actions are best effort: a refusal is written, and the install
// goes on.
inline constexpr std::string_view SET_FAILURE_ACTIONS_FAILED =
    "Failed to set the service failure actions: ";
inline constexpr std::string_view SET_FAILURE_ACTIONS_FLAG_FAILED =
    "Failed to apply the service failure actions to stops with an error: ";

// The two executables an install copies into the service root.
struct BundledFiles {
    NativeString daemon;
    NativeString core;
};

struct InstallOptions {
    // Absent: the running executable and "kavo_core.exe" in its directory,
    // which is what an install from the command line uses. Tests name files
    // of their own.
    std::optional<BundledFiles> bundled;
    ServicePolling polling;
};

// An install's outcome with the text of the step that ended it (empty when
// installed). The installer reports only the outcome.
struct InstallResult {
    InstallOutcome outcome = InstallOutcome::Failed;
    std::string error;
};

// Installs and starts the service. Before this returns, the identity source
// file (`config.identity_file`) is deleted, whatever happened, when it is
// still the file the identity was read from and not the installed identity.
InstallOutcome install_service(ServiceConfig config, const InstallOptions& options = {});

// install_service, keeping the text of the failure for whoever wants it.
InstallResult attempt_install(ServiceConfig config, const InstallOptions& options = {});

// The files of an install, after the previous service has gone: the install
// parent and the service root made the service's own (what somebody else
// made there moved aside), the earlier installation's files removed, and the
// daemon, the core and the identity staged, checked and moved into place as
// the service root. The installed daemon's path.
Result<NativeString, InstallStepFailure> install_service_files(const ServiceConfig& config,
                                                               const InstallOptions& options);

// Registers service_failure_actions() with `service`: the actions, then
// whether they follow a stop with an error. The text of the first refusal,
// after which nothing more is tried.
Result<void> register_failure_actions(const Service& service);

// Fills `staging_dir` with the daemon, the core and the identity, checks
// them, and renames it to `service_root`. The installed daemon's path.
Result<NativeString> stage_service_files(const NativeString& staging_dir,
                                         const NativeString& daemon_source,
                                         const NativeString& core_source,
                                         const ServiceConfig& config,
                                         const NativeString& service_root);

// Copies one executable to `destination` (replacing a file there) and checks
// that the copy holds what the source held. The source is opened once,
// without following a link at its name, and copied and hashed through that
// handle.
Result<void> install_service_file(const NativeString& source, const NativeString& destination);

// Writes the identity, exactly its bytes, to `directory`\"identity" and
// protects the file. The file's path.
Result<NativeString> store_service_identity(const NativeString& directory,
                                            const SecretBytes& identity);

}  // namespace kavo
