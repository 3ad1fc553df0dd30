#include "ipc/proof.h"

#include "platform/crypto.h"
#include "platform/hex.h"

namespace kavo {

std::string proof_message(std::string_view label, std::string_view a, std::string_view b,
                          std::string_view c) {
    std::string message;
    message.reserve(label.size() + a.size() + b.size() + c.size() + 3);
    message += label;
    message.push_back('\0');
    message += a;
    message.push_back('\0');
    message += b;
    message.push_back('\0');
    message += c;
    return message;
}

std::string compute_proof(std::string_view secret, std::string_view label, std::string_view a,
                          std::string_view b, std::string_view c) {
    return hex_lower(hmac_sha256(secret, proof_message(label, a, b, c)));
}

std::optional<ProofBytes> decode_proof(std::string_view proof) {
    if (proof.size() != PROOF_DIGITS) {
        return std::nullopt;
    }
    const auto bytes = decode_hex(proof);
    if (!bytes || bytes->size() != PROOF_BYTES) {
        return std::nullopt;
    }
    ProofBytes out;
    for (std::size_t i = 0; i < PROOF_BYTES; ++i) {
        out[i] = (*bytes)[i];
    }
    return out;
}

bool proofs_equal(const ProofBytes& a, const ProofBytes& b) {
    std::uint8_t differences = 0;
    for (std::size_t i = 0; i < PROOF_BYTES; ++i) {
        std::uint8_t difference = static_cast<std::uint8_t>(a[i] ^ b[i]);
        // The empty asm makes the compiler treat each byte's result as
        // unknown, so it cannot turn the loop into an early exit.
        asm volatile("" : "+r"(difference));
        differences = static_cast<std::uint8_t>(differences | difference);
    }
    return differences == 0;
}

bool verify_proof(std::string_view secret, std::string_view label, std::string_view a,
                  std::string_view b, std::string_view c, std::string_view proof) {
    const auto received = decode_proof(proof);
    if (!received) {
        return false;
    }
    return proofs_equal(hmac_sha256(secret, proof_message(label, a, b, c)), *received);
}

}  // namespace kavo
