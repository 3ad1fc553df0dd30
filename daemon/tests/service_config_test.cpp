// The daemon's configuration from its command line, with the identity file.
#include "host/service_config.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "test_support.h"

namespace kavo {
namespace {

const std::string HASH_LOWER(64, 'a');
const std::string HASH_UPPER = "0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF";
const std::string SECRET_32(32, 's');

NativeString n(const std::string& text) {
    return utf8_to_native(text);
}

class ServiceConfigTest : public ::testing::Test {
  protected:
    ServiceConfigTest() {
        testing::write_file(dir_.path() / "good", SECRET_32 + "\r\n");
        testing::write_file(dir_.path() / "other", std::string(40, 'o'));
        testing::write_file(dir_.path() / "short", std::string(31, 'x') + "\n");
        std::filesystem::create_directory(dir_.path() / "directory");
    }

    NativeString path(const std::string& name) const { return dir_.native(name); }

    // Arguments as UTF-8 text; "@name" stands for the path of a file in the
    // test directory.
    std::vector<NativeString> args(std::initializer_list<std::string> list) const {
        std::vector<NativeString> out;
        for (const auto& item : list) {
            out.push_back(item.starts_with("@") ? path(item.substr(1)) : n(item));
        }
        return out;
    }

    testing::TempDir dir_;
};

TEST_F(ServiceConfigTest, ValidConfigurationKeepsValuesAsGiven) {
    const auto config =
        parse_service_config(args({"--install-service", "--core-dir", "C:\\core", "--identity-file",
                                   "@good", "--expected-core-sha256", HASH_UPPER}));
    ASSERT_TRUE(config) << config.error();
    EXPECT_EQ(config->core_dir, n("C:\\core"));
    EXPECT_EQ(config->identity_file, path("good"));
    EXPECT_EQ(config->identity.view(), SECRET_32);
    EXPECT_EQ(config->expected_core_sha256, HASH_UPPER);  // stored as typed
}

TEST_F(ServiceConfigTest, FailuresAndPrecedence) {
    struct Case {
        const char* what;
        std::vector<NativeString> arguments;
        const char* message;
    } cases[] = {
        {"nothing at all", args({}), "The service must be configured with a core directory"},
        {"core dir last",
         args({"--identity-file", "@good", "--expected-core-sha256", HASH_LOWER, "--core-dir"}),
         "Missing value for --core-dir"},
        {"identity last", args({"--core-dir", "d", "--identity-file"}),
         "Missing value for --identity-file"},
        {"hash last", args({"--core-dir", "d", "--expected-core-sha256"}),
         "Missing value for --expected-core-sha256"},
        {"core dir consumes the identity option",
         args({"--core-dir", "--identity-file", "@good", "--expected-core-sha256", HASH_LOWER}),
         "The service must be configured with an IPC identity"},
        {"no hash", args({"--core-dir", "d", "--identity-file", "@good"}),
         "The service must be configured with a core hash"},
        {"identity checked before hash", args({"--core-dir", "d"}),
         "The service must be configured with an IPC identity"},
        {"63 digits", args({"--expected-core-sha256", std::string(63, 'a')}),
         "Invalid expected core hash"},
        {"65 digits", args({"--expected-core-sha256", std::string(65, 'a')}),
         "Invalid expected core hash"},
        {"letter beyond f", args({"--expected-core-sha256", std::string(63, 'a') + "g"}),
         "Invalid expected core hash"},
        {"64 bytes but not 64 digits",
         args({"--expected-core-sha256", std::string(62, 'a') + "\xC3\xA9"}),
         "Invalid expected core hash"},
        // The first failure ends the walk: the missing value later is not seen.
        {"first failure wins", args({"--expected-core-sha256", "zz", "--core-dir"}),
         "Invalid expected core hash"},
        {"missing identity file", args({"--identity-file", "@missing", "--core-dir"}),
         "Failed to read service identity"},
        {"directory as identity", args({"--identity-file", "@directory"}),
         "Invalid service identity"},
        {"31 bytes after trimming", args({"--identity-file", "@short"}),
         "Invalid service identity"},
        // Both files are loaded; a bad later one fails even after a good one.
        {"bad later identity",
         args({"--core-dir", "d", "--identity-file", "@good", "--identity-file", "@short",
               "--expected-core-sha256", HASH_LOWER}),
         "Invalid service identity"},
        // A known option in another letter case is skipped, and so is its value.
        {"option case matters", args({"--Core-Dir", "--core-dir"}), "Missing value for --core-dir"},
        {"prefix is not the option",
         args({"--core-dirx", "d", "--identity-file", "@good", "--expected-core-sha256",
               HASH_LOWER}),
         "The service must be configured with a core directory"},
    };
    for (const auto& c : cases) {
        const auto config = parse_service_config(c.arguments);
        ASSERT_FALSE(config) << c.what;
        EXPECT_EQ(config.error(), c.message) << c.what;
    }
}

TEST_F(ServiceConfigTest, LaterValuesWin) {
    const auto config = parse_service_config(
        args({"--core-dir", "first", "--identity-file", "@good", "--expected-core-sha256",
              HASH_UPPER, "--core-dir", "second", "--identity-file", "@other",
              "--expected-core-sha256", HASH_LOWER}));
    ASSERT_TRUE(config) << config.error();
    EXPECT_EQ(config->core_dir, n("second"));
    EXPECT_EQ(config->identity_file, path("other"));
    EXPECT_EQ(config->identity.view(), std::string(40, 'o'));
    EXPECT_EQ(config->expected_core_sha256, HASH_LOWER);
}

TEST_F(ServiceConfigTest, HashThatIsNotUnicodeIsRefused) {
#if defined(_WIN32)
    NativeString value(63, L'a');
    value.push_back(static_cast<wchar_t>(0xD800));  // unpaired surrogate
#else
    NativeString value(63, 'a');
    value.push_back('\xFF');
#endif
    const std::vector<NativeString> arguments = {n("--expected-core-sha256"), value};
    const auto config = parse_service_config(arguments);
    ASSERT_FALSE(config);
    EXPECT_EQ(config.error(), "Invalid expected core hash");
}

TEST(IdentityTest, TrimmingAndLengthLimits) {
    const std::string bom = "\xEF\xBB\xBF";
    const std::string ideographic_space = "\xE3\x80\x80";
    const std::string nbsp = "\xC2\xA0";
    const std::string line_separator = "\xE2\x80\xA8";
    std::string two_byte_16;  // 16 characters, 32 bytes
    for (int i = 0; i < 16; ++i)
        two_byte_16 += "\xC3\xA9";
    struct Case {
        const char* what;
        std::string content;
        std::optional<std::string> secret;  // nullopt: "Invalid service identity"
    } cases[] = {
        {"exactly 32", SECRET_32, SECRET_32},
        {"32 with ASCII white space", " \t" + SECRET_32 + "\r\n\v\f", SECRET_32},
        {"31 plus a line break", std::string(31, 'x') + "\n", std::nullopt},
        {"exactly 256", "\n" + std::string(256, 'k') + "\n", std::string(256, 'k')},
        {"257", std::string(257, 'k'), std::nullopt},
        {"white space only", " \r\n\t  \n", std::nullopt},
        {"empty", "", std::nullopt},
        {"inner white space kept", std::string(16, 'a') + "  \t" + std::string(16, 'b'),
         std::string(16, 'a') + "  \t" + std::string(16, 'b')},
        {"Unicode white space trimmed", ideographic_space + SECRET_32 + nbsp + line_separator,
         SECRET_32},
        // The byte-order mark is not white space: its three bytes belong to it.
        {"byte-order mark kept", bom + std::string(29, 'm') + "\n", bom + std::string(29, 'm')},
        {"byte-order mark counts", bom + std::string(28, 'm'), std::nullopt},
        // Length is counted in bytes, not characters.
        {"multi-byte characters", two_byte_16, two_byte_16},
    };
    testing::TempDir dir;
    int index = 0;
    for (const auto& c : cases) {
        const std::string name = "identity" + std::to_string(index++);
        testing::write_file(dir.path() / name, c.content);
        const auto secret = load_identity(dir.native(name));
        if (c.secret) {
            ASSERT_TRUE(secret) << c.what << ": " << secret.error();
            EXPECT_EQ(secret->view(), *c.secret) << c.what;
        } else {
            ASSERT_FALSE(secret) << c.what;
            EXPECT_EQ(secret.error(), "Invalid service identity") << c.what;
        }
    }
}

TEST(IdentityTest, InvalidUtf8IsUnreadable) {
    testing::TempDir dir;
    testing::write_file(dir.path() / "id", std::string(40, 'a') + "\xFF");
    const auto secret = load_identity(dir.native("id"));
    ASSERT_FALSE(secret);
    EXPECT_EQ(secret.error(), "Failed to read service identity");
}

TEST(IdentityTest, SymbolicLinkToGoodFileIsRefused) {
    testing::TempDir dir;
    testing::write_file(dir.path() / "target", SECRET_32);
    std::error_code error;
    std::filesystem::create_symlink(dir.path() / "target", dir.path() / "link", error);
    if (error) {
        GTEST_SKIP() << "symbolic links are unavailable here: " << error.message();
    }
    const auto secret = load_identity(dir.native("link"));
    ASSERT_FALSE(secret);
    EXPECT_EQ(secret.error(), "Invalid service identity");
}

TEST(ServiceConfigProcessTest, ReadsTheProcessCommandLine) {
    // The test executable runs without configuration options.
    const auto config = load_service_config();
    ASSERT_FALSE(config);
    EXPECT_EQ(config.error(), "The service must be configured with a core directory");
}

}  // namespace
}  // namespace kavo
