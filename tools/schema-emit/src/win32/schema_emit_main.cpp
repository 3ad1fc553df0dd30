// The wide entry point keeps arguments in the system's UTF-16 form (unpaired
// surrogates included), so every path the caller can name is written to as given.
#include <filesystem>
#include <iostream>
#include <string_view>
#include <vector>

#define WIN32_LEAN_AND_MEAN
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include "cli.h"

namespace {

constexpr std::string_view LIBRARY_SEARCH_FAILED =
    "schema-emit: cannot keep library loading to the system directory (os error ";

}  // namespace

int wmain(int argc, wchar_t** argv) {
    // Every later load of a library by bare name searches the system
    // directory only, never this program's folder or the working directory.
    if (!::SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32)) {
        std::cerr << LIBRARY_SEARCH_FAILED << ::GetLastError() << ")\n";
        return kavo::schema::EXIT_FAILED;
    }
    std::vector<std::filesystem::path> arguments;
    for (int i = 1; i < argc; ++i) {
        arguments.emplace_back(argv[i]);
    }
    return kavo::schema::run_schema_emit(arguments, std::cerr);
}
