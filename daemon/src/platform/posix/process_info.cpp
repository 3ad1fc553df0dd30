#include "platform/process_info.h"

#include <climits>
#include <string>

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

bool running_under_wine() {
    return false;
}

}  // namespace kavo
