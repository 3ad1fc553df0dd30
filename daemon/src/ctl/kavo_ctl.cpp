#include "ctl/kavo_ctl.h"

#include <exception>
#include <optional>
#include <string>

#include <csignal>
#include <memory>

#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <asio/signal_set.hpp>
#include <asio/this_coro.hpp>

#include "ctl/ctl_session.h"

#include "ipc/client.h"
#include "platform/diagnostics.h"
#include "platform/library_search.h"
#include "platform/path.h"
#include "platform/pipe_connect.h"
#include "platform/process_info.h"
#include "service/service_config.h"
#include "service/service_names.h"
#include "service/service_paths.h"

namespace kavo {
namespace {

Result<SecretBytes> identity_for(const CtlCommand<NativeChar>& command) {
    if (command.identity_file) {
        return load_identity(*command.identity_file);
    }
    KAVO_TRY(const NativeString root, service_root_dir());
    return load_identity(join_path<NativeChar>(root, IDENTITY_FILE_NAME, NATIVE_PATH_STYLE));
}

asio::awaitable<Result<IpcResponse, CtlNoAnswer>> ask(std::string pipe_name, SecretBytes secret,
                                                      IpcRequest request) {
    auto connection = co_await connect_pipe(std::move(pipe_name));
    if (!connection) {
        co_return fail(CtlNoAnswer{CtlFailure::no_pipe, connection.error().error.text});
    }
    auto response = co_await request_service(std::move(connection->stream), std::move(secret),
                                             std::move(request));
    if (!response) {
        co_return fail(CtlNoAnswer{CtlFailure::exchange, response.error()});
    }
    co_return std::move(response).value();
}

asio::awaitable<CtlReport> exchange(std::string pipe_name, SecretBytes secret, IpcRequest request) {
    auto answer = co_await ask(std::move(pipe_name), std::move(secret), std::move(request));
    if (!answer) {
        co_return report_failure(answer.error().failure, answer.error().detail);
    }
    co_return report_response(*answer);
}

// The session, ended by SIGINT (Ctrl-C) or SIGTERM.
asio::awaitable<int> session_until_signalled(std::string pipe_name, SecretBytes secret) {
    const auto executor = co_await asio::this_coro::executor;
    auto stop = std::make_shared<CtlRunStop>(executor);
    asio::signal_set signals(executor, SIGINT, SIGTERM);
    signals.async_wait([stop](const asio::error_code& error, int) {
        if (!error) {
            stop->request();
        }
    });
    CtlExchange exchange = [pipe_name = std::move(pipe_name),
                            secret = std::move(secret)](IpcRequest request) {
        return ask(pipe_name, secret, std::move(request));
    };
    CtlRunOutput output{[](std::string_view line) { write_output_line(line); },
                        [](std::string_view line) { write_error_line(line); }};
    const int status = co_await run_ctl_session(std::move(exchange), stop, std::move(output));
    signals.cancel();
    co_return status;
}

template <class T>
T run_to_end(asio::awaitable<T> task) {
    asio::io_context io;
    T result{};
    std::exception_ptr escaped;
    asio::co_spawn(io, std::move(task), [&](std::exception_ptr error, T value) {
        escaped = error;
        result = std::move(value);
    });
    io.run();
    if (escaped) {
        std::rethrow_exception(escaped);
    }
    return result;
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
    return run_to_end(exchange(command.pipe_name, std::move(secret).value(), command.request));
}

int run_ctl_session_command(const CtlCommand<NativeChar>& command) {
    auto secret = identity_for(command);
    if (!secret) {
        const CtlReport report = report_failure(CtlFailure::identity, secret.error());
        print(report);
        return report.exit_status;
    }
    return run_to_end(session_until_signalled(command.pipe_name, std::move(secret).value()));
}

int run_kavo_ctl(std::span<const NativeString> arguments) {
    auto command = parse_ctl_arguments<NativeChar>(arguments);
    if (command && command->run_session) {
        return run_ctl_session_command(*command);
    }
    const CtlReport report =
        command ? run_ctl_command(*command) : report_failure(CtlFailure::usage, command.error());
    print(report);
    return report.exit_status;
}

int run_kavo_ctl() {
    // Before anything else can load a library by name.
    if (const auto restricted = restrict_library_search(); !restricted) {
        const CtlReport report =
            report_failure(CtlFailure::library_search, restricted.error().text);
        print(report);
        return report.exit_status;
    }
    auto arguments = process_arguments();
    if (!arguments || arguments->empty()) {
        const CtlReport report = report_failure(CtlFailure::usage, CTL_ARGUMENTS_UNREADABLE);
        print(report);
        return report.exit_status;
    }
    return run_kavo_ctl(std::span<const NativeString>(*arguments).subspan(1));
}

}  // namespace kavo
