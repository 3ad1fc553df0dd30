#include "bindings_file.h"

#include "ipc_bindings.h"
#include "output_file.h"

namespace kavo::schema {

std::error_code write_bindings_file(const std::filesystem::path& path) {
    const std::filesystem::path directory = path.parent_path();
    if (!directory.empty()) {
        std::error_code error;
        std::filesystem::create_directories(directory, error);
        if (error) {
            return error;
        }
    }
    return replace_file_contents(path, render_bindings());
}

std::string export_failure_line(std::string_view system_text) {
    while (!system_text.empty() && (system_text.back() == '\n' || system_text.back() == '\r' ||
                                    system_text.back() == ' ')) {
        system_text.remove_suffix(1);
    }
    std::string line(EXPORT_FAILURE_PREFIX);
    line += system_text;
    line += '\n';
    return line;
}

}  // namespace kavo::schema
