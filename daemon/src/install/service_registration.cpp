#include "install/service_registration.h"

#include "platform/command_line.h"
#include "service/service_config.h"

namespace kavo {

namespace {

// The option names and the hash are ASCII.
NativeString from_ascii(std::string_view text) {
    return NativeString(text.begin(), text.end());
}

}  // namespace

NativeString service_command_line(NativeView installed_daemon, NativeView core_dir,
                                  NativeView identity_file, std::string_view expected_core_sha256) {
    const NativeString core_dir_option = from_ascii(CORE_DIR_OPTION);
    const NativeString identity_option = from_ascii(IDENTITY_FILE_OPTION);
    const NativeString hash_option = from_ascii(EXPECTED_CORE_SHA256_OPTION);
    const NativeString hash = from_ascii(expected_core_sha256);
    const NativeView arguments[] = {core_dir_option, core_dir,    identity_option,
                                    identity_file,   hash_option, hash};
    NativeString line;
    append_quoted_argument(line, installed_daemon);
    for (const NativeView argument : arguments) {
        line.push_back(NativeChar(' '));
        append_quoted_argument(line, argument);
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

}  // namespace kavo
