#include "host/service_lifecycle.h"

#include "platform/os_error.h"

namespace kavo {

std::string service_failure_line() {
    return std::string(SERVICE_FAILED_PREFIX) + std::string(WINAPI_CALL_FAILED);
}

ServiceStatusRecord running_status_record() {
    ServiceStatusRecord record;
    record.service_type = SERVICE_TYPE_OWN_PROCESS;
    record.current_state = SERVICE_STATE_RUNNING;
    record.controls_accepted = SERVICE_ACCEPTS_STOP;
    return record;
}

ServiceStatusRecord stopped_status_record() {
    ServiceStatusRecord record;
    record.service_type = SERVICE_TYPE_OWN_PROCESS;
    record.current_state = SERVICE_STATE_STOPPED;
    return record;
}

ServiceStatusRecord failed_status_record(ServiceFailure failure) {
    ServiceStatusRecord record = stopped_status_record();
    record.win32_exit_code = SERVICE_EXIT_SPECIFIC_ERROR;
    record.service_specific_exit_code = service_failure_code(failure);
    return record;
}

ControlAnswer answer_control(std::uint32_t control) {
    switch (control) {
        case SERVICE_CONTROL_CODE_STOP:
            return {ControlEffect::send_stop, CONTROL_ANSWER_DONE};
        case SERVICE_CONTROL_CODE_INTERROGATE:
            return {ControlEffect::none, CONTROL_ANSWER_DONE};
        default:
            return {ControlEffect::none, CONTROL_ANSWER_NOT_IMPLEMENTED};
    }
}

}  // namespace kavo
