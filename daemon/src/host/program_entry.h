// Service host: the program entry of kavo-daemon. On Windows it installs the
// service, removes it, or runs as the service under the dispatcher; on the
// Linux backend, where there is no service manager, it serves in the
// foreground and refuses the two installer flags.
#pragma once

namespace kavo {

// The Windows program: the mode the command line selects, its exit status.
int run_service_program();

// The Linux program: one line saying that installing needs Windows and exit
// 1 for either installer flag, otherwise the foreground service.
int run_foreground_program();

}  // namespace kavo
