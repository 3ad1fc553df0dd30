// The service host's decisions: the two status records, the control
// handler's answers, the mode selection and exit statuses of the program
// entry, and the service entry's steps with each step failing in turn.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "host/program_mode.h"
#include "host/service_entry.h"
#include "host/service_lifecycle.h"
#include "platform/os_error.h"

namespace kavo {
namespace {

TEST(ServiceLifecycleTest, OnlyTwoStatusRecordsEachFieldAsRegistered) {
    struct Case {
        ServiceStatusRecord record;
        std::uint32_t state;
        std::uint32_t controls;
    } cases[] = {
        {running_status_record(), 4, 1},
        {stopped_status_record(), 1, 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.record.service_type, 0x10u);
        EXPECT_EQ(c.record.current_state, c.state);
        EXPECT_EQ(c.record.controls_accepted, c.controls);
        EXPECT_EQ(c.record.win32_exit_code, 0u);
        EXPECT_EQ(c.record.service_specific_exit_code, 0u);
        EXPECT_EQ(c.record.check_point, 0u);
        EXPECT_EQ(c.record.wait_hint, 0u);
    }
}

TEST(ServiceLifecycleTest, ControlAnswers) {
    struct Case {
        std::uint32_t control;
        ControlAnswer answer;
    } cases[] = {
        {1, {ControlEffect::send_stop, 0}},
        {4, {ControlEffect::none, 0}},
        // Shutdown and pre-shutdown are never accepted, so they change nothing.
        {5, {ControlEffect::none, 120}},
        {15, {ControlEffect::none, 120}},
        {2, {ControlEffect::none, 120}},
        {3, {ControlEffect::none, 120}},
        {0, {ControlEffect::none, 120}},
        {0xFFFFFFFF, {ControlEffect::none, 120}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(answer_control(c.control), c.answer) << c.control;
    }
}

TEST(ServiceLifecycleTest, TheFailureLineHidesItsCause) {
    EXPECT_EQ(service_failure_line(), "KAVO service failed: IO error in winapi call");
}

TEST(ServiceLifecycleTest, TheFirstStopSendsOnceAndLaterStopsTouchNothing) {
    auto channel = StopChannel::create();
    ServiceControlContext context(std::move(channel.sender));
    EXPECT_EQ(context.handle(4), 0u);
    EXPECT_EQ(context.handle(5), 120u);
    EXPECT_FALSE(channel.receiver.try_receive());
    EXPECT_EQ(context.handle(1), 0u);
    EXPECT_EQ(context.handle(1), 0u);
    EXPECT_EQ(service_control_handler(1, &context), 0u);
    EXPECT_TRUE(channel.receiver.try_receive());
    EXPECT_FALSE(channel.receiver.try_receive());
}

template <class Char>
std::vector<std::basic_string<Char>> arguments_of(const std::vector<std::string>& arguments) {
    std::vector<std::basic_string<Char>> out;
    for (const auto& argument : arguments) {
        out.emplace_back(argument.begin(), argument.end());
    }
    return out;
}

TEST(ProgramModeTest, InstallIsSearchedFirstOverWholeExactArguments) {
    struct Case {
        std::vector<std::string> arguments;
        ProgramMode mode;
    } cases[] = {
        {{"kavo-daemon.exe"}, ProgramMode::service},
        {{"kavo-daemon.exe", "--install-service"}, ProgramMode::install},
        {{"kavo-daemon.exe", "--uninstall-service"}, ProgramMode::uninstall},
        {{"d", "--uninstall-service", "--install-service"}, ProgramMode::install},
        {{"d", "--core-dir", "C:\\core", "--install-service"}, ProgramMode::install},
        // The mode selection does not know that options take values.
        {{"d", "--core-dir", "--uninstall-service"}, ProgramMode::uninstall},
        {{"d", "--install-services"}, ProgramMode::service},
        {{"d", "--install-servic"}, ProgramMode::service},
        {{"d", "--Install-Service"}, ProgramMode::service},
        {{"d", " --install-service"}, ProgramMode::service},
        {{"d", "--install-services", "--uninstall-service"}, ProgramMode::uninstall},
        {{"d", "--UNINSTALL-SERVICE"}, ProgramMode::service},
        {{"d", "-install-service", "uninstall-service"}, ProgramMode::service},
        {{}, ProgramMode::service},
    };
    for (const auto& c : cases) {
        const auto narrow = arguments_of<char>(c.arguments);
        const auto wide = arguments_of<wchar_t>(c.arguments);
        EXPECT_EQ(select_program_mode(std::span<const std::string>(narrow)), c.mode)
            << ::testing::PrintToString(c.arguments);
        EXPECT_EQ(select_program_mode(std::span<const std::wstring>(wide)), c.mode)
            << ::testing::PrintToString(c.arguments);
    }
}

TEST(ProgramModeTest, AWideCharacterBeyondAsciiNeverMatchesAFlagByte) {
    // U+012D shares its low byte with '-'.
    std::wstring almost = L"--install-service";
    almost[0] = wchar_t(0x012D);
    const std::vector<std::wstring> arguments = {L"d", almost};
    EXPECT_EQ(select_program_mode(std::span<const std::wstring>(arguments)), ProgramMode::service);
}

TEST(ProgramModeTest, ExitStatuses) {
    struct Case {
        const char* what;
        int status;
        int expected;
    } cases[] = {
        {"installed", install_exit_status(InstallOutcome::Installed), 0},
        {"install failed", install_exit_status(InstallOutcome::Failed), 1},
        {"install blocked", install_exit_status(InstallOutcome::Blocked), 2},
        {"configuration rejected", rejected_configuration_exit_status(), 1},
        {"removed", uninstall_exit_status(true), 0},
        {"not removed", uninstall_exit_status(false), 1},
        {"dispatcher returned", dispatcher_exit_status(true), 0},
        {"dispatcher not started", dispatcher_exit_status(false), 1},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.status, c.expected) << c.what;
    }
}

TEST(ProgramModeTest, EntryFailuresAreOneErrorLineWithTheCode) {
    struct Case {
        std::string line;
        std::string_view start;
        std::string_view end;
    } cases[] = {
        {dispatcher_failure_line(os_error(1063).text),
         "Error: failed to start the service dispatcher: ", "(os error 1063)"},
        {library_search_failure_line(os_error(87).text),
         "Error: failed to keep library loading to the system directory: ", "(os error 87)"},
    };
    for (const auto& c : cases) {
        EXPECT_TRUE(c.line.starts_with(c.start)) << c.line;
        EXPECT_TRUE(c.line.ends_with(c.end)) << c.line;
        EXPECT_EQ(c.line.find('\n'), std::string::npos) << c.line;
    }
}

// The service entry over scripted steps: what it calls, in which order, and
// what it writes.
enum class FailingStep { none, config, registration, running, runtime, stopped };

struct EntryRun {
    std::vector<std::string> events;
    // What the scripted pipe server saw of the control handler.
    std::vector<std::string> served;
};

EntryRun run_entry(FailingStep failing) {
    EntryRun run;
    auto events = std::make_shared<std::vector<std::string>>();
    auto served = std::make_shared<std::vector<std::string>>();
    auto context = std::make_shared<std::shared_ptr<ServiceControlContext>>();
    ServiceEntrySteps steps;
    steps.load_config = [&]() -> Result<ServiceConfig> {
        events->push_back("load config");
        if (failing == FailingStep::config) {
            return fail(std::string(CORE_DIR_NOT_CONFIGURED));
        }
        ServiceConfig config;
        config.core_dir = KAVO_NATIVE("core");
        return config;
    };
    steps.register_handler =
        [&](std::shared_ptr<ServiceControlContext> given) -> OsResult<StatusReport> {
        events->push_back("register");
        if (failing == FailingStep::registration) {
            return fail(os_error(1063));
        }
        *context = std::move(given);
        return StatusReport([&, events](const ServiceStatusRecord& record) -> OsResult<void> {
            const bool running = record == running_status_record();
            const bool stopped = record == stopped_status_record();
            events->push_back(running ? "report running" : stopped ? "report stopped" : "report ?");
            if ((running && failing == FailingStep::running) ||
                (stopped && failing == FailingStep::stopped)) {
                return fail(os_error(5));
            }
            return ok();
        });
    };
    steps.build_runtime = [&]() -> Result<std::unique_ptr<ServiceRuntime>> {
        events->push_back("build runtime");
        if (failing == FailingStep::runtime) {
            return fail(std::string(RUNTIME_BUILD_FAILED) + "no threads");
        }
        return ServiceRuntime::build(2);
    };
    steps.serve = [events, served, context](StopReceiver stop, ServiceConfig config,
                                            PipeServerOptions options) -> asio::awaitable<void> {
        events->push_back("serve");
        if (config.core_dir != KAVO_NATIVE("core") || options.pool == nullptr) {
            served->push_back("wrong inputs");
        }
        ServiceControlContext& handler = **context;
        served->push_back("interrogate " + std::to_string(handler.handle(4)));
        served->push_back(std::string("stop before ") + (stop.try_receive() ? "yes" : "no"));
        served->push_back("stop " + std::to_string(handler.handle(1)));
        served->push_back(std::string("stop after ") + (stop.try_receive() ? "yes" : "no"));
        co_return;
    };
    steps.write_line = [&](std::string_view line) {
        events->push_back("line " + std::string(line));
    };
    run_service_entry(steps);
    run.events = *events;
    run.served = *served;
    // Whatever the handler still holds after the entry has let its sender go.
    if (*context) {
        run.served.push_back("late stop " + std::to_string((*context)->handle(1)));
    }
    return run;
}

TEST(ServiceEntryTest, StepsInOrderAndEachFailureEndsTheEntry) {
    const std::string failed = "line KAVO service failed: IO error in winapi call";
    const std::vector<std::string> whole_serve = {"interrogate 0", "stop before no", "stop 0",
                                                  "stop after yes", "late stop 0"};
    struct Case {
        FailingStep failing;
        std::vector<std::string> events;
        std::vector<std::string> served;
    } cases[] = {
        {FailingStep::none,
         {"load config", "register", "report running", "build runtime", "serve", "report stopped"},
         whole_serve},
        {FailingStep::config, {"load config", failed}, {}},
        {FailingStep::registration, {"load config", "register", failed}, {}},
        {FailingStep::running,
         {"load config", "register", "report running", failed},
         {"late stop 0"}},
        // Reported running and never stopped.
        {FailingStep::runtime,
         {"load config", "register", "report running", "build runtime", failed},
         {"late stop 0"}},
        {FailingStep::stopped,
         {"load config", "register", "report running", "build runtime", "serve", "report stopped",
          failed},
         whole_serve},
    };
    for (const auto& c : cases) {
        const EntryRun run = run_entry(c.failing);
        EXPECT_EQ(run.events, c.events) << static_cast<int>(c.failing);
        EXPECT_EQ(run.served, c.served) << static_cast<int>(c.failing);
    }
}

}  // namespace
}  // namespace kavo
