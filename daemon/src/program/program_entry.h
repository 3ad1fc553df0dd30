// Service host: the program entry of kavo-daemon. On Windows it installs the
// service, removes it, or runs as the service under the dispatcher; on the
// Linux backend, where there is no service manager, it serves in the
// foreground and refuses the two installer flags.
#pragma once

#include <functional>

#include "platform/native_string.h"
#include "platform/os_error.h"
#include "platform/service_host.h"

namespace kavo {

// Runs `entry` for the one service `name` until the service has stopped:
// run_service_dispatcher(), or a script in tests.
using ServiceDispatcher = std::function<OsResult<void>(NativeView name, const ServiceEntry& entry)>;

// Service mode: the dispatcher with `entry` for "kavo-service". Once the
// dispatcher has returned, and when it started the entry, waits until the
// entry has finished too. 0 then, or 1 after one "Error: " line when the
// dispatcher could not be started.
int run_service_mode(const ServiceDispatcher& dispatch, const ServiceEntry& entry);

// The Windows program: the mode the command line selects, its exit status.
int run_service_program();

// The Linux program: one line saying that installing needs Windows and exit
// 1 for either installer flag, otherwise the foreground service.
int run_foreground_program();

}  // namespace kavo
