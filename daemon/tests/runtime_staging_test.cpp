// Staging of the runtime files into a private ProgramData.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <set>
#include <string>

#include "core/runtime_staging.h"
#include "platform/crypto.h"
#include "platform/file_handle.h"
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

    testing::TempDir dir_;
    std::string value_;
    testing::ScopedEnv env_;
};

TEST_F(RuntimeStagingTest, StagesExactlyTheThreeFiles) {
    write_sources();
    testing::write_file(source() / "extra.txt", "ignored");
    const auto staged = stage_runtime(source().native(), LEASE);
    ASSERT_TRUE(staged) << staged.error();
    EXPECT_EQ(*staged, runtime().native());
    EXPECT_EQ(testing::entries_of(runtime()),
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

// A name swapped for a FIFO must not hold the start up: the open would wait
// for a writer, and the start holds the lease while it waits.
TEST_F(RuntimeStagingTest, FifoAsSourceIsUnsupportedAndDoesNotBlock) {
    write_sources();
    fs::remove(source() / "GeoSite.dat");
    if (!testing::make_fifo(source() / "GeoSite.dat")) {
        GTEST_SKIP() << "FIFOs are unavailable here";
    }
    const NativeString from = source().native();
    const auto staged = testing::run_with_deadline<Result<StagedRuntime>>(
        [from] { return stage_runtime(from, LEASE); });
    ASSERT_TRUE(staged.has_value()) << "staging blocked on the FIFO";
    ASSERT_FALSE(*staged);
    EXPECT_EQ(staged->error(), "Runtime source contains an unsupported file type");
    EXPECT_FALSE(fs::exists(staging()));
}

// The source is copied from the handle it was hashed through: a name swapped
// for a link meanwhile neither fails the start nor lets the link's target in.
TEST_F(RuntimeStagingTest, SourceSwappedForALinkAfterTheOpenCopiesTheOpenedFile) {
    write_sources();
    const std::string original = testing::read_file(source() / "GeoSite.dat");
    testing::write_file(dir_.path() / "secret.dat", "readable by the service only");
    bool swapped = false;
    StagingHooks hooks;
    hooks.after_source_hashed = [&](const NativeString& path) {
        if (fs::path(path).filename() != "GeoSite.dat") {
            return;
        }
        std::error_code error;
        fs::remove(path, error);
        if (!error) {
            fs::create_symlink(dir_.path() / "secret.dat", path, error);
        }
        swapped = !error;
    };
    const auto staged = stage_runtime(source().native(), LEASE, hooks);
    if (!swapped) {
        GTEST_SKIP() << "an open file cannot be replaced by a link here";
    }
    ASSERT_TRUE(staged) << staged.error();
    EXPECT_EQ(testing::read_file(runtime() / "GeoSite.dat"), original);
}

#if !defined(_WIN32)
TEST_F(RuntimeStagingTest, SourceThatCannotBeOpenedIsReportedWithTheSystemText) {
    // The core directory is a file, so no name below it can be opened.
    testing::write_file(dir_.path() / "not-a-directory", "x");
    const fs::path source_file = dir_.path() / "not-a-directory";
    const auto open_error =
        FileHandle::open((source_file / "config.yaml").native(), LinkAtPath::refuse);
    ASSERT_FALSE(open_error);
    ASSERT_NE(open_error.error().kind, OsErrorKind::not_found);
    const auto staged = stage_runtime(source_file.native(), LEASE);
    ASSERT_FALSE(staged);
    EXPECT_EQ(staged.error(), "Failed to inspect runtime source: " + open_error.error().text);
}
#endif

// The lease identifier names two directories below the runtime root; nothing
// but 32 hexadecimal digits may get that far.
TEST_F(RuntimeStagingTest, LeaseIdentifierIsCheckedBeforeAnythingIsCreated) {
    write_sources();
    const std::string digits_31 = LEASE.substr(1);
    const std::string bad[] = {
        "",
        "..",
        "../x",
        "../" + LEASE,
        digits_31,
        LEASE + "0",
        "staging-" + LEASE,
        digits_31 + "/",
        digits_31 + "\\",
        LEASE.substr(0, 16) + "/" + LEASE.substr(17),
        LEASE.substr(0, 16) + std::string(1, '\0') + LEASE.substr(17),
        digits_31 + "g",
        digits_31 + ":",
    };
    for (const auto& lease : bad) {
        const auto staged = stage_runtime(source().native(), lease);
        ASSERT_FALSE(staged) << lease;
        EXPECT_EQ(staged.error(), "Invalid runtime lease identifier") << lease;
        EXPECT_FALSE(fs::exists(dir_.path() / "KAVO")) << lease;
    }
    // Either case is a valid identifier; the directory is named as given.
    const std::string upper = "00112233445566778899AABBCCDDEEFF";
    const auto staged = stage_runtime(source().native(), upper);
    ASSERT_TRUE(staged) << staged.error();
    EXPECT_EQ(*staged, (runtime_root() / upper).native());
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

// Only a regular file is hashed; nothing at the path can make the digest
// wait or read forever.
TEST_F(RuntimeStagingTest, FileDigestReadsOnlyRegularFiles) {
    fs::create_directory(dir_.path() / "directory");
    const bool have_fifo = testing::make_fifo(dir_.path() / "fifo");
    for (const char* name : {"directory", "fifo"}) {
        if (std::string_view(name) == "fifo" && !have_fifo) {
            continue;
        }
        const NativeString path = (dir_.path() / name).native();
        const auto digest = testing::run_with_deadline<Result<std::string>>(
            [path] { return file_sha256_hex(path); });
        ASSERT_TRUE(digest.has_value()) << name << ": the digest blocked";
        ASSERT_FALSE(*digest) << name;
        EXPECT_TRUE(digest->error().starts_with("Failed to read protected runtime: "))
            << digest->error();
    }
}

}  // namespace
}  // namespace kavo
