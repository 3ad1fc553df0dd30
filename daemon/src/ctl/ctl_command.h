// kavo-ctl, pure: its command line and what each outcome prints and exits
// with. The parsing is a template over the character type, so the wide form
// that Windows hands over is tested on Linux too.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "ipc/records.h"
#include "platform/native_string.h"
#include "platform/result.h"
#include "platform/utf.h"
#include "service/service_pipe.h"

namespace kavo {

inline constexpr std::string_view CTL_IDENTITY_FILE_OPTION = "--identity-file";
inline constexpr std::string_view CTL_PIPE_OPTION = "--pipe";

inline constexpr std::string_view CTL_USAGE =
    "usage: kavo-ctl [--identity-file F] [--pipe NAME] status | acquire | renew ID | release ID | "
    "start ID | stop ID | run";

// Why a command line was refused.
inline constexpr std::string_view CTL_MISSING_COMMAND = "no command given";
inline constexpr std::string_view CTL_UNKNOWN_COMMAND = "unknown command";
inline constexpr std::string_view CTL_UNKNOWN_OPTION = "unknown option";
inline constexpr std::string_view CTL_MISSING_OPTION_VALUE = "an option lacks its value";
inline constexpr std::string_view CTL_REPEATED_OPTION = "an option is given twice";
inline constexpr std::string_view CTL_MISSING_LEASE_ID = "the command needs a lease id";
inline constexpr std::string_view CTL_EXTRA_ARGUMENTS = "too many arguments";
inline constexpr std::string_view CTL_NOT_UNICODE = "an argument is not Unicode text";
inline constexpr std::string_view CTL_ARGUMENTS_UNREADABLE = "the command line cannot be read";

// The first words of the lines written to standard error.
inline constexpr std::string_view CTL_USAGE_ERROR_PREFIX = "kavo-ctl: ";
inline constexpr std::string_view CTL_IDENTITY_ERROR_PREFIX =
    "kavo-ctl: cannot use the service identity: ";
inline constexpr std::string_view CTL_NO_PIPE_ERROR_PREFIX =
    "kavo-ctl: cannot reach the service pipe: ";
inline constexpr std::string_view CTL_EXCHANGE_ERROR_PREFIX =
    "kavo-ctl: the exchange with the service failed: ";
inline constexpr std::string_view CTL_LIBRARY_SEARCH_ERROR_PREFIX =
    "kavo-ctl: cannot keep library loading to the system directory: ";

inline constexpr int CTL_EXIT_ANSWERED = 0;
inline constexpr int CTL_EXIT_ERROR_RESPONSE = 1;
inline constexpr int CTL_EXIT_NO_EXCHANGE = 2;

template <class Char>
struct CtlCommand {
    // Unset: the installed identity.
    std::optional<std::basic_string<Char>> identity_file;
    std::string pipe_name = std::string(PIPE_NAME);
    // A whole session ("run") instead of one request.
    bool run_session = false;
    IpcRequest request;
};

// What kavo-ctl prints and how it exits.
struct CtlReport {
    int exit_status = CTL_EXIT_NO_EXCHANGE;
    // The response as one JSON line on standard output.
    std::optional<std::string> output_line;
    // One line on standard error.
    std::optional<std::string> error_line;
    bool operator==(const CtlReport&) const = default;
};

enum class CtlFailure {
    usage,
    identity,
    no_pipe,
    exchange,
    library_search,
};

// An answered exchange: the response's canonical JSON; exit 1 for an Error
// response, 0 otherwise.
CtlReport report_response(const IpcResponse& response);
// No exchange was made: one line saying why, exit 2. For a usage failure
// `detail` is one of the reasons above and the usage follows it.
CtlReport report_failure(CtlFailure failure, std::string_view detail);

namespace ctl_detail {

// Narrow arguments must be UTF-8 already; wide ones are UTF-16.
template <class Char>
std::optional<std::string> to_utf8(std::basic_string_view<Char> argument) {
    if constexpr (sizeof(Char) == 1) {
        const std::string_view bytes(reinterpret_cast<const char*>(argument.data()),
                                     argument.size());
        if (!is_valid_utf8(bytes)) {
            return std::nullopt;
        }
        return std::string(bytes);
    } else {
        static_assert(sizeof(Char) == sizeof(char16_t), "wide arguments are UTF-16");
        std::u16string units;
        units.reserve(argument.size());
        for (const Char unit : argument) {
            units.push_back(static_cast<char16_t>(unit));
        }
        return utf16_to_utf8(units);
    }
}

enum class Verb {
    status,
    acquire,
    renew,
    release,
    start,
    stop,
    run,
};

std::optional<Verb> verb_of(std::string_view word);
bool takes_lease_id(Verb verb);
IpcRequest request_of(Verb verb, std::string lease_id);

}  // namespace ctl_detail

// kavo-ctl [--identity-file F] [--pipe NAME] COMMAND [ID], the program name
// already dropped. Options come before the command, each at most once. The
// error is one of the reasons above.
template <class Char>
Result<CtlCommand<Char>> parse_ctl_arguments(std::span<const std::basic_string<Char>> arguments) {
    using View = std::basic_string_view<Char>;
    CtlCommand<Char> command;
    bool pipe_given = false;
    std::size_t i = 0;
    for (; i < arguments.size(); ++i) {
        const View argument(arguments[i]);
        const bool identity = equals_ascii(argument, CTL_IDENTITY_FILE_OPTION);
        const bool pipe = equals_ascii(argument, CTL_PIPE_OPTION);
        if (!identity && !pipe) {
            if (!argument.empty() && argument[0] == Char('-')) {
                return fail(std::string(CTL_UNKNOWN_OPTION));
            }
            break;
        }
        if (i + 1 >= arguments.size()) {
            return fail(std::string(CTL_MISSING_OPTION_VALUE));
        }
        const std::basic_string<Char>& value = arguments[++i];
        if (identity) {
            if (command.identity_file) {
                return fail(std::string(CTL_REPEATED_OPTION));
            }
            command.identity_file = value;
            continue;
        }
        if (pipe_given) {
            return fail(std::string(CTL_REPEATED_OPTION));
        }
        auto name = ctl_detail::to_utf8(View(value));
        if (!name) {
            return fail(std::string(CTL_NOT_UNICODE));
        }
        command.pipe_name = std::move(*name);
        pipe_given = true;
    }
    if (i >= arguments.size()) {
        return fail(std::string(CTL_MISSING_COMMAND));
    }
    const auto word = ctl_detail::to_utf8(View(arguments[i++]));
    const auto verb = word ? ctl_detail::verb_of(*word) : std::nullopt;
    if (!verb) {
        return fail(std::string(CTL_UNKNOWN_COMMAND));
    }
    std::string lease_id;
    if (ctl_detail::takes_lease_id(*verb)) {
        if (i >= arguments.size()) {
            return fail(std::string(CTL_MISSING_LEASE_ID));
        }
        auto id = ctl_detail::to_utf8(View(arguments[i++]));
        if (!id) {
            return fail(std::string(CTL_NOT_UNICODE));
        }
        lease_id = std::move(*id);
    }
    if (i < arguments.size()) {
        return fail(std::string(CTL_EXTRA_ARGUMENTS));
    }
    command.run_session = *verb == ctl_detail::Verb::run;
    command.request = ctl_detail::request_of(*verb, std::move(lease_id));
    return command;
}

}  // namespace kavo
