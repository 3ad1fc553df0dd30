// The daemon's configuration from its command line, with the identity file.
#include "service/service_config.h"

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

TEST_F(ServiceConfigTest, IdentityLoaderSeesEachIdentityOptionInTurn) {
    std::vector<NativeString> loaded;
    const IdentityLoader loader = [&](const NativeString& path) -> Result<LoadedIdentity> {
        loaded.push_back(path);
        if (path == n("refused")) {
            return fail(std::string("Failed to read service identity"));
        }
        return LoadedIdentity{SecretBytes(std::string(32, static_cast<char>('a' + loaded.size()))),
                              FileIdentity{1, 0, loaded.size()}};
    };
    const auto config =
        parse_service_config(args({"--identity-file", "one", "--core-dir", "d", "--identity-file",
                                   "two", "--expected-core-sha256", HASH_LOWER}),
                             loader);
    ASSERT_TRUE(config) << config.error();
    EXPECT_EQ(loaded, (std::vector<NativeString>{n("one"), n("two")}));
    EXPECT_EQ(config->identity_file, n("two"));
    EXPECT_EQ(config->identity.view(), std::string(32, 'c'));
    // The file the installer may delete is the one the later identity came from.
    EXPECT_EQ(config->identity_file_id, (FileIdentity{1, 0, 2}));

    // The loader's message is the result, and the walk ends there.
    loaded.clear();
    const auto refused = parse_service_config(
        args({"--identity-file", "refused", "--identity-file", "never", "--core-dir"}), loader);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error(), "Failed to read service identity");
    EXPECT_EQ(loaded, (std::vector<NativeString>{n("refused")}));
}

TEST(IdentityTest, TrimmingLengthAndSizeLimits) {
    const std::string bom = "\xEF\xBB\xBF";
    const std::string ideographic_space = "\xE3\x80\x80";
    const std::string nbsp = "\xC2\xA0";
    const std::string line_separator = "\xE2\x80\xA8";
    std::string two_byte_16;  // 16 characters, 32 bytes
    for (int i = 0; i < 16; ++i)
        two_byte_16 += "\xC3\xA9";
    // Padding that brings a file with SECRET_32 in it to exactly `size` bytes.
    const auto padded = [](std::size_t size) {
        return std::string(size - SECRET_32.size() - 1, ' ') + SECRET_32 + "\n";
    };
    const char* invalid = "Invalid service identity";
    const char* unreadable = "Failed to read service identity";
    struct Case {
        const char* what;
        std::string content;
        std::optional<std::string> secret;
        const char* message;  // when there is no secret
    } cases[] = {
        {"exactly 32", SECRET_32, SECRET_32, nullptr},
        {"32 with ASCII white space", " \t" + SECRET_32 + "\r\n\v\f", SECRET_32, nullptr},
        {"31 plus a line break", std::string(31, 'x') + "\n", std::nullopt, invalid},
        {"exactly 256", "\n" + std::string(256, 'k') + "\n", std::string(256, 'k'), nullptr},
        {"257", std::string(257, 'k'), std::nullopt, invalid},
        {"white space only", " \r\n\t  \n", std::nullopt, invalid},
        {"empty", "", std::nullopt, invalid},
        {"inner white space kept", std::string(16, 'a') + "  \t" + std::string(16, 'b'),
         std::string(16, 'a') + "  \t" + std::string(16, 'b'), nullptr},
        {"Unicode white space trimmed", ideographic_space + SECRET_32 + nbsp + line_separator,
         SECRET_32, nullptr},
        // The byte-order mark is not white space: its three bytes belong to it.
        {"byte-order mark kept", bom + std::string(29, 'm') + "\n", bom + std::string(29, 'm'),
         nullptr},
        {"byte-order mark counts", bom + std::string(28, 'm'), std::nullopt, invalid},
        // Length is counted in bytes, not characters.
        {"multi-byte characters", two_byte_16, two_byte_16, nullptr},
        {"not UTF-8", std::string(40, 'a') + "\xFF", std::nullopt, unreadable},
        {"a lone continuation byte", SECRET_32 + "\x80", std::nullopt, unreadable},
        // The file is bounded, whatever its white space would trim down to.
        {"file of exactly 4096 bytes", padded(4096), SECRET_32, nullptr},
        {"file of 4097 bytes", padded(4097), std::nullopt, invalid},
        {"huge file of invalid text", std::string(5000, '\xFF'), std::nullopt, invalid},
    };
    testing::TempDir dir;
    int index = 0;
    for (const auto& c : cases) {
        // The rules alone, and the same rules behind a real file.
        const std::string name = "identity" + std::to_string(index++);
        testing::write_file(dir.path() / name, c.content);
        const Result<SecretBytes> results[] = {identity_from_file_bytes(c.content),
                                               load_identity(dir.native(name))};
        for (const auto& secret : results) {
            if (c.secret) {
                ASSERT_TRUE(secret) << c.what << ": " << secret.error();
                EXPECT_EQ(secret->view(), *c.secret) << c.what;
            } else {
                ASSERT_FALSE(secret) << c.what;
                EXPECT_EQ(secret.error(), c.message) << c.what;
            }
        }
    }
}

TEST(IdentityTest, WhatIsAtThePath) {
    testing::TempDir dir;
    testing::write_file(dir.path() / "target", SECRET_32);
    std::filesystem::create_directory(dir.path() / "directory");
    std::error_code error;
    std::filesystem::create_symlink(dir.path() / "target", dir.path() / "link", error);
    const bool have_link = !error;
    const bool have_fifo = testing::make_fifo(dir.path() / "fifo");
    struct Case {
        const char* name;
        const char* message;
        bool available;
    } cases[] = {
        {"missing", "Failed to read service identity", true},
        {"directory", "Invalid service identity", true},
        {"link", "Invalid service identity", have_link},
        // Not a file: unreadable, and an open that would wait for a writer
        // must not hold up the start.
        {"fifo", "Failed to read service identity", have_fifo},
    };
    for (const auto& c : cases) {
        if (!c.available) {
            continue;
        }
        const NativeString path = dir.native(c.name);
        const auto secret =
            testing::run_with_deadline<Result<SecretBytes>>([path] { return load_identity(path); });
        ASSERT_TRUE(secret.has_value()) << c.name << ": loading blocked";
        ASSERT_FALSE(*secret) << c.name;
        EXPECT_EQ(secret->error(), c.message) << c.name;
    }
}

TEST(ServiceConfigProcessTest, ReadsTheProcessCommandLine) {
    // The test executable runs without configuration options.
    const auto config = load_service_config();
    ASSERT_FALSE(config);
    EXPECT_EQ(config.error(), "The service must be configured with a core directory");
}

}  // namespace
}  // namespace kavo
