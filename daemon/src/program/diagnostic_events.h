// Service host, pure: how each diagnostic line of kavo-daemon is filed in the
// Application event log. A line is filed by the message constant it starts
// with: what went wrong ("Failed to …", "Refusing …", "Error: …", "KAVO
// service failed: …", the core that does not match) is an error; a cleanup
// put off to a later sweep ("Deferred cleanup of …") is a warning, and so is
// any line that starts with none of them.
#pragma once

#include <span>
#include <string_view>

#include "platform/diagnostics.h"

namespace kavo {

struct DiagnosticEventRule {
    // The message constant a line starts with (the whole line, or the part
    // before a message or a system error text).
    std::string_view head;
    DiagnosticSeverity severity = DiagnosticSeverity::warning;
};

// Every line head kavo-daemon writes, with how it is filed.
std::span<const DiagnosticEventRule> diagnostic_event_rules();

// The severity of the rule whose head is the longest start of `line`;
// a warning when none is.
DiagnosticSeverity diagnostic_severity(std::string_view line);

}  // namespace kavo
