// Installation, pure: what the service is registered as and with, the names
// of the installed files, of the install staging directories and of files
// set aside, and how the installer's outcome follows from the manager's
// answers.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/native_string.h"
#include "platform/service_parameters.h"

namespace kavo {

inline constexpr NativeView SERVICE_NAME = KAVO_NATIVE("kavo-service");
inline constexpr NativeView SERVICE_DISPLAY_NAME = KAVO_NATIVE("KAVO Core Service");
inline constexpr NativeView SERVICE_DESCRIPTION_TEXT =
    KAVO_NATIVE("Provides the privileged KAVO core runtime.");
// The service's diagnostic lines are in the Application event log under its
// own name.
inline constexpr NativeView EVENT_SOURCE_NAME = SERVICE_NAME;

// The files of the service root.
inline constexpr NativeView INSTALLED_DAEMON_NAME = KAVO_NATIVE("kavo-daemon.exe");
inline constexpr NativeView INSTALLED_CORE_NAME = KAVO_NATIVE("kavo_core.exe");
inline constexpr NativeView IDENTITY_FILE_NAME = KAVO_NATIVE("identity");
// The core that is installed lies beside the installing executable.
inline constexpr NativeView BUNDLED_CORE_NAME = KAVO_NATIVE("kavo_core.exe");

// Install staging directories: siblings of the service root named
// "Service.staging-" and 32 hexadecimal digits.
inline constexpr std::string_view SERVICE_STAGING_PREFIX = "Service.staging-";
inline constexpr std::size_t SERVICE_STAGING_NAME_LEN = 48;

// Exactly 48 bytes: the prefix, then 32 hexadecimal digits of either case.
bool is_service_staging_name(std::string_view name);
// The prefix and `id` (the installer passes 32 lowercase digits).
std::string service_staging_name(std::string_view id);

// Files of the installation's own that a removal has to set aside (the image
// of an uninstaller run from the installed copy, which Windows will not
// delete while it runs) wait in the install parent under their own name, this
// infix and 32 lowercase hexadecimal digits, until they can be deleted.
inline constexpr std::string_view SET_ASIDE_INFIX = ".removed-";

// `name`, the infix and `id` (32 lowercase digits).
std::string set_aside_name(std::string_view name, std::string_view id);
// A name of at least one byte, the infix, then exactly 32 lowercase
// hexadecimal digits.
bool is_set_aside_name(std::string_view name);

// One argument of the service command line, as the Windows argument parser
// reads it back: unchanged unless it is empty or holds a TAB, LF, VT, space
// or double quote; otherwise in double quotes, with every run of backslashes
// that comes before a double quote (or before the closing one) doubled and
// the double quote escaped.
NativeString quote_service_argument(NativeView text);

// The command line the manager starts the service with: the installed daemon
// and the three configuration options, each part quoted as above.
NativeString service_command_line(NativeView installed_daemon, NativeView core_dir,
                                  NativeView identity_file, std::string_view expected_core_sha256);

// The registration of "kavo-service" with `command_line`: an automatically
// started service of its own process, running as LocalSystem.
ServiceRegistration service_registration(NativeString command_line);

// What the manager does when the service fails, registered at install: a
// restart after 5 s, then after 30 s, then after 120 s; from the fourth
// failure on nothing, so a service that cannot start does not restart for
// ever. The count starts again after a day without a failure. A stop that
// reports a non-zero exit code counts as a failure, like a process that
// ended without reporting stopped.
ServiceFailureActions service_failure_actions();

// How an install ends; each value is the installer's exit status.
enum class InstallOutcome : int {
    Installed = 0,
    Failed = 1,
    // Another installation is in the way, or the manager refused the caller.
    Blocked = 2,
};

// The outcome when the manager refuses to create the service with `code`:
// a service of that name still there or still being deleted blocks the
// install, every other refusal fails it.
InstallOutcome outcome_of_create_failure(std::uint32_t code);

// A state the manager may report for a service: stopped (1) to paused (7).
bool is_service_state(std::uint32_t state);

}  // namespace kavo
