// Platform seam: diagnostic lines on the process's standard error. The daemon
// is a GUI-subsystem program, so this writes to the standard error handle it
// was given (usually redirected, or absent), not to a console.
#pragma once

#include <string_view>

namespace kavo {

// Writes `line` and a line feed in one write, so concurrent lines do not
// interleave. Failures are ignored: there is nowhere else to report them.
void write_error_line(std::string_view line);

// The same on standard output, for the console tools.
void write_output_line(std::string_view line);

}  // namespace kavo
