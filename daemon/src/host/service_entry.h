// Service host: the service's life under the service control manager. The
// service entry registers the control handler with the stop channel's
// sending end as its context, loads the configuration, reports running,
// starts the service's threads, runs the pipe server on them until a stop, reports
// stopped and only then shuts the threads down. Every failure is one "KAVO
// service failed: " line on standard error; once the handler is registered,
// a failure also reports stopped with the failure's own code, so that the
// dispatcher returns and the process ends. When the manager cannot be told
// (the registration or a status report failed), the process ends at once
// with a non-zero status.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <vector>

#include <asio/awaitable.hpp>

#include "host/pipe_server.h"
#include "host/service_lifecycle.h"
#include "host/service_threads.h"
#include "host/stop_channel.h"
#include "platform/native_string.h"
#include "platform/os_error.h"
#include "platform/result.h"
#include "platform/service_parameters.h"
#include "service/service_config.h"

namespace kavo {

// The control handler's context: the stop channel's sending end. The first
// stop sends one message and gives the sender up; later stops find none.
class ServiceControlContext {
  public:
    explicit ServiceControlContext(StopSender sender) : sender_(std::move(sender)) {}

    // Answers one control as answer_control() says, acting on it.
    std::uint32_t handle(std::uint32_t control) noexcept;
    // Gives the sender up without sending.
    void release() noexcept;

  private:
    std::mutex mutex_;
    std::optional<StopSender> sender_;
};

// The handler registered with the manager: `context` is a
// ServiceControlContext.
std::uint32_t service_control_handler(std::uint32_t control, void* context);

using StatusReport = std::function<OsResult<void>(const ServiceStatusRecord&)>;

// The calls the service entry makes, in the order it makes them. The service
// uses service_manager_steps(); tests script their own.
struct ServiceEntrySteps {
    // Registers service_control_handler with `context`, keeping the context
    // alive for as long as the handler may be called; what reports the
    // status from then on. A failed registration lets the context go.
    std::function<OsResult<StatusReport>(std::shared_ptr<ServiceControlContext> context)>
        register_handler;
    std::function<Result<ServiceConfig>()> load_config;
    std::function<Result<std::unique_ptr<ServiceThreads>>()> build_threads;
    std::function<asio::awaitable<PipeServerEnd>(StopReceiver, ServiceConfig, PipeServerOptions)>
        serve;
    std::function<void(std::string_view line)> write_line;
    // Ends the process with `status` at once, running no destructors: the
    // dispatcher, waiting for a stopped record that will never come, would
    // otherwise keep it alive.
    std::function<void(int status)> end_process;
};

// The failure a pipe server's end stands for; none after a stop message.
std::optional<ServiceFailure> failure_of(PipeServerEnd end);

// The real calls: the process command line, the manager, the service's own
// threads and pipe server, standard error.
ServiceEntrySteps service_manager_steps();

// The service entry's steps over `steps`.
void run_service_entry(const ServiceEntrySteps& steps);

// The entry the dispatcher calls for "kavo-service". Its start parameters
// are ignored: the configuration comes from the process command line.
void kavo_service_main(std::vector<NativeString> start_parameters);

}  // namespace kavo
