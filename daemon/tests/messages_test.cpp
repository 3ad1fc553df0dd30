// The daemon's fixed texts and figures, as clients, operators and the event
// log see them: a change of any of them is a change of behaviour.
#include <gtest/gtest.h>

#include <chrono>
#include <string_view>

#include "core/core_log_file.h"
#include "core/protected_dirs.h"
#include "core/runtime_staging.h"
#include "core/supervisor.h"
#include "host/pipe_server.h"
#include "install/service_install.h"
#include "install/service_removal.h"
#include "ipc/lease_answers.h"

namespace kavo {
namespace {

#define KAVO_TEXT(name, text) \
    { #name, name, text }

TEST(MessagesTest, AreExact) {
    const struct {
        const char* name;
        std::string_view actual;
        std::string_view expected;
    } texts[] = {
        // Starting and stopping the core.
        KAVO_TEXT(RESOLVE_SERVICE_PATH_FAILED, "Failed to resolve service path: "),
        KAVO_TEXT(RESOLVE_SERVICE_DIRECTORY_FAILED, "Failed to resolve service directory"),
        KAVO_TEXT(CORE_BINARY_UNAVAILABLE, "Bundled core binary is unavailable"),
        KAVO_TEXT(CREATE_CORE_JOB_FAILED, "Failed to create the core process job"),
        KAVO_TEXT(BIND_CORE_LIFECYCLE_FAILED, "Failed to bind the core process lifecycle"),
        KAVO_TEXT(INSPECT_CORE_FAILED, "Failed to inspect core: "),
        KAVO_TEXT(INSPECT_EXISTING_CORE_FAILED, "Failed to inspect existing core: "),
        KAVO_TEXT(CREATE_CORE_DIRECTORY_FAILED, "Failed to create core directory: "),
        KAVO_TEXT(START_BUNDLED_CORE_FAILED, "Failed to start bundled core: "),
        KAVO_TEXT(CORE_EXITED_DURING_STARTUP, "Bundled core exited during startup with status "),
        KAVO_TEXT(INSPECT_STARTING_CORE_FAILED, "Failed to inspect bundled core during startup: "),
        KAVO_TEXT(STOP_EXPIRED_CORE_FAILED, "Failed to stop the expired core"),
        KAVO_TEXT(DEFERRED_RUNTIME_CLEANUP,
                  "Deferred cleanup of an KAVO protected runtime directory"),
        // The answers to requests.
        KAVO_TEXT(EXPIRED_LEASE_NOT_RECLAIMED, "The expired service lease could not be reclaimed"),
        KAVO_TEXT(EXPIRED_LEASE_STILL_RECLAIMING,
                  "The expired service lease is still being reclaimed"),
        KAVO_TEXT(LEASE_OWNED_BY_ANOTHER_CLIENT, "Another client already owns the service lease"),
        KAVO_TEXT(LEASE_STILL_RECLAIMING, "The service lease is still being reclaimed"),
        KAVO_TEXT(LEASE_NO_LONGER_VALID, "The service lease is no longer valid"),
        KAVO_TEXT(LEASE_NOT_RELEASED_SAFELY, "The service lease could not be released safely"),
        KAVO_TEXT(START_NEEDS_ACTIVE_LEASE,
                  "An active service lease is required to start the core"),
        KAVO_TEXT(STOP_NEEDS_ACTIVE_LEASE, "An active service lease is required to stop the core"),
        KAVO_TEXT(CORE_NOT_STOPPED_SAFELY, "The core could not be stopped safely"),
        // Staging the runtime.
        KAVO_TEXT(INVALID_RUNTIME_LEASE_ID, "Invalid runtime lease identifier"),
        KAVO_TEXT(PREPARE_RUNTIME_ROOT_FAILED, "Failed to prepare protected runtime root: "),
        KAVO_TEXT(PREPARE_RUNTIME_FAILED, "Failed to prepare protected runtime: "),
        KAVO_TEXT(RUNTIME_CONFIGURATION_UNAVAILABLE, "Runtime configuration is unavailable"),
        KAVO_TEXT(INSPECT_RUNTIME_SOURCE_FAILED, "Failed to inspect runtime source: "),
        KAVO_TEXT(UNSUPPORTED_RUNTIME_SOURCE, "Runtime source contains an unsupported file type"),
        KAVO_TEXT(READ_RUNTIME_FAILED, "Failed to read protected runtime: "),
        KAVO_TEXT(STAGE_RUNTIME_FAILED, "Failed to stage protected runtime: "),
        KAVO_TEXT(VALIDATE_RUNTIME_FAILED, "Failed to validate protected runtime"),
        KAVO_TEXT(ACTIVATE_RUNTIME_FAILED, "Failed to activate protected runtime: "),
        // Installing.
        KAVO_TEXT(RESOLVE_SERVICE_BINARY_FAILED, "Failed to resolve service binary: "),
        KAVO_TEXT(RESOLVE_SERVICE_BINARY_DIRECTORY_FAILED,
                  "Failed to resolve service binary directory"),
        KAVO_TEXT(BUNDLED_DAEMON_UNAVAILABLE, "Bundled service daemon is unavailable"),
        KAVO_TEXT(RESOLVE_INSTALL_PARENT_FAILED, "Failed to resolve service install parent"),
        KAVO_TEXT(CREATE_INSTALL_PARENT_FAILED, "Failed to create service install parent: "),
        KAVO_TEXT(CREATE_SERVICE_STAGING_FAILED,
                  "Failed to create protected service staging directory: "),
        KAVO_TEXT(INSTALLED_CORE_HASH_MISMATCH,
                  "Installed core hash does not match the requested service configuration"),
        KAVO_TEXT(ACTIVATE_SERVICE_DIRECTORY_FAILED,
                  "Failed to activate protected service directory: "),
        KAVO_TEXT(INSTALL_SERVICE_FILE_FAILED, "Failed to install service file: "),
        KAVO_TEXT(VALIDATE_SERVICE_FILE_FAILED, "Failed to validate installed service file"),
        KAVO_TEXT(STORE_SERVICE_IDENTITY_FAILED, "Failed to store service identity: "),
        // Removing.
        KAVO_TEXT(INSPECT_PROTECTED_SERVICE_FILES_FAILED,
                  "Failed to inspect protected service files: "),
        KAVO_TEXT(INVALID_PROTECTED_SERVICE_PATH,
                  "Refusing to remove an invalid protected service path"),
        KAVO_TEXT(REMOVE_PROTECTED_SERVICE_FILES_FAILED,
                  "Failed to remove protected service files: "),
        KAVO_TEXT(DEFERRED_SERVICE_STAGING_CLEANUP,
                  "Deferred cleanup of an KAVO service staging directory"),
        // Serving the pipe.
        KAVO_TEXT(VALIDATE_BUNDLED_CORE_FAILED, "Failed to validate bundled core: "),
        KAVO_TEXT(READ_BUNDLED_CORE_FAILED, "Failed to read bundled core: "),
        KAVO_TEXT(BUNDLED_CORE_HASH_MISMATCH,
                  "Bundled core hash does not match the installed service configuration"),
        KAVO_TEXT(RECLAIM_EXPIRED_LEASE_FAILED, "Failed to reclaim expired KAVO service lease: "),
        KAVO_TEXT(CREATE_PIPE_FAILED, "Failed to create KAVO service IPC pipe: "),
        KAVO_TEXT(ACCEPT_PIPE_FAILED, "Failed to accept KAVO service IPC pipe: "),
        KAVO_TEXT(SHUTDOWN_STOP_FAILED,
                  "Failed to stop the KAVO managed core during service shutdown"),
        // Protecting the service's folders.
        KAVO_TEXT(PROGRAM_DATA_UNAVAILABLE, "ProgramData is unavailable"),
        KAVO_TEXT(PROGRAM_DATA_NOT_ABSOLUTE, "ProgramData must be an absolute path"),
        KAVO_TEXT(PREPARE_PERMISSIONS_FAILED, "Failed to prepare service file permissions"),
        KAVO_TEXT(PROTECT_FAILED, "Failed to protect service files"),
        KAVO_TEXT(INSPECT_SERVICE_FILES_FAILED, "Failed to inspect service files"),
        KAVO_TEXT(LINKED_SERVICE_PATH, "Refusing to protect a linked service path"),
        KAVO_TEXT(RESOLVE_RUNTIME_ROOT_FAILED, "Failed to resolve the KAVO protected runtime root"),
        KAVO_TEXT(INSPECT_RUNTIME_ROOT_FAILED, "Failed to inspect the KAVO protected runtime root"),
        KAVO_TEXT(INVALID_RUNTIME_ENTRY,
                  "Refusing to remove an invalid KAVO protected runtime entry"),
        KAVO_TEXT(REMOVE_RUNTIME_DIR_FAILED,
                  "Failed to remove an KAVO protected runtime directory"),
        // The core log.
        KAVO_TEXT(CORE_LOG_PRUNE_FAILED, "Failed to prune core log: "),
        KAVO_TEXT(CORE_LOG_ROTATE_FAILED, "Failed to rotate core log: "),
        KAVO_TEXT(CORE_LOG_OPEN_FAILED, "Failed to open core log: "),
        KAVO_TEXT(CORE_LOG_WRITE_FAILED, "Failed to write core log: "),
        KAVO_TEXT(CORE_LOG_UNAVAILABLE, "Core log is unavailable"),
    };
    for (const auto& t : texts) {
        EXPECT_EQ(t.actual, t.expected) << t.name;
    }
    EXPECT_EQ(core_log_banner(1765432100123), "\n--- KAVO core start 1765432100123 ---");
    EXPECT_EQ(STARTUP_GRACE, std::chrono::milliseconds(750));
    EXPECT_EQ(LEASE_DURATION, std::chrono::seconds(30));
    EXPECT_EQ(SERVICE_POLL_LIMIT, 50);
    EXPECT_EQ(SERVICE_POLL_INTERVAL, std::chrono::milliseconds(100));
}

#undef KAVO_TEXT

}  // namespace
}  // namespace kavo
