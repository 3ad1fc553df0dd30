// Installation, pure: what the service is registered as and with: its
// command line, its registration and its failure actions.
#pragma once

#include <string>
#include <string_view>

#include "platform/native_string.h"
#include "platform/service_parameters.h"
#include "service/service_names.h"

namespace kavo {

// The command line the manager starts the service with: the installed daemon
// and the three configuration options, each part quoted as the Windows
// argument parser reads it back (append_quoted_argument).
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

}  // namespace kavo
