#include "platform/process_info.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <string>
#include <string_view>

#include "platform/posix/posix.h"

namespace kavo {

OsResult<std::vector<NativeString>> process_arguments() {
    posix::UniqueFd fd(::open("/proc/self/cmdline", O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) {
        return fail(last_os_error());
    }
    std::string all;
    char buffer[4096];
    for (;;) {
        const ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            return fail(last_os_error());
        }
        if (got == 0) {
            break;
        }
        all.append(buffer, static_cast<std::size_t>(got));
    }
    // Arguments are NUL-terminated, one after the other.
    std::vector<NativeString> arguments;
    std::size_t start = 0;
    while (start < all.size()) {
        const std::size_t end = all.find('\0', start);
        if (end == std::string::npos) {
            arguments.push_back(all.substr(start));
            break;
        }
        arguments.push_back(all.substr(start, end - start));
        start = end + 1;
    }
    return arguments;
}

OsResult<NativeString> running_executable_path() {
    std::string path(PATH_MAX, '\0');
    const ssize_t got = ::readlink("/proc/self/exe", path.data(), path.size());
    if (got < 0) {
        return fail(last_os_error());
    }
    path.resize(static_cast<std::size_t>(got));
    return path;
}

std::uint32_t current_process_id() {
    return static_cast<std::uint32_t>(::getpid());
}

bool process_is_running(std::uint32_t id) {
    const auto stat = posix::read_process_stat(static_cast<pid_t>(id));
    return stat && !stat->ended();
}

namespace posix {

std::optional<ProcessStat> read_process_stat(pid_t pid) {
    const std::string path = "/proc/" + std::to_string(pid) + "/stat";
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) {
        return std::nullopt;
    }
    char buffer[512];
    ssize_t got = -1;
    do {
        got = ::read(fd.get(), buffer, sizeof buffer - 1);
    } while (got < 0 && errno == EINTR);
    if (got <= 0) {
        return std::nullopt;
    }
    // "pid (name) S ppid pgrp ...": the state follows the last ')' (the name
    // may hold any byte, parentheses included).
    const std::string_view stat(buffer, static_cast<std::size_t>(got));
    const std::size_t close = stat.rfind(')');
    if (close == std::string_view::npos || close + 2 >= stat.size()) {
        return std::nullopt;
    }
    ProcessStat result;
    result.state = stat[close + 2];
    std::string_view rest = stat.substr(close + 3);
    // Skip the parent's id, then read the group's.
    for (int field = 0; field < 2; ++field) {
        const std::size_t start = rest.find_first_not_of(' ');
        if (start == std::string_view::npos) {
            return result;
        }
        rest = rest.substr(start);
        const std::size_t end = std::min(rest.find(' '), rest.size());
        if (field == 1) {
            pid_t group = 0;
            const auto parsed = std::from_chars(rest.data(), rest.data() + end, group);
            if (parsed.ec == std::errc() && parsed.ptr == rest.data() + end) {
                result.group = group;
            }
        }
        rest = rest.substr(end);
    }
    return result;
}

}  // namespace posix

bool running_under_wine() {
    return false;
}

}  // namespace kavo
