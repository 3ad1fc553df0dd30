// The command line: schema-emit [output path]
#pragma once

#include <filesystem>
#include <ostream>
#include <span>

namespace kavo::schema {

inline constexpr int EXIT_OK = 0;
inline constexpr int EXIT_FAILED = 1;

// arguments excludes the program name. The first one, if any, is the output
// path; further arguments are ignored. Failures are reported on errors.
int run_schema_emit(std::span<const std::filesystem::path> arguments, std::ostream& errors);

}  // namespace kavo::schema
