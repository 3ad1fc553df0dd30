#include "platform/crypto.h"

#include <openssl/evp.h>

#include <cstdio>
#include <cstdlib>

namespace kavo {
namespace {

[[noreturn]] void crypto_failure(const char* what) {
    std::fprintf(stderr, "Cryptographic provider failed: %s\n", what);
    std::abort();
}

}  // namespace

struct Sha256::State {
    EVP_MD_CTX* context = nullptr;
    ~State() { EVP_MD_CTX_free(context); }
};

Sha256::Sha256() : state_(std::make_unique<State>()) {
    state_->context = EVP_MD_CTX_new();
    if (state_->context == nullptr ||
        EVP_DigestInit_ex(state_->context, EVP_sha256(), nullptr) != 1) {
        crypto_failure("SHA-256 init");
    }
}

Sha256::~Sha256() = default;

void Sha256::update(std::span<const std::uint8_t> bytes) {
    if (EVP_DigestUpdate(state_->context, bytes.data(), bytes.size()) != 1) {
        crypto_failure("SHA-256 update");
    }
}

Sha256Digest Sha256::finish() {
    Sha256Digest digest{};
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(state_->context, digest.data(), &length) != 1 ||
        length != digest.size()) {
        crypto_failure("SHA-256 final");
    }
    return digest;
}

Sha256Digest hmac_sha256(std::span<const std::uint8_t> key, std::span<const std::uint8_t> message) {
    Sha256Digest mac{};
    std::size_t length = 0;
    // EVP_Q_mac refuses a null key pointer even for an empty key.
    static const std::uint8_t empty = 0;
    const std::uint8_t* key_data = key.empty() ? &empty : key.data();
    if (EVP_Q_mac(nullptr, "HMAC", nullptr, "SHA256", nullptr, key_data, key.size(), message.data(),
                  message.size(), mac.data(), mac.size(), &length) == nullptr ||
        length != mac.size()) {
        crypto_failure("HMAC-SHA-256");
    }
    return mac;
}

}  // namespace kavo
