// The event log: the registration of an event source (the Windows registry
// under Wine; unavailable on the Linux backend), the installer's best-effort
// handling of it, and the child that event-log-trace.sh runs to see the
// daemon's lines reach Wine's trace of the event log calls.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/supervisor.h"
#include "host/pipe_server.h"
#include "host/service_lifecycle.h"
#include "install/event_log_source.h"
#include "install/service_registration.h"
#include "ipc/protocol_id.h"
#include "platform/diagnostics.h"
#include "platform/event_log.h"
#include "platform/utf.h"
#include "program/diagnostic_events.h"
#include "test_child.h"
#include "test_support.h"

namespace kavo {
namespace {

// A source of this test's own, so that it never meets the installed
// service's or another run's.
NativeString test_source_name() {
    const auto id = new_protocol_id();
    return utf8_to_native("kavo-test-" + (id ? *id : std::string("fixed")));
}

#if defined(_WIN32)

TEST(EventLogTest, ASourceIsRegisteredReadBackOverwrittenAndRemoved) {
    const NativeString source = test_source_name();
    const auto before = read_event_source(source);
    ASSERT_TRUE(before) << before.error().text;
    EXPECT_FALSE(*before);

    const EventSourceRegistration cases[] = {
        {KAVO_NATIVE("C:\\ProgramData\\KAVO\\Service\\kavo-daemon.exe"), SERVICE_EVENT_TYPES},
        // Written again over the first: a path with a space, a non-ASCII
        // letter and a percent sign, which stays as it is (never expanded).
        {KAVO_NATIVE("C:\\Pro gram\\Ünïcode %ProgramData%\\kavo-daemon.exe"), 7},
    };
    for (const auto& registration : cases) {
        const auto registered = register_event_source(source, registration);
        ASSERT_TRUE(registered) << registered.error().text;
        const auto read = read_event_source(source);
        ASSERT_TRUE(read) << read.error().text;
        ASSERT_TRUE(*read);
        EXPECT_EQ(**read, registration);
    }

    for (int round = 0; round < 2; ++round) {
        // Removing what is not there is no failure.
        const auto removed = remove_event_source(source);
        ASSERT_TRUE(removed) << removed.error().text;
        const auto after = read_event_source(source);
        ASSERT_TRUE(after) << after.error().text;
        EXPECT_FALSE(*after) << round;
    }
}

#else

TEST(EventLogTest, WithoutWindowsEveryCallSaysTheEventLogIsUnavailable) {
    const NativeString source = test_source_name();
    const OsError errors[] = {
        register_event_source(source, service_event_source("/kavo-daemon")).error(),
        remove_event_source(source).error(),
        read_event_source(source).error(),
    };
    for (const auto& error : errors) {
        EXPECT_TRUE(error.text.starts_with(EVENT_LOG_UNAVAILABLE)) << error.text;
    }
}

using testing::captured_stderr;

// The installer and the uninstaller go on whatever the event log does: a
// refusal is one line, which says what could not be done and why.
TEST(ServiceEventSourceTest, ARefusedRegistrationOrRemovalIsOneLine) {
    const std::string why = register_event_source(SERVICE_NAME, {}).error().text;
    EXPECT_EQ(captured_stderr([] { register_service_event_source("/kavo-daemon"); }),
              std::string(REGISTER_EVENT_SOURCE_FAILED) + why + "\n");
    EXPECT_EQ(captured_stderr([] { remove_service_event_source(); }),
              std::string(REMOVE_EVENT_SOURCE_FAILED) + why + "\n");
}

#endif

// A line as Wine's trace writes a wide string (debugstr_w): in L"…", with
// quotes and backslashes escaped and anything outside printable ASCII as
// four hexadecimal digits.
std::string wine_debug_string(std::string_view line) {
    std::string text = "L\"";
    for (const char16_t unit : utf8_to_utf16_lossy(line)) {
        if (unit == u'"' || unit == u'\\') {
            text += '\\';
            text += static_cast<char>(unit);
        } else if (unit >= 0x20 && unit < 0x7f) {
            text += static_cast<char>(unit);
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\%04x", static_cast<unsigned>(unit));
            text += escaped;
        }
    }
    return text + "\"";
}

// Run by event-log-trace.sh with WINEDEBUG=err+eventlog,warn+eventlog:
// switches the event log on as kavo-daemon does, writes some of the
// daemon's lines, and prints each on standard output ("line …") with the
// line that Wine's trace must show for it ("trace …"): errors on the err
// channel, warnings on the warn channel, the text exactly the line.
KAVO_TEST_CHILD_ROLE(event_log_lines) {
    report_error_lines_to_event_log(EVENT_SOURCE_NAME, diagnostic_severity);
    const struct {
        std::string line;
        const char* channel;
    } lines[] = {
        {service_failure_line(), "err"},
        {std::string(CREATE_PIPE_FAILED) + "Zugriff für \"C:\\Pipe\" verweigert. (os error 5)",
         "err"},
        {std::string(DEFERRED_RUNTIME_CLEANUP), "warn"},
        {std::string(BUNDLED_CORE_HASH_MISMATCH), "err"},
    };
    for (const auto& entry : lines) {
        write_error_line(entry.line);
        write_output_line("line " + entry.line);
        write_output_line("trace " + std::string(entry.channel) + ":eventlog:ReportEventW " +
                          wine_debug_string(entry.line));
    }
    return 0;
}

// Run by service-event-log-trace.sh: the line the installed service writes
// when it cannot start, which Wine's trace must show as an error event.
KAVO_TEST_CHILD_ROLE(service_failure_line) {
    write_output_line(service_failure_line());
    return 0;
}

}  // namespace
}  // namespace kavo
