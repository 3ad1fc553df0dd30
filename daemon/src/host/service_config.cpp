#include "host/service_config.h"

#include <optional>

#include "platform/file_attributes.h"
#include "platform/fs.h"
#include "platform/hex.h"
#include "platform/process_info.h"
#include "platform/utf.h"

namespace kavo {
namespace {

bool is_option(const NativeString& argument, std::string_view option) {
    // Options are ASCII, so a native string equals one exactly when it has
    // the same length and the same code units.
    if (argument.size() != option.size()) {
        return false;
    }
    for (std::size_t i = 0; i < option.size(); ++i) {
        if (argument[i] != static_cast<NativeChar>(static_cast<unsigned char>(option[i]))) {
            return false;
        }
    }
    return true;
}

Result<std::string> validate_expected_hash(const NativeString& value) {
    std::optional<std::string> text = native_to_utf8(value);
    if (!text || text->size() != 64) {
        return fail(std::string(EXPECTED_CORE_SHA256_INVALID));
    }
    for (char c : *text) {
        if (!is_hex_digit(c)) {
            return fail(std::string(EXPECTED_CORE_SHA256_INVALID));
        }
    }
    return std::move(*text);
}

}  // namespace

Result<SecretBytes> load_identity(const NativeString& path) {
    const auto attributes = read_attributes_no_follow(path);
    if (!attributes) {
        return fail(std::string(IDENTITY_UNREADABLE));
    }
    if ((attributes->attributes & ATTRIBUTE_DIRECTORY) != 0 || is_link(*attributes)) {
        return fail(std::string(IDENTITY_INVALID));
    }
    auto content = read_whole_file(path);
    if (!content) {
        return fail(std::string(IDENTITY_UNREADABLE));
    }
    std::string& text = content.value();
    if (!is_valid_utf8(text)) {
        wipe_string(text);
        return fail(std::string(IDENTITY_UNREADABLE));
    }
    const std::string_view trimmed = trim_unicode_white_space(text);
    const bool valid = trimmed.size() >= MIN_IDENTITY_LEN && trimmed.size() <= MAX_IDENTITY_LEN;
    SecretBytes secret(valid ? trimmed : std::string_view());
    wipe_string(text);
    if (!valid) {
        return fail(std::string(IDENTITY_INVALID));
    }
    return secret;
}

Result<ServiceConfig> parse_service_config(std::span<const NativeString> arguments) {
    std::optional<NativeString> core_dir;
    std::optional<NativeString> identity_file;
    std::optional<SecretBytes> identity;
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
            auto loaded = load_identity(path);
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
    return ServiceConfig{std::move(*core_dir), std::move(*identity_file), std::move(*identity),
                         std::move(*expected_core_sha256)};
}

Result<ServiceConfig> load_service_config() {
    auto arguments = process_arguments();
    if (!arguments || arguments->empty()) {
        // The command line of a running process is always readable; should it
        // not be, the configuration is simply absent.
        return parse_service_config({});
    }
    return parse_service_config(std::span<const NativeString>(*arguments).subspan(1));
}

}  // namespace kavo
