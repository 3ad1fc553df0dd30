// The installed service's event source in the Application event log, read
// back from the registry (Wine's, for the Windows build): the installer
// registers it with the installed daemon as its message file, the
// uninstaller and a failed reinstall leave none.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "install/event_log_source.h"
#include "install/service_registration.h"
#include "platform/event_log.h"
#include "service/installed_service.h"

namespace kavo {
namespace {

using namespace kavo::service_testing;

class ServiceEventLogTest : public InstalledServiceFixture {
  protected:
    std::optional<EventSourceRegistration> registration() const {
        const auto read = read_event_source(EVENT_SOURCE_NAME);
        EXPECT_TRUE(read) << read.error().text;
        return read ? *read : std::nullopt;
    }

    EventSourceRegistration installed() const {
        return EventSourceRegistration{(service_root_ / "kavo-daemon.exe").native(),
                                       EVENT_TYPE_ERROR | EVENT_TYPE_WARNING};
    }
};

TEST_F(ServiceEventLogTest, TheInstallRegistersTheSourceAndTheUninstallRemovesIt) {
    // The fixture's clean-up removed any source an earlier run left.
    EXPECT_FALSE(registration());
    // A registration naming some other file is replaced.
    const auto stale =
        register_event_source(EVENT_SOURCE_NAME, {KAVO_NATIVE("C:\\elsewhere\\old.exe"), 7});
    ASSERT_TRUE(stale) << stale.error().text;

    const ProgramRun first = install();
    ASSERT_EQ(first.exit_status, 0u) << first.error;
    EXPECT_EQ(install_lines_besides_failure_actions(first.error), std::vector<std::string>{});
    EXPECT_EQ(registration(), installed());
    // The message file is the daemon the service runs.
    auto service = open_service();
    ASSERT_TRUE(service);
    const auto command_line = service->registered_command_line();
    ASSERT_TRUE(command_line) << command_line.error().text;
    EXPECT_NE(command_line->find(installed().message_file), NativeString::npos)
        << native_to_utf8(*command_line).value_or("");
    service->close();

    const ProgramRun again = install();
    ASSERT_EQ(again.exit_status, 0u) << again.error;
    EXPECT_EQ(registration(), installed());

    const ProgramRun removed = uninstall();
    ASSERT_EQ(removed.exit_status, 0u) << removed.error;
    EXPECT_EQ(removed.error, "");
    EXPECT_FALSE(registration());
}

// A reinstall that fails has removed the earlier service and its files, so
// nothing names them in the event log either.
TEST_F(ServiceEventLogTest, AFailedReinstallLeavesNoSource) {
    const ProgramRun first = install();
    ASSERT_EQ(first.exit_status, 0u) << first.error;
    ASSERT_EQ(registration(), installed());

    std::string wrong = core_digest_;
    wrong.back() = wrong.back() == '0' ? '1' : '0';
    const ProgramRun failed = install(wrong);
    ASSERT_EQ(failed.exit_status, 1u) << failed.error;
    EXPECT_FALSE(open_service());
    EXPECT_FALSE(registration());
}

}  // namespace
}  // namespace kavo
