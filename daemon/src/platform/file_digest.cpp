#include "platform/file_digest.h"

#include <cstdint>
#include <span>
#include <vector>

#include "platform/crypto.h"
#include "platform/hex.h"

namespace kavo {

namespace {

// Large enough for sequential reads at disk speed.
constexpr std::size_t DIGEST_BUFFER_SIZE = 256 * 1024;

}  // namespace

OsResult<std::string> sha256_hex(FileHandle& file) {
    std::vector<std::uint8_t> buffer(DIGEST_BUFFER_SIZE);
    Sha256 digest;
    for (;;) {
        auto got = file.read(buffer);
        if (!got) {
            return fail(std::move(got).error());
        }
        if (*got == 0) {
            return hex_lower(digest.finish());
        }
        digest.update(std::span<const std::uint8_t>(buffer).first(*got));
    }
}

OsResult<std::string> sha256_hex(const NativeString& path) {
    auto file = FileHandle::open(path, LinkAtPath::follow);
    if (!file) {
        return fail(std::move(file).error());
    }
    return sha256_hex(*file);
}

}  // namespace kavo
