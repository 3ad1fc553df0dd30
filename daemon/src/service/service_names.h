// What the service is called and where its files are: the names every part
// of kavo-daemon and kavo-ctl agree on (the tree is in core/protected_dirs.h).
#pragma once

#include <string_view>

#include "platform/native_string.h"

namespace kavo {

inline constexpr NativeView SERVICE_NAME = KAVO_NATIVE("kavo-service");
inline constexpr NativeView SERVICE_DISPLAY_NAME = KAVO_NATIVE("KAVO Core Service");
inline constexpr NativeView SERVICE_DESCRIPTION_TEXT =
    KAVO_NATIVE("Provides the privileged KAVO core runtime.");
// The service's diagnostic lines are in the Application event log under its
// own name.
inline constexpr NativeView EVENT_SOURCE_NAME = SERVICE_NAME;

inline constexpr std::string_view PROGRAM_DATA_VARIABLE = "ProgramData";
inline constexpr NativeView INSTALL_PARENT_NAME = KAVO_NATIVE("KAVO");
inline constexpr NativeView SERVICE_ROOT_NAME = KAVO_NATIVE("Service");
inline constexpr NativeView RUNTIME_ROOT_NAME = KAVO_NATIVE("Runtime");

// The files of the service root.
inline constexpr NativeView INSTALLED_DAEMON_NAME = KAVO_NATIVE("kavo-daemon.exe");
inline constexpr NativeView IDENTITY_FILE_NAME = KAVO_NATIVE("identity");
// The core's file name, beside the daemon wherever the daemon runs from:
// "kavo_core.exe" on Windows, "kavo_core" on the Linux backend.
inline constexpr NativeView CORE_EXECUTABLE_NAME = KAVO_EXECUTABLE_NAME("kavo_core");

}  // namespace kavo
