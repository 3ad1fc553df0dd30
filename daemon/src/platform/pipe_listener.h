// Platform seam: the listening side of the service pipe, shaped for an accept
// cycle that keeps one listening instance and waits on it again and again. On
// Windows an instance is one named pipe server instance on the completion
// port, and the name exists for as long as any instance does; on Linux the
// endpoint binds one abstract Unix stream socket, named after the pipe, for
// its whole life, and an instance is the right to accept on it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>

#include "platform/local_stream.h"
#include "platform/os_error.h"

namespace kavo {

// The access list of every pipe instance: protected; LocalSystem and the
// Administrators get everything; Authenticated Users read and write data
// (FILE_GENERIC_READ | FILE_GENERIC_WRITE without FILE_CREATE_PIPE_INSTANCE,
// so they cannot add server instances of the name). The mask is written as
// the system writes it back.
inline constexpr std::string_view PIPE_SDDL = "D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;0x12019b;;;AU)";

// Both directions of one instance buffer this much.
inline constexpr std::uint32_t PIPE_BUFFER_SIZE = 65536;

class PipeInstance;

// How many creation attempts an endpoint remembers: a service creates an
// instance every cycle for as long as it runs, so the record must not grow
// with each.
inline constexpr std::size_t FIRST_INSTANCE_REQUESTS_KEPT = 8;

// The listening side of one pipe name for one run of a server. Its first
// instance asks to be the first of the name, so that a second server of the
// same name is refused there; later instances do not ask.
class PipeEndpoint {
  public:
    // Creates nothing yet; `name` is the pipe's path, e.g. "\\.\pipe\x".
    PipeEndpoint(asio::any_io_executor executor, std::string name);
    ~PipeEndpoint();
    PipeEndpoint(PipeEndpoint&&) noexcept;
    PipeEndpoint& operator=(PipeEndpoint&&) noexcept;

    const std::string& name() const;

    // One more instance, listening at once: a client may open it before any
    // wait on it. For the first instance, another server already holding
    // the name shows here as access denied. An instance must not outlive its
    // endpoint.
    OsResult<PipeInstance> create_instance();

    // The first-instance request each of the first creation attempts made
    // (FIRST_INSTANCE_REQUESTS_KEPT of them), in order, so tests can check it
    // where the system does not enforce it.
    const std::vector<bool>& first_instance_requests() const;

    struct Impl;

  private:
    std::unique_ptr<Impl> impl_;
};

// One listening instance; closed when dropped. Once a client connected, the
// instance is spent: its handle went to the client's stream.
class PipeInstance {
  public:
    struct Impl;
    explicit PipeInstance(std::unique_ptr<Impl> impl);
    ~PipeInstance();
    PipeInstance(PipeInstance&&) noexcept;
    PipeInstance& operator=(PipeInstance&&) noexcept;

    Impl& impl() { return *impl_; }

    // The access list the instance carries, in SDDL form (DACL only), so
    // tests can check what the creation applied. Nothing on Linux, where an
    // abstract socket has no access list.
    OsResult<std::optional<std::string>> access_text();

  private:
    std::unique_ptr<Impl> impl_;
};

struct PipeWaitTimedOut {
    bool operator==(const PipeWaitTimedOut&) const = default;
};

// Connected (the stream of the client), timed out, or failed.
using PipeWaitOutcome = std::variant<LocalStream, PipeWaitTimedOut, OsError>;

// Waits for a client on `instance` for at most `limit`, counted from the
// start of the wait. A client that connected before the wait began, one that
// connected and already left, and one that opened the instance while the
// timed-out wait was being called off, count as connected; the instance is
// then spent. After a time-out the instance keeps listening, and the next
// wait on it picks up a client that came in between. After a failure it is
// left as it is, for the caller to replace. Nothing is pending on the
// instance once this returns.
asio::awaitable<PipeWaitOutcome> wait_for_client(PipeInstance& instance,
                                                 std::chrono::milliseconds limit);

// Whether a server of the pipe `name` exists at this moment, asked without
// connecting. Windows: WaitNamedPipeW with a 1 ms limit (an instance free, or
// all of them busy, means present; no such name means absent). Linux: a
// listening socket bound to the abstract name.
OsResult<bool> pipe_name_present(std::string_view name);

// Whether this system refuses a second server of a name whose first instance
// asked to be the first (Wine does not).
bool first_instance_is_enforced();

}  // namespace kavo
