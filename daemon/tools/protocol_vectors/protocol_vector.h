// The example connections of docs/protocol-vectors.json: what the service
// held when a connection began, the bytes its random source gave, and every
// frame that crossed the pipe. Written by the protocol-vectors tool, read
// back by the tests that hold them true.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/result.h"

namespace kavo {

inline constexpr std::string_view FRAME_FROM_SERVICE = "service";
inline constexpr std::string_view FRAME_FROM_CLIENT = "client";

struct VectorFrame {
    // FRAME_FROM_SERVICE or FRAME_FROM_CLIENT.
    std::string from;
    // The frame body; the file also holds the whole frame, length prefix
    // included, in hex.
    std::string body;
    bool operator==(const VectorFrame&) const = default;
};

struct VectorLease {
    std::string lease_id;
    // From the moment of the connection to the lease's expiry; negative for
    // a lease that expired that long before and was not reclaimed yet.
    std::int64_t expires_in_ms = 0;
    bool operator==(const VectorLease&) const = default;
};

// What the service held when the connection began.
struct VectorServiceState {
    // The digest of its core executable, as Status reports it.
    std::string core_sha256;
    std::optional<VectorLease> lease;
    // A core started under the lease is running.
    bool core_running = false;
    bool operator==(const VectorServiceState&) const = default;
};

struct ProtocolVector {
    std::string name;
    // The identity secret as it enters the HMAC.
    std::string identity;
    // The secret the client used instead, when it is not the identity.
    std::optional<std::string> client_identity;
    // What the client does wrong on purpose, when it does.
    std::optional<std::string> client_mistake;
    VectorServiceState service_state;
    // The bytes the service drew from its random source, 16 per identifier,
    // in the order drawn.
    std::vector<std::string> service_random;
    std::vector<VectorFrame> frames;
    bool operator==(const ProtocolVector&) const = default;
};

// The whole file: two-space indented JSON ending in a line feed.
std::string protocol_vectors_json(const std::vector<ProtocolVector>& vectors);

// Reads the file back. Every member is checked, and each frame's hex must be
// its body behind the right length prefix.
Result<std::vector<ProtocolVector>> parse_protocol_vectors(std::string_view text);

// The whole frame as it crosses the pipe: the 4-byte little-endian length,
// then the body.
std::string frame_bytes(std::string_view body);

}  // namespace kavo
