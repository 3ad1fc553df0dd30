#include "platform/crypto.h"

#include <cstdio>
#include <cstdlib>
#include <limits>

#include "platform/win32/cng.h"

namespace kavo {
namespace {

[[noreturn]] void crypto_failure(const char* what) {
    std::fprintf(stderr, "Cryptographic provider failed: %s\n", what);
    std::abort();
}

bool succeeded(NTSTATUS status) {
    return status >= 0;
}

const win32::CngFunctions& functions() {
    const auto& loaded = win32::cng();
    if (!loaded) {
        crypto_failure("load bcrypt.dll from the system directory");
    }
    return *loaded;
}

// CNG takes ULONG lengths; larger inputs are fed in pieces.
constexpr std::size_t MAX_CHUNK = std::numeric_limits<ULONG>::max();

BCRYPT_ALG_HANDLE open_provider(const wchar_t* algorithm, ULONG flags) {
    BCRYPT_ALG_HANDLE handle = nullptr;
    if (!succeeded(functions().open_algorithm_provider(&handle, algorithm, nullptr, flags))) {
        crypto_failure("open algorithm provider");
    }
    return handle;
}

// One provider per algorithm for the life of the process; CNG providers are
// safe to share between threads.
BCRYPT_ALG_HANDLE sha256_provider() {
    static const BCRYPT_ALG_HANDLE handle = open_provider(BCRYPT_SHA256_ALGORITHM, 0);
    return handle;
}

BCRYPT_ALG_HANDLE hmac_provider() {
    static const BCRYPT_ALG_HANDLE handle =
        open_provider(BCRYPT_SHA256_ALGORITHM, BCRYPT_ALG_HANDLE_HMAC_FLAG);
    return handle;
}

void hash_data(BCRYPT_HASH_HANDLE hash, std::span<const std::uint8_t> bytes) {
    while (!bytes.empty()) {
        const std::size_t chunk = bytes.size() < MAX_CHUNK ? bytes.size() : MAX_CHUNK;
        if (!succeeded(functions().hash_data(hash, const_cast<PUCHAR>(bytes.data()),
                                             static_cast<ULONG>(chunk), 0))) {
            crypto_failure("hash data");
        }
        bytes = bytes.subspan(chunk);
    }
}

}  // namespace

struct Sha256::State {
    BCRYPT_HASH_HANDLE hash = nullptr;
    ~State() {
        if (hash != nullptr) {
            functions().destroy_hash(hash);
        }
    }
};

Sha256::Sha256() : state_(std::make_unique<State>()) {
    if (!succeeded(
            functions().create_hash(sha256_provider(), &state_->hash, nullptr, 0, nullptr, 0, 0))) {
        crypto_failure("create SHA-256");
    }
}

Sha256::~Sha256() = default;

void Sha256::update(std::span<const std::uint8_t> bytes) {
    hash_data(state_->hash, bytes);
}

Sha256Digest Sha256::finish() {
    Sha256Digest digest{};
    if (!succeeded(functions().finish_hash(state_->hash, digest.data(), digest.size(), 0))) {
        crypto_failure("finish SHA-256");
    }
    return digest;
}

Sha256Digest hmac_sha256(std::span<const std::uint8_t> key, std::span<const std::uint8_t> message) {
    if (key.size() > MAX_CHUNK) {
        crypto_failure("HMAC key too long");
    }
    // CNG applies the RFC 2104 rule for keys longer than the block itself.
    BCRYPT_HASH_HANDLE hash = nullptr;
    if (!succeeded(functions().create_hash(hmac_provider(), &hash, nullptr, 0,
                                           const_cast<PUCHAR>(key.data()),
                                           static_cast<ULONG>(key.size()), 0))) {
        crypto_failure("create HMAC-SHA-256");
    }
    hash_data(hash, message);
    Sha256Digest mac{};
    const bool finished = succeeded(functions().finish_hash(hash, mac.data(), mac.size(), 0));
    functions().destroy_hash(hash);
    if (!finished) {
        crypto_failure("finish HMAC-SHA-256");
    }
    return mac;
}

}  // namespace kavo
