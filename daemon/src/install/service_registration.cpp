#include "install/service_registration.h"

#include <algorithm>

#include "host/service_config.h"
#include "platform/hex.h"

namespace kavo {

bool is_service_staging_name(std::string_view name) {
    if (name.size() != SERVICE_STAGING_NAME_LEN || !name.starts_with(SERVICE_STAGING_PREFIX)) {
        return false;
    }
    const std::string_view digits = name.substr(SERVICE_STAGING_PREFIX.size());
    return std::all_of(digits.begin(), digits.end(), is_hex_digit);
}

std::string service_staging_name(std::string_view id) {
    std::string name(SERVICE_STAGING_PREFIX);
    name.append(id);
    return name;
}

std::string set_aside_name(std::string_view name, std::string_view id) {
    std::string aside(name);
    aside.append(SET_ASIDE_INFIX);
    aside.append(id);
    return aside;
}

bool is_set_aside_name(std::string_view name) {
    constexpr std::size_t DIGITS = 32;
    if (name.size() < 1 + SET_ASIDE_INFIX.size() + DIGITS) {
        return false;
    }
    const std::string_view digits = name.substr(name.size() - DIGITS);
    const std::string_view infix =
        name.substr(name.size() - DIGITS - SET_ASIDE_INFIX.size(), SET_ASIDE_INFIX.size());
    return infix == SET_ASIDE_INFIX && std::all_of(digits.begin(), digits.end(), [](char c) {
               return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
           });
}

namespace {

bool needs_quotes(NativeView text) {
    return text.empty() || text.find_first_of(KAVO_NATIVE("\t\n\v \"")) != NativeView::npos;
}

// The option names and the hash are ASCII.
NativeString from_ascii(std::string_view text) {
    return NativeString(text.begin(), text.end());
}

}  // namespace

NativeString quote_service_argument(NativeView text) {
    if (!needs_quotes(text)) {
        return NativeString(text);
    }
    NativeString quoted;
    quoted.push_back(NativeChar('"'));
    std::size_t backslashes = 0;
    for (const NativeChar c : text) {
        if (c == NativeChar('\\')) {
            ++backslashes;
            continue;
        }
        if (c == NativeChar('"')) {
            quoted.append(backslashes * 2 + 1, NativeChar('\\'));
        } else {
            quoted.append(backslashes, NativeChar('\\'));
        }
        backslashes = 0;
        quoted.push_back(c);
    }
    // The closing quote makes a trailing run count double.
    quoted.append(backslashes * 2, NativeChar('\\'));
    quoted.push_back(NativeChar('"'));
    return quoted;
}

NativeString service_command_line(NativeView installed_daemon, NativeView core_dir,
                                  NativeView identity_file, std::string_view expected_core_sha256) {
    const NativeString core_dir_option = from_ascii(CORE_DIR_OPTION);
    const NativeString identity_option = from_ascii(IDENTITY_FILE_OPTION);
    const NativeString hash_option = from_ascii(EXPECTED_CORE_SHA256_OPTION);
    const NativeString hash = from_ascii(expected_core_sha256);
    const NativeView arguments[] = {core_dir_option, core_dir,    identity_option,
                                    identity_file,   hash_option, hash};
    NativeString line = quote_service_argument(installed_daemon);
    for (const NativeView argument : arguments) {
        line.push_back(NativeChar(' '));
        line.append(quote_service_argument(argument));
    }
    return line;
}

ServiceFailureActions service_failure_actions() {
    using Type = ServiceFailureActionType;
    ServiceFailureActions actions;
    actions.reset_period_seconds = 24 * 60 * 60;
    actions.actions = {
        {Type::restart, 5'000},
        {Type::restart, 30'000},
        {Type::restart, 120'000},
        // The last action stands for every later failure.
        {Type::none, 0},
    };
    actions.on_stop_with_error = true;
    return actions;
}

ServiceRegistration service_registration(NativeString command_line) {
    ServiceRegistration registration;
    registration.name = NativeString(SERVICE_NAME);
    registration.display_name = NativeString(SERVICE_DISPLAY_NAME);
    registration.desired_access = SERVICE_ACCESS_ALL;
    registration.service_type = SERVICE_TYPE_OWN_PROCESS;
    registration.start_type = SERVICE_START_AUTOMATIC;
    registration.error_control = SERVICE_ERROR_CONTROL_NORMAL;
    registration.command_line = std::move(command_line);
    return registration;
}

InstallOutcome outcome_of_create_failure(std::uint32_t code) {
    switch (code) {
        case SCM_ERROR_SERVICE_MARKED_FOR_DELETE:
        case SCM_ERROR_SERVICE_EXISTS:
        case SCM_ERROR_DUPLICATE_SERVICE_NAME:
            return InstallOutcome::Blocked;
        default:
            return InstallOutcome::Failed;
    }
}

bool is_service_state(std::uint32_t state) {
    return state >= SERVICE_STATE_STOPPED && state <= SERVICE_STATE_PAUSED;
}

}  // namespace kavo
