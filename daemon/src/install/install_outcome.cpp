#include "install/install_outcome.h"

#include "platform/service_parameters.h"

namespace kavo {

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
