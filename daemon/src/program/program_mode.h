// Service host, pure: which of its three modes kavo-daemon runs in, and the
// exit status each outcome ends the process with.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "install/install_outcome.h"
#include "platform/native_string.h"

namespace kavo {

inline constexpr std::string_view INSTALL_SERVICE_FLAG = "--install-service";
inline constexpr std::string_view UNINSTALL_SERVICE_FLAG = "--uninstall-service";

inline constexpr std::string_view PROGRAM_ERROR_PREFIX = "Error: ";
inline constexpr std::string_view DISPATCHER_START_FAILED =
    "failed to start the service dispatcher: ";
inline constexpr std::string_view LIBRARY_SEARCH_FAILED =
    "failed to keep library loading to the system directory: ";

enum class ProgramMode {
    install,
    uninstall,
    service,
};

inline constexpr int EXIT_SUCCEEDED = 0;
inline constexpr int EXIT_FAILED = 1;

namespace program_mode_detail {

template <class Char>
bool holds_flag(std::span<const std::basic_string<Char>> arguments, std::string_view flag) {
    for (const auto& argument : arguments) {
        if (equals_ascii(std::basic_string_view<Char>(argument), flag)) {
            return true;
        }
    }
    return false;
}

}  // namespace program_mode_detail

// The mode for the whole argument list (program path first): install when
// any argument is exactly "--install-service", otherwise uninstall when any
// is exactly "--uninstall-service", otherwise the service. Whole arguments,
// compared case for case.
template <class Char>
ProgramMode select_program_mode(std::span<const std::basic_string<Char>> arguments) {
    if (program_mode_detail::holds_flag(arguments, INSTALL_SERVICE_FLAG)) {
        return ProgramMode::install;
    }
    if (program_mode_detail::holds_flag(arguments, UNINSTALL_SERVICE_FLAG)) {
        return ProgramMode::uninstall;
    }
    return ProgramMode::service;
}

// Install mode: the outcome's own code (installed 0, failed 1, blocked 2).
int install_exit_status(InstallOutcome outcome);
// A configuration that install mode refuses: 1, and nothing is written.
int rejected_configuration_exit_status();
// Removal mode: 0 when removed, 1 otherwise.
int uninstall_exit_status(bool removed);
// Service mode: 0 once the dispatcher has returned, 1 when it never started.
int dispatcher_exit_status(bool started);

// The one line written when the dispatcher cannot be started: "Error: " and
// what failed, with the system's text and code.
std::string dispatcher_failure_line(std::string_view os_error_text);
// The same when library loading cannot be kept to the system directory, which
// the program checks before anything else and which ends it with 1.
std::string library_search_failure_line(std::string_view os_error_text);

}  // namespace kavo
