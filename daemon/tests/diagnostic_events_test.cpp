// How kavo-daemon's diagnostic lines are filed in the event log: every line
// as the code writes it, with the severity an administrator filtering the
// Application log for errors must see it under.
#include <gtest/gtest.h>

#include <string>

#include "core/protected_dirs.h"
#include "core/supervisor.h"
#include "host/pipe_server.h"
#include "host/service_lifecycle.h"
#include "install/event_log_source.h"
#include "install/service_install.h"
#include "install/service_removal.h"
#include "platform/service_manager.h"
#include "program/diagnostic_events.h"
#include "program/program_mode.h"

namespace kavo {
namespace {

using enum DiagnosticSeverity;

const std::string OS_TEXT = "Access is denied. (os error 5)";

std::string with(std::string_view head, std::string_view rest) {
    return std::string(head) + std::string(rest);
}

TEST(DiagnosticEventsTest, EveryLineTheDaemonWritesIsFiledByItsHead) {
    struct Case {
        std::string line;
        DiagnosticSeverity severity;
    } cases[] = {
        {dispatcher_failure_line("The service process could not connect. (os error 1063)"), error},
        {library_search_failure_line("The parameter is incorrect. (os error 87)"), error},
        {std::string(SERVICE_MANAGER_UNAVAILABLE), error},
        {service_failure_line(), error},
        {with(SERVICE_FAILED_PREFIX, IDENTITY_UNREADABLE), error},
        {with(VALIDATE_BUNDLED_CORE_FAILED, CORE_BINARY_UNAVAILABLE), error},
        {with(VALIDATE_BUNDLED_CORE_FAILED, with(READ_BUNDLED_CORE_FAILED, OS_TEXT)), error},
        {std::string(BUNDLED_CORE_HASH_MISMATCH), error},
        {with(CREATE_PIPE_FAILED, OS_TEXT), error},
        {with(ACCEPT_PIPE_FAILED, OS_TEXT), error},
        {with(RECLAIM_EXPIRED_LEASE_FAILED, STOP_EXPIRED_CORE_FAILED), error},
        {std::string(SHUTDOWN_STOP_FAILED), error},
        {std::string(RESOLVE_RUNTIME_ROOT_FAILED), error},
        {std::string(INSPECT_RUNTIME_ROOT_FAILED), error},
        {std::string(INVALID_RUNTIME_ENTRY), error},
        {std::string(REMOVE_RUNTIME_DIR_FAILED), error},
        {with(SET_FAILURE_ACTIONS_FAILED, OS_TEXT), error},
        {with(SET_FAILURE_ACTIONS_FLAG_FAILED, "Invalid level. (os error 124)"), error},
        {with(REGISTER_EVENT_SOURCE_FAILED, OS_TEXT), error},
        {with(REMOVE_EVENT_SOURCE_FAILED, OS_TEXT), error},
        {std::string(DEFERRED_RUNTIME_CLEANUP), warning},
        {std::string(DEFERRED_SERVICE_STAGING_CLEANUP), warning},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(diagnostic_severity(c.line), c.severity) << c.line;
    }
}

// Only the start of a line counts: a head quoted inside a message, or a
// line of nobody's constant, is a warning.
TEST(DiagnosticEventsTest, LinesThatStartWithNoHeadAreWarnings) {
    const std::string lines[] = {
        "",
        "a line of no constant",
        "failed to create KAVO service IPC pipe: " + OS_TEXT,
        " " + std::string(SERVICE_FAILED_PREFIX),
        "Staging: " + std::string(BUNDLED_CORE_HASH_MISMATCH),
        std::string(SERVICE_FAILED_PREFIX).substr(0, SERVICE_FAILED_PREFIX.size() - 1),
        "error: " + OS_TEXT,
    };
    for (const auto& line : lines) {
        EXPECT_EQ(diagnostic_severity(line), warning) << line;
    }
}

// The rule administrators are told: a cleanup put off to the next sweep is a
// warning, every other line of the daemon an error. A constant added to the
// table against it fails here.
TEST(DiagnosticEventsTest, OnlyDeferredCleanupsAreWarnings) {
    ASSERT_FALSE(diagnostic_event_rules().empty());
    for (const auto& rule : diagnostic_event_rules()) {
        const bool deferred = rule.head.starts_with("Deferred cleanup of ");
        EXPECT_EQ(rule.severity, deferred ? warning : error) << rule.head;
        EXPECT_EQ(diagnostic_severity(rule.head), rule.severity) << rule.head;
    }
}

}  // namespace
}  // namespace kavo
