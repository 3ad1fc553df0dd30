// The service host's decisions: the two status records, the control
// handler's answers, the mode selection and exit statuses of the program
// entry, and the service entry's steps with each step failing in turn.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "host/service_entry.h"
#include "host/service_lifecycle.h"
#include "install/service_registration.h"
#include "platform/os_error.h"
#include "program/program_entry.h"
#include "program/program_mode.h"
#include "test_support.h"

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

TEST(ServiceLifecycleTest, EachFailureStopsWithItsOwnServiceSpecificCode) {
    struct Case {
        ServiceFailure failure;
        std::uint32_t code;
    } cases[] = {
        {ServiceFailure::configuration, 0x20000001},
        {ServiceFailure::core_check, 0x20000002},
        {ServiceFailure::pipe, 0x20000003},
        {ServiceFailure::threads, 0x20000004},
    };
    for (const auto& c : cases) {
        const ServiceStatusRecord record = failed_status_record(c.failure);
        ServiceStatusRecord expected = stopped_status_record();
        // ERROR_SERVICE_SPECIFIC_ERROR: the reason is the code beside it.
        expected.win32_exit_code = 1066;
        expected.service_specific_exit_code = c.code;
        EXPECT_EQ(record, expected) << static_cast<int>(c.failure);
    }
    EXPECT_EQ(SERVICE_FAILURE_CODES.size(), std::size(cases)) << "a kind without a test case";
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

using testing::widen;

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
        const auto narrow = widen<char>(c.arguments);
        const auto wide = widen<wchar_t>(c.arguments);
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
enum class Scripted {
    none,
    registration,
    config,
    // The configuration fails, and so does the report of its stopped record.
    config_unreported,
    running,
    threads,
    core_check,
    first_pipe,
    stopped,
};

struct EntryRun {
    std::vector<std::string> events;
    // What the scripted pipe server saw of the control handler.
    std::vector<std::string> served;
};

std::string reported(const ServiceStatusRecord& record) {
    if (record == running_status_record()) {
        return "report running";
    }
    ServiceStatusRecord stopped = stopped_status_record();
    stopped.win32_exit_code = record.win32_exit_code;
    stopped.service_specific_exit_code = record.service_specific_exit_code;
    if (record != stopped) {
        return "report ?";
    }
    return "report stopped " + std::to_string(record.win32_exit_code) + " " +
           std::to_string(record.service_specific_exit_code);
}

EntryRun run_entry(Scripted script) {
    EntryRun run;
    auto events = std::make_shared<std::vector<std::string>>();
    auto served = std::make_shared<std::vector<std::string>>();
    auto context = std::make_shared<std::shared_ptr<ServiceControlContext>>();
    ServiceEntrySteps steps;
    steps.register_handler =
        [&](std::shared_ptr<ServiceControlContext> given) -> OsResult<StatusReport> {
        events->push_back("register");
        if (script == Scripted::registration) {
            return fail(os_error(1063));
        }
        *context = std::move(given);
        return StatusReport([&, events](const ServiceStatusRecord& record) -> OsResult<void> {
            const std::string event = reported(record);
            events->push_back(event);
            const bool running = record == running_status_record();
            const bool stopped = record.current_state == SERVICE_STATE_STOPPED;
            if ((running && script == Scripted::running) ||
                (stopped &&
                 (script == Scripted::stopped || script == Scripted::config_unreported))) {
                return fail(os_error(5));
            }
            return ok();
        });
    };
    steps.load_config = [&]() -> Result<ServiceConfig> {
        events->push_back("load config");
        if (script == Scripted::config || script == Scripted::config_unreported) {
            return fail(std::string(CORE_DIR_NOT_CONFIGURED));
        }
        ServiceConfig config;
        config.core_dir = KAVO_NATIVE("core");
        return config;
    };
    steps.build_threads = [&]() -> Result<std::unique_ptr<ServiceThreads>> {
        events->push_back("build runtime");
        if (script == Scripted::threads) {
            return fail(std::string(RUNTIME_BUILD_FAILED) + "no threads");
        }
        return ServiceThreads::build(2);
    };
    steps.serve = [events, served, context, script](
                      StopReceiver stop, ServiceConfig config,
                      PipeServerOptions options) -> asio::awaitable<PipeServerEnd> {
        events->push_back("serve");
        if (config.core_dir != KAVO_NATIVE("core") || options.pool == nullptr) {
            served->push_back("wrong inputs");
        }
        if (script == Scripted::core_check) {
            co_return PipeServerEnd::core_check_failed;
        }
        if (script == Scripted::first_pipe) {
            co_return PipeServerEnd::first_pipe_failed;
        }
        ServiceControlContext& handler = **context;
        served->push_back("interrogate " + std::to_string(handler.handle(4)));
        served->push_back(std::string("stop before ") + (stop.try_receive() ? "yes" : "no"));
        served->push_back("stop " + std::to_string(handler.handle(1)));
        served->push_back(std::string("stop after ") + (stop.try_receive() ? "yes" : "no"));
        co_return PipeServerEnd::stopped;
    };
    steps.write_line = [&](std::string_view line) {
        events->push_back("line " + std::string(line));
    };
    steps.end_process = [&](int status) {
        events->push_back("end process " + std::to_string(status));
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

TEST(ServiceEntryTest, StepsInOrderAndEveryFailureEndsTheProcess) {
    const std::string failed = "line KAVO service failed: IO error in winapi call";
    const std::string ended = "end process 1";
    const std::vector<std::string> whole_serve = {"interrogate 0", "stop before no", "stop 0",
                                                  "stop after yes", "late stop 0"};
    const std::vector<std::string> served_nothing = {"late stop 0"};
    const std::vector<std::string> up_to_serve = {"register", "load config", "report running",
                                                  "build runtime", "serve"};
    const auto then = [&](std::vector<std::string> more) {
        std::vector<std::string> events = up_to_serve;
        events.insert(events.end(), more.begin(), more.end());
        return events;
    };
    struct Case {
        Scripted script;
        std::vector<std::string> events;
        std::vector<std::string> served;
    } cases[] = {
        {Scripted::none, then({"report stopped 0 0"}), whole_serve},
        // Nobody to report to: the process ends, and the manager sees it end.
        {Scripted::registration, {"register", failed, ended}, {}},
        // The service stops from start-pending, never having run.
        {Scripted::config,
         {"register", "load config", failed, "report stopped 1066 536870913"},
         served_nothing},
        {Scripted::config_unreported,
         {"register", "load config", failed, "report stopped 1066 536870913", failed, ended},
         served_nothing},
        {Scripted::running,
         {"register", "load config", "report running", failed, ended},
         served_nothing},
        {Scripted::threads,
         {"register", "load config", "report running", "build runtime", failed,
          "report stopped 1066 536870916"},
         served_nothing},
        {Scripted::core_check, then({failed, "report stopped 1066 536870914"}), served_nothing},
        {Scripted::first_pipe, then({failed, "report stopped 1066 536870915"}), served_nothing},
        {Scripted::stopped, then({"report stopped 0 0", failed, ended}), whole_serve},
    };
    for (const auto& c : cases) {
        const EntryRun run = run_entry(c.script);
        EXPECT_EQ(run.events, c.events) << static_cast<int>(c.script);
        EXPECT_EQ(run.served, c.served) << static_cast<int>(c.script);
    }
}

// The service mode of the program over a scripted dispatcher.
TEST(ServiceModeTest, ADispatcherThatCannotStartIsOneErrorLineAndExitOne) {
    bool entered = false;
    ::testing::internal::CaptureStderr();
    const int status = run_service_mode(
        [](NativeView, const ServiceEntry&) -> OsResult<void> { return fail(os_error(1063)); },
        [&](std::vector<NativeString>) { entered = true; });
    const std::string errors = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(status, 1);
    EXPECT_FALSE(entered);
    EXPECT_EQ(errors, dispatcher_failure_line(os_error(1063).text) + "\n");
}

TEST(ServiceModeTest, ADispatcherThatNeverStartedTheEntryIsNotWaitedFor) {
    // A broken wait would hang here; the test's own limit catches it.
    auto mode = std::async(std::launch::async, [] {
        return run_service_mode(
            [](NativeView, const ServiceEntry&) -> OsResult<void> { return ok(); },
            [](std::vector<NativeString>) {});
    });
    ASSERT_EQ(mode.wait_for(testing::HANG_LIMIT), std::future_status::ready);
    EXPECT_EQ(mode.get(), 0);
}

// As under the manager: the entry runs on a thread of the dispatcher's, and
// the dispatcher returns once the entry has reported stopped, while the
// entry still shuts down. The program returns only after the entry has.
TEST(ServiceModeTest, TheProgramReturnsOnlyAfterTheEntryHasFinished) {
    std::promise<void> reported_stopped;
    std::promise<void> dispatcher_returned;
    std::atomic<bool> mode_returned{false};
    std::atomic<bool> entry_saw_mode_returned{false};
    std::atomic<bool> entry_finished{false};
    std::thread service_thread;
    std::vector<NativeString> parameters_seen;
    const ServiceDispatcher dispatch = [&](NativeView name,
                                           const ServiceEntry& entry) -> OsResult<void> {
        EXPECT_EQ(NativeString(name), NativeString(SERVICE_NAME));
        service_thread = std::thread(entry, std::vector<NativeString>{KAVO_NATIVE("kavo-service")});
        reported_stopped.get_future().wait();
        dispatcher_returned.set_value();
        return ok();
    };
    auto mode = std::async(std::launch::async, [&] {
        const int status = run_service_mode(dispatch, [&](std::vector<NativeString> parameters) {
            parameters_seen = std::move(parameters);
            reported_stopped.set_value();
            // The shutdown after the stopped record takes a while.
            dispatcher_returned.get_future().wait();
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            entry_saw_mode_returned = mode_returned.load();
            entry_finished = true;
        });
        mode_returned = true;
        return status;
    });
    ASSERT_EQ(mode.wait_for(testing::HANG_LIMIT), std::future_status::ready);
    EXPECT_EQ(mode.get(), 0);
    EXPECT_TRUE(entry_finished);
    EXPECT_FALSE(entry_saw_mode_returned);
    service_thread.join();
    EXPECT_EQ(parameters_seen, std::vector<NativeString>{KAVO_NATIVE("kavo-service")});
}

}  // namespace
}  // namespace kavo
