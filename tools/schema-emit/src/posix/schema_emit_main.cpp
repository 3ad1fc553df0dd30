// Arguments are taken as the system's own path bytes, so a name that is not
// valid UTF-8 still names the file the caller meant.
#include <filesystem>
#include <iostream>
#include <vector>

#include "cli.h"

int main(int argc, char** argv) {
    std::vector<std::filesystem::path> arguments;
    for (int i = 1; i < argc; ++i) {
        arguments.emplace_back(argv[i]);
    }
    return kavo::schema::run_schema_emit(arguments, std::cerr);
}
