#include "platform/crypto.h"

namespace kavo {
namespace {

std::span<const std::uint8_t> as_bytes(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

}  // namespace

void Sha256::update(std::string_view bytes) {
    update(as_bytes(bytes));
}

Sha256Digest sha256(std::span<const std::uint8_t> bytes) {
    Sha256 hash;
    hash.update(bytes);
    return hash.finish();
}

Sha256Digest sha256(std::string_view bytes) {
    return sha256(as_bytes(bytes));
}

Sha256Digest hmac_sha256(std::string_view key, std::string_view message) {
    return hmac_sha256(as_bytes(key), as_bytes(message));
}

}  // namespace kavo
