// The files an install puts into the service root: each executable copied
// and checked, the identity stored exactly, and the staging directory filled,
// verified and moved into place.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <set>
#include <string>

#include "core/runtime_staging.h"
#include "install/service_install.h"
#include "platform/fs.h"
#include "test_support.h"

namespace kavo {
namespace {

namespace fs = std::filesystem;

const std::string CORE_BYTES = "stand-in core bytes\n";

class ServiceFilesTest : public ::testing::Test {
  protected:
    ServiceFilesTest() {
        fs::create_directories(path("bundle"));
        testing::write_file(path("bundle") / "daemon.exe", std::string(70000, 'd'));
        testing::write_file(path("bundle") / "kavo_core.exe", CORE_BYTES);
        fs::create_directories(path("staging"));
    }

    fs::path path(const fs::path& name) const { return dir_.path() / name; }
    std::string core_digest() const {
        const auto digest = file_sha256_hex((path("bundle") / "kavo_core.exe").native());
        EXPECT_TRUE(digest) << digest.error();
        return digest ? *digest : std::string();
    }
    ServiceConfig config(std::string hash) const {
        ServiceConfig config;
        config.core_dir = path("core dir").native();
        config.identity_file = path("identity-source").native();
        config.identity = SecretBytes(std::string(32, 'k'));
        config.expected_core_sha256 = std::move(hash);
        return config;
    }
    Result<NativeString> stage(const ServiceConfig& with) const {
        return stage_service_files(
            path("staging").native(), (path("bundle") / "daemon.exe").native(),
            (path("bundle") / "kavo_core.exe").native(), with, path("Service").native());
    }
    std::set<std::string> names_in(const fs::path& directory) const {
        std::set<std::string> names;
        for (const auto& entry : fs::directory_iterator(directory)) {
            names.insert(entry.path().filename().string());
        }
        return names;
    }

    testing::TempDir dir_;
};

TEST_F(ServiceFilesTest, StagedFilesMoveIntoPlaceAsTheServiceRoot) {
    const auto daemon = stage(config(core_digest()));
    ASSERT_TRUE(daemon) << daemon.error();
    EXPECT_EQ(*daemon, (path("Service") / "kavo-daemon.exe").native());
    EXPECT_FALSE(fs::exists(path("staging")));
    // The core is installed under the name the daemon looks for beside itself.
    const std::string core = fs::path(CORE_EXECUTABLE_NAME).string();
    EXPECT_EQ(names_in(path("Service")),
              (std::set<std::string>{"identity", "kavo-daemon.exe", core}));
    EXPECT_EQ(testing::read_file(path("Service") / "kavo-daemon.exe"), std::string(70000, 'd'));
    EXPECT_EQ(testing::read_file(path("Service") / core), CORE_BYTES);
    EXPECT_EQ(testing::read_file(path("Service") / "identity"), std::string(32, 'k'));
#if !defined(_WIN32)
    for (const std::string& name :
         {std::string("identity"), std::string("kavo-daemon.exe"), core}) {
        const auto protection = read_protection((path("Service") / name).native());
        ASSERT_TRUE(protection) << protection.error().text;
        EXPECT_EQ(protection->access, "0600") << name;
    }
#endif
}

TEST_F(ServiceFilesTest, CoreHashMustMatchByteForByte) {
    std::string upper = core_digest();
    for (char& c : upper) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    std::string last_digit_off = core_digest();
    last_digit_off.back() = last_digit_off.back() == '0' ? '1' : '0';
    for (const std::string& hash : {upper, last_digit_off, std::string(64, '0')}) {
        const auto staged = stage(config(hash));
        ASSERT_FALSE(staged) << hash;
        EXPECT_EQ(staged.error(),
                  "Installed core hash does not match the requested service configuration");
        EXPECT_FALSE(fs::exists(path("Service")));
    }
}

TEST_F(ServiceFilesTest, AnOccupiedServiceRootIsNotReplaced) {
    fs::create_directories(path("Service") / "old");
    const auto staged = stage(config(core_digest()));
    ASSERT_FALSE(staged);
    EXPECT_TRUE(staged.error().starts_with("Failed to activate protected service directory: "))
        << staged.error();
    EXPECT_TRUE(fs::exists(path("Service") / "old"));
}

TEST_F(ServiceFilesTest, InstallServiceFileCopiesReplacesAndRefuses) {
    const NativeString destination = (path("staging") / "kavo_core.exe").native();
    testing::write_file(path("staging") / "kavo_core.exe", "an older, longer file");
    ASSERT_TRUE(install_service_file((path("bundle") / "kavo_core.exe").native(), destination));
    EXPECT_EQ(testing::read_file(path("staging") / "kavo_core.exe"), CORE_BYTES);

    fs::create_directories(path("bundle") / "a directory");
    std::error_code error;
    fs::create_symlink(path("bundle") / "kavo_core.exe", path("bundle") / "link", error);
    const bool have_link = !error;
    const bool have_fifo = testing::make_fifo(path("bundle") / "fifo");
    for (const char* name : {"missing", "a directory", "link", "fifo"}) {
        if ((std::string_view(name) == "link" && !have_link) ||
            (std::string_view(name) == "fifo" && !have_fifo)) {
            continue;
        }
        const NativeString source = (path("bundle") / name).native();
        const NativeString target = (path("staging") / name).native();
        const auto installed = testing::run_with_deadline<Result<void>>(
            [source, target] { return install_service_file(source, target); });
        ASSERT_TRUE(installed.has_value()) << name << ": the copy blocked";
        ASSERT_FALSE(*installed) << name;
        EXPECT_TRUE(installed->error().starts_with("Failed to install service file: "))
            << name << ": " << installed->error();
        EXPECT_FALSE(fs::exists(fs::symlink_status(path("staging") / name))) << name;
    }
}

TEST_F(ServiceFilesTest, IdentityIsStoredExactlyAndWithinItsBounds) {
    struct Case {
        std::size_t length;
        bool stored;
    } cases[] = {{31, false}, {32, true}, {256, true}, {257, false}};
    for (const auto& c : cases) {
        fs::create_directories(path("identity-dir"));
        // A longer file there before is truncated, not overwritten in part.
        testing::write_file(path("identity-dir") / "identity", std::string(300, 'x'));
        const std::string bytes(c.length, 'i');
        const auto stored =
            store_service_identity(path("identity-dir").native(), SecretBytes(bytes));
        if (!c.stored) {
            ASSERT_FALSE(stored) << c.length;
            EXPECT_EQ(stored.error(), "Invalid service identity");
            continue;
        }
        ASSERT_TRUE(stored) << c.length << ": " << stored.error();
        EXPECT_EQ(*stored, (path("identity-dir") / "identity").native());
        EXPECT_EQ(testing::read_file(path("identity-dir") / "identity"), bytes);
    }
    const auto nowhere =
        store_service_identity(path("missing").native(), SecretBytes(std::string(32, 'i')));
    ASSERT_FALSE(nowhere);
    EXPECT_TRUE(nowhere.error().starts_with("Failed to store service identity: "))
        << nowhere.error();
}

// On Linux there is no service control manager: the install stops at once,
// touching nothing but the identity source, which goes as after any attempt
// when it is still the file the identity was read from and not the identity
// the service reads.
TEST_F(ServiceFilesTest, WithoutAServiceManagerTheInstallIsBlocked) {
#if defined(_WIN32)
    GTEST_SKIP() << "this build has a service control manager (see kavo_service_tests)";
#else
    const std::string program_data = dir_.path().string();
    const testing::ScopedEnv env("ProgramData", &program_data);
    const fs::path installed = path("KAVO") / "Service" / "identity";
    InstallOptions options;
    options.bundled = BundledFiles{(path("bundle") / "daemon.exe").native(),
                                   (path("bundle") / "kavo_core.exe").native()};
    struct Case {
        const char* name;
        fs::path source;
        // Done between reading the identity and the install.
        std::function<void()> meanwhile;
        bool deleted;
    } cases[] = {
        {"the file that was read", path("identity-source"), [] {}, true},
        // Renamed over it, so that the new file exists before the old one
        // goes: Linux may give a file made after a deletion the freed inode
        // number again (Windows' file numbers carry a reuse count).
        {"a file put in its place", path("identity-source"),
         [&] {
             testing::write_file(path("other-file"), std::string(40, 'x'));
             fs::rename(path("other-file"), path("identity-source"));
         },
         false},
        {"the installed identity", installed, [] {}, false},
    };
    for (const auto& c : cases) {
        fs::create_directories(installed.parent_path());
        testing::write_file(c.source, std::string(40, 'k'));
        auto loaded = load_identity_file(c.source.native());
        ASSERT_TRUE(loaded) << loaded.error();
        ServiceConfig with = config(core_digest());
        with.identity_file = c.source.native();
        with.identity_file_id = loaded->file;
        c.meanwhile();
        const InstallResult result = attempt_install(std::move(with), options);
        EXPECT_EQ(result.outcome, InstallOutcome::Blocked) << c.name;
        EXPECT_EQ(result.error,
                  "Installing the service needs the Windows service control manager "
                  "(os error 38)");
        EXPECT_EQ(fs::exists(c.source), !c.deleted) << c.name;
        fs::remove_all(path("KAVO"));
        fs::remove(path("identity-source"));
    }
    const auto removed = uninstall_service();
    ASSERT_FALSE(removed);
    EXPECT_EQ(removed.error(), "IO error in winapi call");
#endif
}

}  // namespace
}  // namespace kavo
