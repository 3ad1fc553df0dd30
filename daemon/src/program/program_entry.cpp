#include "program/program_entry.h"

#include <condition_variable>
#include <mutex>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "host/foreground_service.h"
#include "host/service_entry.h"
#include "install/service_install.h"
#include "install/service_removal.h"
#include "platform/diagnostics.h"
#include "platform/library_search.h"
#include "platform/process_info.h"
#include "platform/service_host.h"
#include "platform/service_manager.h"
#include "program/diagnostic_events.h"
#include "program/program_mode.h"
#include "service/service_config.h"

namespace kavo {

namespace {

// The mode of this process's own command line; an unreadable command line
// holds no installer flag.
ProgramMode own_program_mode() {
    const auto arguments = process_arguments();
    if (!arguments) {
        return ProgramMode::service;
    }
    return select_program_mode(std::span<const NativeString>(*arguments));
}

// Whether the service entry was started, and whether it has finished.
class EntryCompletion {
  public:
    void started() {
        const std::lock_guard lock(mutex_);
        started_ = true;
    }
    void finished() {
        const std::lock_guard lock(mutex_);
        finished_ = true;
        changed_.notify_all();
    }
    // Returns at once when the entry never started.
    void wait_unless_never_started() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return !started_ || finished_; });
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool started_ = false;
    bool finished_ = false;
};

}  // namespace

int run_service_mode(const ServiceDispatcher& dispatch, const ServiceEntry& entry) {
    // The entry runs on a thread the dispatcher makes for it, and the
    // dispatcher returns as soon as the entry has reported stopped, while the
    // entry still shuts its runtime down. Returning from here then would let
    // the C runtime's exit destroy statics that the runtime still uses.
    EntryCompletion completion;
    const ServiceEntry tracked = [&completion, &entry](std::vector<NativeString> parameters) {
        completion.started();
        entry(std::move(parameters));
        completion.finished();
    };
    const auto dispatched = dispatch(SERVICE_NAME, tracked);
    completion.wait_unless_never_started();
    if (!dispatched) {
        write_error_line(dispatcher_failure_line(dispatched.error().text));
    }
    return dispatcher_exit_status(dispatched.has_value());
}

int run_service_program() {
    // Before anything else can load a library by name.
    if (const auto restricted = restrict_library_search(); !restricted) {
        write_error_line(library_search_failure_line(restricted.error().text));
        return EXIT_FAILED;
    }
    // Whatever the mode, nobody may read standard error: every line also
    // goes to the Application event log (opened at the first line, once the
    // library search is restricted).
    report_error_lines_to_event_log(EVENT_SOURCE_NAME, diagnostic_severity);
    switch (own_program_mode()) {
        case ProgramMode::install: {
            auto config = load_service_config();
            if (!config) {
                return rejected_configuration_exit_status();
            }
            return install_exit_status(install_service(std::move(config).value()));
        }
        case ProgramMode::uninstall:
            return uninstall_exit_status(uninstall_service().has_value());
        case ProgramMode::service:
            break;
    }
    return run_service_mode(run_service_dispatcher, kavo_service_main);
}

int run_foreground_program() {
    if (own_program_mode() != ProgramMode::service) {
        write_error_line(SERVICE_MANAGER_UNAVAILABLE);
        return EXIT_FAILED;
    }
    return run_foreground_service();
}

}  // namespace kavo
