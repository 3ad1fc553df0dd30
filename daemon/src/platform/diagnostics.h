// Platform seam: diagnostic lines on the process's standard error. The daemon
// is a GUI-subsystem program, so this writes to the standard error handle it
// was given (usually redirected, or absent), not to a console. A service has
// no standard error worth the name, so the daemon also files every line in
// the system's event log.
#pragma once

#include <string_view>

#include "platform/native_string.h"

namespace kavo {

// Writes `line` and a line feed in one write, so concurrent lines do not
// interleave. Failures are ignored: there is nowhere else to report them.
// Once the event log is switched on, the line also goes there.
void write_error_line(std::string_view line);

// The same on standard output, for the console tools.
void write_output_line(std::string_view line);

// How a diagnostic line is filed in the event log.
enum class DiagnosticSeverity {
    error,
    warning,
};

// Decides the severity of one line; must be pure, it runs on every line.
using DiagnosticSeverityOf = DiagnosticSeverity (*)(std::string_view line);

// From now on, every line written with write_error_line also goes to the
// Windows Application event log under the event source `source`, as an error
// or a warning as `severity_of` says, the event's text exactly the line.
// The source is opened at the first line, once per process; when the log
// cannot be opened or refuses a line, the line is on standard error only.
// The Linux backend has no event log and keeps standard error only.
void report_error_lines_to_event_log(NativeView source, DiagnosticSeverityOf severity_of);

}  // namespace kavo
