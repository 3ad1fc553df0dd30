#include "cli.h"

#include "bindings_file.h"

namespace kavo::schema {

int run_schema_emit(std::span<const std::filesystem::path> arguments, std::ostream& errors) {
    const std::filesystem::path output =
        arguments.empty() ? std::filesystem::path(DEFAULT_OUTPUT_PATH) : arguments.front();
    if (const std::error_code error = write_bindings_file(output)) {
        errors << export_failure_line(error.message()) << std::flush;
        return EXIT_FAILED;
    }
    return EXIT_OK;
}

}  // namespace kavo::schema
