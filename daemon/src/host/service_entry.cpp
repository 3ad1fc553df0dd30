#include "host/service_entry.h"

#include <cstdlib>
#include <string>
#include <utility>

#include "platform/diagnostics.h"
#include "platform/service_host.h"
#include "service/service_names.h"

namespace kavo {

std::uint32_t ServiceControlContext::handle(std::uint32_t control) noexcept {
    const ControlAnswer answer = answer_control(control);
    if (answer.effect == ControlEffect::send_stop) {
        const std::lock_guard lock(mutex_);
        if (sender_) {
            sender_->send();
            sender_.reset();
        }
    }
    return answer.result;
}

void ServiceControlContext::release() noexcept {
    const std::lock_guard lock(mutex_);
    sender_.reset();
}

std::uint32_t service_control_handler(std::uint32_t control, void* context) {
    return static_cast<ServiceControlContext*>(context)->handle(control);
}

ServiceEntrySteps service_manager_steps() {
    ServiceEntrySteps steps;
    steps.register_handler =
        [](std::shared_ptr<ServiceControlContext> context) -> OsResult<StatusReport> {
        // The manager may call the handler on the dispatcher's thread until
        // the process ends, even after the service entry has returned.
        static std::shared_ptr<ServiceControlContext> registered;
        KAVO_TRY(auto reporter, register_service_control_handler(
                                    SERVICE_NAME, service_control_handler, context.get()));
        registered = std::move(context);
        return StatusReport(
            [reporter](const ServiceStatusRecord& record) { return reporter.report(record); });
    };
    steps.load_config = [] { return load_service_config(); };
    steps.build_threads = [] { return ServiceThreads::build(); };
    steps.serve = [](StopReceiver stop, ServiceConfig config, PipeServerOptions options) {
        return run_pipe_server(std::move(stop), std::move(config), std::move(options));
    };
    steps.write_line = [](std::string_view line) { write_error_line(line); };
    steps.end_process = [](int status) { std::_Exit(status); };
    return steps;
}

std::optional<ServiceFailure> failure_of(PipeServerEnd end) {
    switch (end) {
        case PipeServerEnd::stopped:
            return std::nullopt;
        case PipeServerEnd::core_check_failed:
            return ServiceFailure::core_check;
        case PipeServerEnd::first_pipe_failed:
            return ServiceFailure::pipe;
    }
    return std::nullopt;
}

namespace {

// The manager cannot be told that the service stopped: only the end of the
// process tells it.
void end_unreported(const ServiceEntrySteps& steps) {
    steps.write_line(service_failure_line());
    steps.end_process(SERVICE_UNREPORTED_EXIT_STATUS);
}

// A failure before the threads exist: its line, then the stopped record
// with its code, which lets the dispatcher return.
void stop_failed(const ServiceEntrySteps& steps, const StatusReport& report,
                 ServiceFailure failure) {
    steps.write_line(service_failure_line());
    if (!report(failed_status_record(failure))) {
        end_unreported(steps);
    }
}

}  // namespace

void run_service_entry(const ServiceEntrySteps& steps) {
    auto channel = StopChannel::create();
    auto context = std::make_shared<ServiceControlContext>(std::move(channel.sender));
    // First, so that every later failure can be reported; it needs no
    // configuration.
    auto report = steps.register_handler(context);
    if (!report) {
        end_unreported(steps);
        return;
    }
    // What the handler may still hold after this entry returns gives its
    // sender up on every path below.
    const std::shared_ptr<ServiceControlContext> registered = std::move(context);
    struct ReleaseOnReturn {
        const std::shared_ptr<ServiceControlContext>& context;
        ~ReleaseOnReturn() { context->release(); }
    } release_on_return{registered};

    auto config = steps.load_config();
    if (!config) {
        stop_failed(steps, *report, ServiceFailure::configuration);
        return;
    }
    if (!(*report)(running_status_record())) {
        end_unreported(steps);
        return;
    }
    auto threads = steps.build_threads();
    if (!threads) {
        stop_failed(steps, *report, ServiceFailure::threads);
        return;
    }
    PipeServerOptions options;
    options.pool = &(*threads)->blocking_pool();
    const PipeServerEnd end = (*threads)->run(
        steps.serve(std::move(channel.receiver), std::move(config).value(), std::move(options)));
    const std::optional<ServiceFailure> failure = failure_of(end);
    if (failure) {
        steps.write_line(service_failure_line());
    }
    // Stopped before the threads go: connection tasks still running are
    // abandoned by the shutdown either way.
    const auto stopped =
        (*report)(failure ? failed_status_record(*failure) : stopped_status_record());
    (*threads)->shutdown();
    if (!stopped) {
        end_unreported(steps);
    }
}

void kavo_service_main(std::vector<NativeString> start_parameters) {
    // Collected by the dispatcher and ignored.
    static_cast<void>(start_parameters);
    run_service_entry(service_manager_steps());
}

}  // namespace kavo
