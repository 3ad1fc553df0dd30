#include "program/diagnostic_events.h"

#include <array>

#include "core/protected_dirs.h"
#include "core/supervisor.h"
#include "host/pipe_server.h"
#include "host/service_lifecycle.h"
#include "install/event_log_source.h"
#include "install/service_install.h"
#include "install/service_removal.h"
#include "platform/service_manager.h"
#include "program/program_mode.h"

namespace kavo {

namespace {

using enum DiagnosticSeverity;

constexpr std::array DIAGNOSTIC_EVENT_RULES{
    // The program could not run in the mode it was started in.
    DiagnosticEventRule{PROGRAM_ERROR_PREFIX, error},
    DiagnosticEventRule{SERVICE_MANAGER_UNAVAILABLE, error},
    // The service ended without serving.
    DiagnosticEventRule{SERVICE_FAILED_PREFIX, error},
    DiagnosticEventRule{VALIDATE_BUNDLED_CORE_FAILED, error},
    DiagnosticEventRule{BUNDLED_CORE_HASH_MISMATCH, error},
    // Serving went wrong: a client may have been turned away, or a core
    // kept running past its lease or the service's stop.
    DiagnosticEventRule{CREATE_PIPE_FAILED, error},
    DiagnosticEventRule{ACCEPT_PIPE_FAILED, error},
    DiagnosticEventRule{RECLAIM_EXPIRED_LEASE_FAILED, error},
    DiagnosticEventRule{SHUTDOWN_STOP_FAILED, error},
    // The runtime sweep could not look at, or refused to touch, what it
    // found: something unexpected sits in the protected tree.
    DiagnosticEventRule{RESOLVE_RUNTIME_ROOT_FAILED, error},
    DiagnosticEventRule{INSPECT_RUNTIME_ROOT_FAILED, error},
    DiagnosticEventRule{INVALID_RUNTIME_ENTRY, error},
    DiagnosticEventRule{REMOVE_RUNTIME_DIR_FAILED, error},
    // The manager will not restart the service after a crash.
    DiagnosticEventRule{SET_FAILURE_ACTIONS_FAILED, error},
    DiagnosticEventRule{SET_FAILURE_ACTIONS_FLAG_FAILED, error},
    // The event source itself: the viewer may not show the texts.
    DiagnosticEventRule{REGISTER_EVENT_SOURCE_FAILED, error},
    DiagnosticEventRule{REMOVE_EVENT_SOURCE_FAILED, error},
    // Left for the next sweep, which removes it.
    DiagnosticEventRule{DEFERRED_RUNTIME_CLEANUP, warning},
    DiagnosticEventRule{DEFERRED_SERVICE_STAGING_CLEANUP, warning},
};

}  // namespace

std::span<const DiagnosticEventRule> diagnostic_event_rules() {
    return DIAGNOSTIC_EVENT_RULES;
}

DiagnosticSeverity diagnostic_severity(std::string_view line) {
    const DiagnosticEventRule* found = nullptr;
    for (const auto& rule : DIAGNOSTIC_EVENT_RULES) {
        if (line.starts_with(rule.head) &&
            (found == nullptr || rule.head.size() > found->head.size())) {
            found = &rule;
        }
    }
    return found != nullptr ? found->severity : warning;
}

}  // namespace kavo
