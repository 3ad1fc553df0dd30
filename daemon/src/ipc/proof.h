// IPC protocol: HMAC-SHA-256 proofs bound to one connection's challenge.
// Kept apart from the pure record code because the MAC comes from the
// platform's cryptographic provider.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace kavo {

inline constexpr std::string_view CLIENT_AUTH_LABEL = "client-auth";
inline constexpr std::string_view SERVER_SESSION_LABEL = "server-session";
inline constexpr std::string_view CLIENT_REQUEST_LABEL = "client-request";
inline constexpr std::string_view SERVER_RESPONSE_LABEL = "server-response";
// The fixed last part of the client's answer to the challenge.
inline constexpr std::string_view AUTH_VERSION_TAG = "auth-v5";

inline constexpr std::size_t PROOF_BYTES = 32;
inline constexpr std::size_t PROOF_DIGITS = 2 * PROOF_BYTES;

using ProofBytes = std::array<std::uint8_t, PROOF_BYTES>;

// label, 0x00, a, 0x00, b, 0x00, c: no terminator after c, no lengths.
std::string proof_message(std::string_view label, std::string_view a, std::string_view b,
                          std::string_view c);

// 64 lowercase hex digits of HMAC-SHA-256(secret, proof_message(...)).
std::string compute_proof(std::string_view secret, std::string_view label, std::string_view a,
                          std::string_view b, std::string_view c);

// Exactly 64 digits of either case, or nothing; checked before any MAC is
// computed so malformed proofs cost nothing.
std::optional<ProofBytes> decode_proof(std::string_view proof);

// Compares every byte whatever the first difference, so the time taken says
// nothing about where a forged proof goes wrong.
bool proofs_equal(const ProofBytes& a, const ProofBytes& b);

bool verify_proof(std::string_view secret, std::string_view label, std::string_view a,
                  std::string_view b, std::string_view c, std::string_view proof);

}  // namespace kavo
