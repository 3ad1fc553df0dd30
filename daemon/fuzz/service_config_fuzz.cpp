// The configuration rules over arbitrary argument lists and identity-file
// bytes. The input is: two bytes (little endian) giving the length of the
// identity-file bytes, those bytes, then the arguments separated by NUL. An
// argument of the single byte 1, 2 or 3 stands for one of the three option
// names, so that short inputs reach every branch.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "platform/hex.h"
#include "platform/utf.h"
#include "service/service_config.h"

namespace {

using namespace kavo;

void check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

std::vector<std::string> split_arguments(std::string_view text) {
    std::vector<std::string> arguments;
    if (text.empty()) {
        return arguments;
    }
    for (;;) {
        const std::size_t end = text.find('\0');
        std::string argument(text.substr(0, end));
        if (argument.size() == 1 && argument[0] >= 1 && argument[0] <= 3) {
            constexpr std::array<std::string_view, 3> OPTIONS = {
                CORE_DIR_OPTION, IDENTITY_FILE_OPTION, EXPECTED_CORE_SHA256_OPTION};
            argument = std::string(OPTIONS[static_cast<std::size_t>(argument[0] - 1)]);
        }
        arguments.push_back(std::move(argument));
        if (end == std::string_view::npos) {
            return arguments;
        }
        text.remove_prefix(end + 1);
    }
}

// The code points of valid UTF-8 text.
std::vector<char32_t> code_points(std::string_view text) {
    std::vector<char32_t> points;
    for (std::size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        char32_t point = length == 1 ? lead : lead & (0x7F >> length);
        for (std::size_t k = 1; k < length; ++k) {
            point = (point << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
        }
        points.push_back(point);
        i += length;
    }
    return points;
}

bool all_white_space(std::string_view text) {
    for (const char32_t point : code_points(text)) {
        if (!is_unicode_white_space(point)) {
            return false;
        }
    }
    return true;
}

// An accepted secret is the file's text with exactly its surrounding white
// space removed.
void check_secret(std::string_view file, std::string_view secret) {
    check(secret.size() >= MIN_IDENTITY_LEN && secret.size() <= MAX_IDENTITY_LEN);
    check(file.size() <= MAX_IDENTITY_FILE_LEN);
    check(is_valid_utf8(file) && is_valid_utf8(secret));
    const std::vector<char32_t> points = code_points(secret);
    check(!is_unicode_white_space(points.front()) && !is_unicode_white_space(points.back()));
    const std::size_t at = file.find(secret);
    check(at != std::string_view::npos);
    check(all_white_space(file.substr(0, at)));
    check(all_white_space(file.substr(at + secret.size())));
}

void check_identity_rules(std::string_view file) {
    const auto secret = identity_from_file_bytes(file);
    if (secret) {
        check_secret(file, secret->view());
        return;
    }
    const std::string& message = secret.error();
    if (file.size() > MAX_IDENTITY_FILE_LEN) {
        check(message == IDENTITY_INVALID);
    } else if (!is_valid_utf8(file)) {
        check(message == IDENTITY_UNREADABLE);
    } else {
        check(message == IDENTITY_INVALID);
        const std::size_t trimmed = trim_unicode_white_space(file).size();
        check(trimmed < MIN_IDENTITY_LEN || trimmed > MAX_IDENTITY_LEN);
    }
}

bool is_argument(const std::vector<std::string>& arguments, std::string_view value) {
    for (const auto& argument : arguments) {
        if (argument == value) {
            return true;
        }
    }
    return false;
}

void check_walk(const std::vector<std::string>& arguments, std::string_view file) {
    // A path starting with "x" stands for a file that cannot be read.
    const IdentityLoader loader = [file](const NativeString& path) -> Result<LoadedIdentity> {
        if (path.starts_with("x")) {
            return fail(std::string(IDENTITY_UNREADABLE));
        }
        KAVO_TRY(SecretBytes secret, identity_from_file_bytes(file));
        return LoadedIdentity{std::move(secret), std::nullopt};
    };
    const auto config = parse_service_config(arguments, loader);
    if (!config) {
        static constexpr std::array<std::string_view, 9> MESSAGES = {
            MISSING_CORE_DIR_VALUE,
            MISSING_IDENTITY_FILE_VALUE,
            MISSING_EXPECTED_CORE_SHA256_VALUE,
            IDENTITY_UNREADABLE,
            IDENTITY_INVALID,
            EXPECTED_CORE_SHA256_INVALID,
            CORE_DIR_NOT_CONFIGURED,
            IDENTITY_NOT_CONFIGURED,
            CORE_SHA256_NOT_CONFIGURED,
        };
        bool known = false;
        for (const auto message : MESSAGES) {
            known = known || config.error() == message;
        }
        check(known);
        return;
    }
    const std::string& hash = config->expected_core_sha256;
    check(hash.size() == 64);
    for (const char c : hash) {
        check(is_hex_digit(c));
    }
    check(is_argument(arguments, hash));
    check(is_argument(arguments, config->core_dir));
    check(is_argument(arguments, config->identity_file));
    check(!config->identity_file.starts_with("x"));
    check_secret(file, config->identity.view());
    // Each option needs its value, so an accepted list holds at least six.
    check(arguments.size() >= 6);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    std::size_t file_size = 0;
    if (input.size() >= 2) {
        file_size = static_cast<std::size_t>(data[0]) | (static_cast<std::size_t>(data[1]) << 8);
    }
    const std::string_view rest = input.substr(input.size() >= 2 ? 2 : input.size());
    const std::string_view file = rest.substr(0, file_size);
    const std::string_view argument_text = rest.substr(file.size());

    check_identity_rules(file);
    check_walk(split_arguments(argument_text), file);
    return 0;
}
