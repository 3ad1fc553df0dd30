// Staging of the runtime files into a private ProgramData.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>

#include "core/runtime_staging.h"
#include "platform/crypto.h"
#include "platform/fs.h"
#include "platform/hex.h"
#include "test_support.h"

namespace kavo {
namespace {

namespace fs = std::filesystem;

const std::string LEASE = "00112233445566778899aabbccddeeff";

class RuntimeStagingTest : public ::testing::Test {
  protected:
    RuntimeStagingTest() : value_(dir_.path().string()), env_("ProgramData", &value_) {
        fs::create_directories(source());
    }

    fs::path source() const { return dir_.path() / "core"; }
    fs::path runtime_root() const { return dir_.path() / "KAVO" / "Service" / "Runtime"; }
    fs::path staging() const { return runtime_root() / ("staging-" + LEASE); }
    fs::path runtime() const { return runtime_root() / LEASE; }
    void write_sources() {
        testing::write_file(source() / "config.yaml", "mode: rule\n");
        testing::write_file(source() / "GeoSite.dat", std::string(300000, 's'));
        testing::write_file(source() / "geoip.metadb", "geoip");
    }
    std::set<std::string> names_in(const fs::path& dir) const {
        std::set<std::string> names;
        for (const auto& entry : fs::directory_iterator(dir)) {
            names.insert(entry.path().filename().string());
        }
        return names;
    }

    testing::TempDir dir_;
    std::string value_;
    testing::ScopedEnv env_;
};

TEST(RuntimeStagingMessagesTest, AreExact) {
    EXPECT_EQ(PREPARE_RUNTIME_ROOT_FAILED, "Failed to prepare protected runtime root: ");
    EXPECT_EQ(PREPARE_RUNTIME_FAILED, "Failed to prepare protected runtime: ");
    EXPECT_EQ(RUNTIME_CONFIGURATION_UNAVAILABLE, "Runtime configuration is unavailable");
    EXPECT_EQ(INSPECT_RUNTIME_SOURCE_FAILED, "Failed to inspect runtime source: ");
    EXPECT_EQ(UNSUPPORTED_RUNTIME_SOURCE, "Runtime source contains an unsupported file type");
    EXPECT_EQ(READ_RUNTIME_FAILED, "Failed to read protected runtime: ");
    EXPECT_EQ(STAGE_RUNTIME_FAILED, "Failed to stage protected runtime: ");
    EXPECT_EQ(VALIDATE_RUNTIME_FAILED, "Failed to validate protected runtime");
    EXPECT_EQ(ACTIVATE_RUNTIME_FAILED, "Failed to activate protected runtime: ");
}

TEST_F(RuntimeStagingTest, StagesExactlyTheThreeFiles) {
    write_sources();
    testing::write_file(source() / "extra.txt", "ignored");
    const auto staged = stage_runtime(source().native(), LEASE);
    ASSERT_TRUE(staged) << staged.error();
    EXPECT_EQ(*staged, runtime().native());
    EXPECT_EQ(names_in(runtime()),
              (std::set<std::string>{"config.yaml", "GeoSite.dat", "geoip.metadb"}));
    for (const char* name : {"config.yaml", "GeoSite.dat", "geoip.metadb"}) {
        EXPECT_EQ(testing::read_file(runtime() / name), testing::read_file(source() / name))
            << name;
    }
    EXPECT_FALSE(fs::exists(staging()));
#if !defined(_WIN32)
    using fs::perms;
    EXPECT_EQ(fs::status(runtime_root()).permissions() & perms::all, perms::owner_all);
    EXPECT_EQ(fs::status(runtime()).permissions() & perms::all, perms::owner_all);
    EXPECT_EQ(fs::status(runtime() / "GeoSite.dat").permissions() & perms::all,
              perms::owner_read | perms::owner_write);
#endif
}

TEST_F(RuntimeStagingTest, MissingFileRemovesTheStagingDirectory) {
    testing::write_file(source() / "config.yaml", "mode: rule\n");
    bool copied_config = false;
    StagingHooks hooks;
    hooks.after_source_hashed = [&](const NativeString& path) {
        copied_config = copied_config || fs::path(path).filename() == "config.yaml";
    };
    const auto staged = stage_runtime(source().native(), LEASE, hooks);
    ASSERT_FALSE(staged);
    EXPECT_EQ(staged.error(), "Runtime configuration is unavailable");
    EXPECT_TRUE(copied_config);
    EXPECT_FALSE(fs::exists(staging()));
    EXPECT_FALSE(fs::exists(runtime()));
}

TEST_F(RuntimeStagingTest, LeftoverStagingDirectoryFailsAndStays) {
    write_sources();
    fs::create_directories(staging());
    const auto again = create_directory(staging().native());
    ASSERT_FALSE(again);
    const auto staged = stage_runtime(source().native(), LEASE);
    ASSERT_FALSE(staged);
    EXPECT_EQ(staged.error(), "Failed to prepare protected runtime: " + again.error().text);
    EXPECT_TRUE(fs::exists(staging()));
}

TEST_F(RuntimeStagingTest, SourceChangedBetweenHashAndCopyIsRefused) {
    write_sources();
    StagingHooks hooks;
    hooks.after_source_hashed = [&](const NativeString& path) {
        if (fs::path(path).filename() == "GeoSite.dat") {
            testing::write_file(path, "swapped content");
        }
    };
    const auto staged = stage_runtime(source().native(), LEASE, hooks);
    ASSERT_FALSE(staged);
    EXPECT_EQ(staged.error(), "Failed to validate protected runtime");
    EXPECT_FALSE(fs::exists(staging()));
    EXPECT_FALSE(fs::exists(runtime()));
}

TEST_F(RuntimeStagingTest, DirectoryAsSourceIsUnsupported) {
    write_sources();
    fs::remove(source() / "GeoSite.dat");
    fs::create_directories(source() / "GeoSite.dat");
    const auto staged = stage_runtime(source().native(), LEASE);
    ASSERT_FALSE(staged);
    EXPECT_EQ(staged.error(), "Runtime source contains an unsupported file type");
    EXPECT_FALSE(fs::exists(staging()));
}

TEST_F(RuntimeStagingTest, LinkAsSourceIsUnsupported) {
    write_sources();
    fs::remove(source() / "GeoSite.dat");
    testing::write_file(dir_.path() / "real.dat", "valid");
    std::error_code error;
    fs::create_symlink(dir_.path() / "real.dat", source() / "GeoSite.dat", error);
    if (error) {
        GTEST_SKIP() << "symbolic links are unavailable here";
    }
    const auto staged = stage_runtime(source().native(), LEASE);
    ASSERT_FALSE(staged);
    EXPECT_EQ(staged.error(), "Runtime source contains an unsupported file type");
    EXPECT_FALSE(fs::exists(staging()));
}

TEST_F(RuntimeStagingTest, ServiceRootMessagePassesThrough) {
    testing::ScopedEnv unset("ProgramData", nullptr);
    const auto staged = stage_runtime(source().native(), LEASE);
    ASSERT_FALSE(staged);
    EXPECT_EQ(staged.error(), "ProgramData is unavailable");
}

TEST_F(RuntimeStagingTest, UncreatableRuntimeRoot) {
    write_sources();
    fs::create_directories(dir_.path() / "KAVO");
    testing::write_file(dir_.path() / "KAVO" / "Service", "a file in the way");
    const auto staged = stage_runtime(source().native(), LEASE);
    ASSERT_FALSE(staged);
    EXPECT_TRUE(staged.error().starts_with("Failed to prepare protected runtime root: "))
        << staged.error();
    EXPECT_TRUE(staged.error().ends_with(")")) << staged.error();
}

TEST_F(RuntimeStagingTest, FileDigestStreamsWholeFiles) {
    const std::string big(1000003, 'q');
    testing::write_file(dir_.path() / "abc", "abc");
    testing::write_file(dir_.path() / "big", big);
    testing::write_file(dir_.path() / "empty", "");
    struct Case {
        const char* name;
        std::string digest;
    } cases[] = {
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"empty", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"big", hex_lower(sha256(std::string_view(big)))},
    };
    for (const auto& c : cases) {
        const auto digest = file_sha256_hex((dir_.path() / c.name).native());
        ASSERT_TRUE(digest) << digest.error();
        EXPECT_EQ(*digest, c.digest) << c.name;
    }
    const auto missing = file_sha256_hex((dir_.path() / "missing").native());
    ASSERT_FALSE(missing);
    const auto expected = read_attributes_no_follow((dir_.path() / "missing").native());
    ASSERT_FALSE(expected);
    EXPECT_EQ(missing.error(), "Failed to read protected runtime: " + expected.error().text);
}

}  // namespace
}  // namespace kavo
