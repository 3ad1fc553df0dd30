// Writing the rendered bindings to their file.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>

namespace kavo::schema {

// Where the client's build runs the tool from: its own tool directory beside src/.
inline constexpr std::string_view DEFAULT_OUTPUT_PATH = "../src/types/generated/ipc.ts";
inline constexpr std::string_view EXPORT_FAILURE_PREFIX = "Failed to export IPC bindings: ";

// Creates the missing directories of the path's directory part (a bare file
// name creates none), renders the bindings and writes them, replacing an
// existing file. A directory created before a failed write is left in place.
[[nodiscard]] std::error_code write_bindings_file(const std::filesystem::path& path);

// The one line written to standard error when the export fails. Trailing line
// ends of the system text are dropped so that the message stays one line.
std::string export_failure_line(std::string_view system_text);

}  // namespace kavo::schema
