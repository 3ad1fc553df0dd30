// The wide entry point keeps arguments in the system's UTF-16 form (unpaired
// surrogates included), so every path the caller can name is written to as given.
#include <filesystem>
#include <iostream>
#include <vector>

#include "cli.h"

int wmain(int argc, wchar_t** argv) {
    std::vector<std::filesystem::path> arguments;
    for (int i = 1; i < argc; ++i) {
        arguments.emplace_back(argv[i]);
    }
    return kavo::schema::run_schema_emit(arguments, std::cerr);
}
