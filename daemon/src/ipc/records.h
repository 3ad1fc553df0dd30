// IPC protocol, pure: the records that cross the service pipe. One connection
// carries challenge, client proof, session grant, one request and its response.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace kavo {

// First frame, daemon to client.
struct IpcChallenge {
    std::string challenge_id;
    std::string challenge;
    bool operator==(const IpcChallenge&) const = default;
};

// The client's answer to the challenge.
struct IpcClientProof {
    std::string challenge_id;
    std::string proof;
    bool operator==(const IpcClientProof&) const = default;
};

// The daemon's session grant.
struct IpcServerSession {
    std::string session_id;
    std::string proof;
    bool operator==(const IpcServerSession&) const = default;
};

// A tagged union: variants without data travel as a bare string holding their
// name, variants with data as a one-member object named after the variant.
struct IpcRequest {
    struct AcquireLease {
        bool operator==(const AcquireLease&) const = default;
    };
    struct RenewLease {
        std::string lease_id;
        bool operator==(const RenewLease&) const = default;
    };
    struct ReleaseLease {
        std::string lease_id;
        bool operator==(const ReleaseLease&) const = default;
    };
    struct StartCore {
        std::string lease_id;
        bool operator==(const StartCore&) const = default;
    };
    struct StopCore {
        std::string lease_id;
        bool operator==(const StopCore&) const = default;
    };
    struct Status {
        bool operator==(const Status&) const = default;
    };
    using Variant =
        std::variant<AcquireLease, RenewLease, ReleaseLease, StartCore, StopCore, Status>;

    Variant value;
    bool operator==(const IpcRequest&) const = default;
};

struct IpcResponse {
    struct Ok {
        bool operator==(const Ok&) const = default;
    };
    struct Lease {
        std::string lease_id;
        std::uint64_t expires_in_seconds = 0;
        bool operator==(const Lease&) const = default;
    };
    // Written as the message string itself, not as an object.
    struct Error {
        std::string message;
        bool operator==(const Error&) const = default;
    };
    struct Status {
        bool running = false;
        std::optional<std::string> core_binary_name;
        std::optional<std::uint32_t> protocol_version;
        std::optional<std::string> daemon_version;
        std::optional<std::string> core_sha256;
        bool lease_active = false;
        std::optional<std::uint64_t> lease_expires_in_seconds;
        bool operator==(const Status&) const = default;
    };
    using Variant = std::variant<Ok, Lease, Error, Status>;

    Variant value;
    bool operator==(const IpcResponse&) const = default;
};

// The one way an error text becomes a response. The client's strict reader
// refuses a body that is not UTF-8, so invalid sequences in the text (an OS
// message, a file name) become U+FFFD rather than costing the client the
// whole answer.
IpcResponse error_response(std::string_view message);

// Client to daemon: one request, signed over its canonical form.
struct IpcSessionRequest {
    std::string session_id;
    IpcRequest request;
    std::string proof;
    bool operator==(const IpcSessionRequest&) const = default;
};

// Daemon to client: the response and the proof over its serialised form.
struct IpcSessionResponse {
    std::string proof;
    IpcResponse response;
    bool operator==(const IpcSessionResponse&) const = default;
};

}  // namespace kavo
