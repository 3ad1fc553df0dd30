#include "program/program_mode.h"

namespace kavo {

int install_exit_status(InstallOutcome outcome) {
    return static_cast<int>(outcome);
}

int rejected_configuration_exit_status() {
    return EXIT_FAILED;
}

int uninstall_exit_status(bool removed) {
    return removed ? EXIT_SUCCEEDED : EXIT_FAILED;
}

int dispatcher_exit_status(bool started) {
    return started ? EXIT_SUCCEEDED : EXIT_FAILED;
}

namespace {

std::string program_failure_line(std::string_view what, std::string_view os_error_text) {
    std::string line(PROGRAM_ERROR_PREFIX);
    line += what;
    line += os_error_text;
    return line;
}

}  // namespace

std::string dispatcher_failure_line(std::string_view os_error_text) {
    return program_failure_line(DISPATCHER_START_FAILED, os_error_text);
}

std::string library_search_failure_line(std::string_view os_error_text) {
    return program_failure_line(LIBRARY_SEARCH_FAILED, os_error_text);
}

}  // namespace kavo
