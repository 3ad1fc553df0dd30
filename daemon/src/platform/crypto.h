// Platform seam: SHA-256 and HMAC-SHA-256 (CNG on Windows, OpenSSL 3 on Linux).
// The providers are part of the operating system; a failure inside them is
// treated as a broken machine and ends the process (see crypto.cpp of each
// backend), so these calls have no error path.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string_view>

namespace kavo {

using Sha256Digest = std::array<std::uint8_t, 32>;

// Streaming SHA-256, for data that is not held in memory at once.
class Sha256 {
  public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    void update(std::span<const std::uint8_t> bytes);
    void update(std::string_view bytes);
    // Ends the computation; the object must not be used afterwards.
    Sha256Digest finish();

  private:
    struct State;
    std::unique_ptr<State> state_;
};

Sha256Digest sha256(std::span<const std::uint8_t> bytes);
Sha256Digest sha256(std::string_view bytes);

// HMAC-SHA-256 (RFC 2104); keys longer than the 64-byte block are hashed first.
Sha256Digest hmac_sha256(std::span<const std::uint8_t> key, std::span<const std::uint8_t> message);
Sha256Digest hmac_sha256(std::string_view key, std::string_view message);

}  // namespace kavo
