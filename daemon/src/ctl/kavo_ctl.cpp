#include "ctl/kavo_ctl.h"

#include <exception>
#include <optional>
#include <string>

#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>

#include "core/protected_dirs.h"
#include "host/service_config.h"
#include "install/service_registration.h"
#include "ipc/client.h"
#include "platform/diagnostics.h"
#include "platform/path.h"
#include "platform/pipe_connect.h"
#include "platform/process_info.h"

namespace kavo {
namespace {

Result<SecretBytes> identity_for(const CtlCommand<NativeChar>& command) {
    if (command.identity_file) {
        return load_identity(*command.identity_file);
    }
    KAVO_TRY(const NativeString root, service_root_dir());
    return load_identity(join_path<NativeChar>(root, IDENTITY_FILE_NAME, NATIVE_PATH_STYLE));
}

asio::awaitable<CtlReport> exchange(std::string pipe_name, SecretBytes secret, IpcRequest request) {
    auto connection = co_await connect_pipe(std::move(pipe_name));
    if (!connection) {
        co_return report_failure(CtlFailure::no_pipe, connection.error().error.text);
    }
    auto response = co_await request_service(std::move(connection->stream), std::move(secret),
                                             std::move(request));
    if (!response) {
        co_return report_failure(CtlFailure::exchange, response.error());
    }
    co_return report_response(*response);
}

void print(const CtlReport& report) {
    if (report.output_line) {
        write_output_line(*report.output_line);
    }
    if (report.error_line) {
        write_error_line(*report.error_line);
    }
}

}  // namespace

CtlReport run_ctl_command(const CtlCommand<NativeChar>& command) {
    auto secret = identity_for(command);
    if (!secret) {
        return report_failure(CtlFailure::identity, secret.error());
    }
    asio::io_context io;
    CtlReport report;
    std::exception_ptr escaped;
    asio::co_spawn(io, exchange(command.pipe_name, std::move(secret).value(), command.request),
                   [&](std::exception_ptr error, CtlReport result) {
                       escaped = error;
                       report = std::move(result);
                   });
    io.run();
    if (escaped) {
        std::rethrow_exception(escaped);
    }
    return report;
}

int run_kavo_ctl(std::span<const NativeString> arguments) {
    auto command = parse_ctl_arguments<NativeChar>(arguments);
    const CtlReport report =
        command ? run_ctl_command(*command) : report_failure(CtlFailure::usage, command.error());
    print(report);
    return report.exit_status;
}

int run_kavo_ctl() {
    auto arguments = process_arguments();
    if (!arguments || arguments->empty()) {
        const CtlReport report = report_failure(CtlFailure::usage, CTL_ARGUMENTS_UNREADABLE);
        print(report);
        return report.exit_status;
    }
    return run_kavo_ctl(std::span<const NativeString>(*arguments).subspan(1));
}

}  // namespace kavo
