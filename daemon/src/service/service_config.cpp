// The configuration rules: the argument walk, the expected hash and the
// identity text. Values in, values out; the identity file itself is read by
// the loader the caller passes in (service_config_load.cpp for the real one).
#include "service/service_config.h"

#include <optional>
#include <type_traits>

#include "platform/hex.h"
#include "platform/utf.h"

namespace kavo {
namespace {

bool is_option(const NativeString& argument, std::string_view option) {
    return equals_ascii(NativeView(argument), option);
}

Result<std::string> validate_expected_hash(const NativeString& value) {
    // An accepted value is 64 ASCII digits and letters, so the native code
    // units can be checked one by one: a non-ASCII character, an unpaired
    // surrogate or a byte of invalid UTF-8 is never a hexadecimal digit, and
    // 64 ASCII units are 64 bytes of UTF-8.
    if (value.size() != 64) {
        return fail(std::string(EXPECTED_CORE_SHA256_INVALID));
    }
    std::string text;
    text.reserve(value.size());
    for (const NativeChar c : value) {
        const auto unit = static_cast<std::make_unsigned_t<NativeChar>>(c);
        if (unit > 0x7F || !is_hex_digit(static_cast<char>(unit))) {
            return fail(std::string(EXPECTED_CORE_SHA256_INVALID));
        }
        text.push_back(static_cast<char>(unit));
    }
    return text;
}

}  // namespace

Result<SecretBytes> identity_from_file_bytes(std::string_view bytes) {
    if (bytes.size() > MAX_IDENTITY_FILE_LEN) {
        return fail(std::string(IDENTITY_INVALID));
    }
    if (!is_valid_utf8(bytes)) {
        return fail(std::string(IDENTITY_UNREADABLE));
    }
    const std::string_view trimmed = trim_unicode_white_space(bytes);
    if (trimmed.size() < MIN_IDENTITY_LEN || trimmed.size() > MAX_IDENTITY_LEN) {
        return fail(std::string(IDENTITY_INVALID));
    }
    return SecretBytes(trimmed);
}

Result<ServiceConfig> parse_service_config(std::span<const NativeString> arguments,
                                           const IdentityLoader& load_identity_from) {
    std::optional<NativeString> core_dir;
    std::optional<NativeString> identity_file;
    std::optional<LoadedIdentity> identity;
    std::optional<std::string> expected_core_sha256;

    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const NativeString& argument = arguments[i];
        const bool has_value = i + 1 < arguments.size();
        if (is_option(argument, CORE_DIR_OPTION)) {
            if (!has_value) {
                return fail(std::string(MISSING_CORE_DIR_VALUE));
            }
            core_dir = arguments[++i];
        } else if (is_option(argument, IDENTITY_FILE_OPTION)) {
            if (!has_value) {
                return fail(std::string(MISSING_IDENTITY_FILE_VALUE));
            }
            const NativeString& path = arguments[++i];
            auto loaded = load_identity_from(path);
            if (!loaded) {
                return fail(std::move(loaded).error());
            }
            identity_file = path;
            identity = std::move(loaded).value();
        } else if (is_option(argument, EXPECTED_CORE_SHA256_OPTION)) {
            if (!has_value) {
                return fail(std::string(MISSING_EXPECTED_CORE_SHA256_VALUE));
            }
            auto hash = validate_expected_hash(arguments[++i]);
            if (!hash) {
                return fail(std::move(hash).error());
            }
            expected_core_sha256 = std::move(hash).value();
        }
    }

    if (!core_dir) {
        return fail(std::string(CORE_DIR_NOT_CONFIGURED));
    }
    if (!identity) {
        return fail(std::string(IDENTITY_NOT_CONFIGURED));
    }
    if (!expected_core_sha256) {
        return fail(std::string(CORE_SHA256_NOT_CONFIGURED));
    }
    return ServiceConfig{std::move(*core_dir), std::move(*identity_file),
                         std::move(identity->secret), std::move(*expected_core_sha256),
                         identity->file};
}

}  // namespace kavo
