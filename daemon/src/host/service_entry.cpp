#include "host/service_entry.h"

#include <string>
#include <utility>

#include "install/service_registration.h"
#include "platform/diagnostics.h"
#include "platform/service_host.h"

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
    steps.load_config = [] { return load_service_config(); };
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
    steps.build_runtime = [] { return ServiceRuntime::build(); };
    steps.serve = [](StopReceiver stop, ServiceConfig config, PipeServerOptions options) {
        return run_pipe_server(std::move(stop), std::move(config), std::move(options));
    };
    steps.write_line = [](std::string_view line) { write_error_line(line); };
    return steps;
}

void run_service_entry(const ServiceEntrySteps& steps) {
    auto config = steps.load_config();
    if (!config) {
        steps.write_line(service_failure_line());
        return;
    }
    auto channel = StopChannel::create();
    auto context = std::make_shared<ServiceControlContext>(std::move(channel.sender));
    auto report = steps.register_handler(context);
    if (!report) {
        steps.write_line(service_failure_line());
        return;
    }
    // What the handler may still hold after this entry returns gives its
    // sender up on every path below.
    const std::shared_ptr<ServiceControlContext> registered = std::move(context);
    if (!(*report)(running_status_record())) {
        registered->release();
        steps.write_line(service_failure_line());
        return;
    }
    auto runtime = steps.build_runtime();
    if (!runtime) {
        registered->release();
        steps.write_line(service_failure_line());
        return;
    }
    PipeServerOptions options;
    options.pool = &(*runtime)->blocking_pool();
    (*runtime)->run(
        steps.serve(std::move(channel.receiver), std::move(config).value(), std::move(options)));
    const auto stopped = (*report)(stopped_status_record());
    (*runtime)->shutdown();
    registered->release();
    if (!stopped) {
        steps.write_line(service_failure_line());
    }
}

void kavo_service_main(std::vector<NativeString> start_parameters) {
    // Collected by the dispatcher and ignored.
    static_cast<void>(start_parameters);
    run_service_entry(service_manager_steps());
}

}  // namespace kavo
