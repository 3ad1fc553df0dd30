// Writing one whole file through the operating system, so that a failure
// carries the system's own error code and no newline translation happens.
#pragma once

#include <filesystem>
#include <string_view>
#include <system_error>

namespace kavo::schema {

// Creates the file or truncates an existing one, then writes all of bytes.
// Returns an empty error code on success, a system_category code otherwise.
[[nodiscard]] std::error_code replace_file_contents(const std::filesystem::path& path,
                                                    std::string_view bytes);

}  // namespace kavo::schema
