// Linux backend support: the one header that owns the POSIX includes and the
// owning descriptor type.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <optional>
#include <string_view>
#include <utility>

namespace kavo::posix {

// Owns one file descriptor; closes it exactly once.
class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) {
            reset();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int release() { return std::exchange(fd_, -1); }
    void reset(int fd = -1) {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = fd;
    }

  private:
    int fd_ = -1;
};

// What the system lists of one process: its state letter ('Z' once it has
// ended but is not yet reaped, 'X' while it is being reaped) and the id of
// its process group. Nothing when there is no such process.
struct ProcessStat {
    char state = 0;
    pid_t group = -1;

    bool ended() const { return state == 'Z' || state == 'X'; }
};
std::optional<ProcessStat> read_process_stat(pid_t pid);

// The abstract Unix socket address named after a pipe: a leading NUL, then
// the name's bytes, no terminator. Nothing when the name does not fit.
struct AbstractAddress {
    sockaddr_un address{};
    socklen_t length = 0;
};

inline std::optional<AbstractAddress> abstract_address(std::string_view name) {
    AbstractAddress result;
    result.address.sun_family = AF_UNIX;
    if (name.size() + 1 > sizeof result.address.sun_path) {
        return std::nullopt;
    }
    name.copy(result.address.sun_path + 1, name.size());
    result.length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    return result;
}

}  // namespace kavo::posix
