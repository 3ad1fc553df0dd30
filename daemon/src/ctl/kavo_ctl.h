// kavo-ctl, driven: one authenticated exchange with the service from the
// command line. Reads the identity, opens the pipe (retrying while no
// instance is offered), sends one request and prints the verified response.
#pragma once

#include <span>

#include "ctl/ctl_command.h"
#include "platform/native_string.h"

namespace kavo {

// Carries out a parsed command of one request and says what to print.
CtlReport run_ctl_command(const CtlCommand<NativeChar>& command);

// Runs the session of "run" until SIGINT or SIGTERM, printing as it goes;
// returns the exit status.
int run_ctl_session_command(const CtlCommand<NativeChar>& command);

// The whole program over `arguments` (the program name dropped): parses,
// runs, prints, and returns the exit status.
int run_kavo_ctl(std::span<const NativeString> arguments);

// The same over the process's own command line.
int run_kavo_ctl();

}  // namespace kavo
