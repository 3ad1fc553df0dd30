// What an install does with what it finds where its own directories belong:
// the decision as a table, and on the real file system folders that another
// account made (and still holds open) moved aside, never adopted, while a
// fresh protected tree takes their place. Giving entries to another account
// needs the Linux backend run by root; elsewhere those cases skip.
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "core/runtime_staging.h"
#include "install/directory_claim.h"
#include "install/service_install.h"
#include "install/service_tree.h"
#include "platform/fs.h"
#include "test_support.h"

#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace kavo {
namespace {

namespace fs = std::filesystem;

TEST(DirectoryClaimTest, WhatIsFoundAndWhoOwnsItDecideWhatIsDone) {
    struct Case {
        FoundEntry found;
        bool owned_by_system;
        ClaimAction action;
    } cases[] = {
        {FoundEntry::missing, false, ClaimAction::create},
        {FoundEntry::missing, true, ClaimAction::create},
        {FoundEntry::directory, true, ClaimAction::reuse},
        {FoundEntry::directory, false, ClaimAction::move_aside},
        {FoundEntry::link, false, ClaimAction::move_aside},
        {FoundEntry::other, false, ClaimAction::move_aside},
        {FoundEntry::link, true, ClaimAction::refuse},
        {FoundEntry::other, true, ClaimAction::refuse},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(decide_claim(c.found, c.owned_by_system), c.action)
            << static_cast<int>(c.found) << " " << c.owned_by_system;
    }
    EXPECT_EQ(found_entry_of(FileAttributes{ATTRIBUTE_DIRECTORY, 0}), FoundEntry::directory);
    EXPECT_EQ(found_entry_of(FileAttributes{ATTRIBUTE_DIRECTORY | ATTRIBUTE_REPARSE_POINT,
                                            REPARSE_TAG_MOUNT_POINT}),
              FoundEntry::link);
    // A reparse point that is no link (a placeholder) is no directory either.
    EXPECT_EQ(
        found_entry_of(FileAttributes{ATTRIBUTE_NORMAL | ATTRIBUTE_REPARSE_POINT, 0x9000001A}),
        FoundEntry::other);
    EXPECT_EQ(moved_aside_name("KAVO", "0123456789abcdef0123456789abcdef"),
              "KAVO.untrusted-0123456789abcdef0123456789abcdef");
}

const std::string CORE_BYTES = "stand-in core bytes\n";

// A private ProgramData with a bundle to install from.
class ServiceTreeClaimTest : public ::testing::Test {
  protected:
    ServiceTreeClaimTest()
        : program_data_(dir_.path().string()), env_("ProgramData", &program_data_) {
        fs::create_directories(path("bundle"));
        testing::write_file(path("bundle") / "daemon.exe", "daemon bytes");
        testing::write_file(path("bundle") / "kavo_core.exe", CORE_BYTES);
    }

    fs::path path(const fs::path& name) const { return dir_.path() / name; }
    fs::path parent() const { return path("KAVO"); }
    fs::path root() const { return parent() / "Service"; }

    // The names in `directory` that begin with `prefix`.
    std::vector<std::string> names_starting(const fs::path& directory,
                                            const std::string& prefix) const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(directory)) {
            const std::string name = entry.path().filename().string();
            if (name.starts_with(prefix)) {
                names.push_back(name);
            }
        }
        return names;
    }

    // The one entry moved aside from `name` in `directory`.
    std::optional<fs::path> moved_aside(const fs::path& directory, const std::string& name) const {
        const auto names = names_starting(directory, name + ".untrusted-");
        EXPECT_EQ(names.size(), 1u) << name;
        if (names.size() != 1 || names.front().size() != name.size() + 11 + 32) {
            return std::nullopt;
        }
        return directory / names.front();
    }

    PathProtection protection(const fs::path& entry) const {
        const auto read = read_protection(entry.native());
        EXPECT_TRUE(read) << entry << ": " << read.error().text;
        return read ? *read : PathProtection{};
    }

    ServiceConfig config() const {
        ServiceConfig config;
        config.core_dir = path("core dir").native();
        config.identity_file = path("identity-source").native();
        config.identity = SecretBytes(std::string(32, 'k'));
        const auto digest = file_sha256_hex((path("bundle") / "kavo_core.exe").native());
        EXPECT_TRUE(digest) << digest.error();
        config.expected_core_sha256 = digest ? *digest : std::string();
        return config;
    }

    InstallOptions options() const {
        InstallOptions options;
        options.bundled = BundledFiles{(path("bundle") / "daemon.exe").native(),
                                       (path("bundle") / "kavo_core.exe").native()};
        return options;
    }

    testing::TempDir dir_;
    std::string program_data_;
    testing::ScopedEnv env_;
};

TEST_F(ServiceTreeClaimTest, AMissingParentIsMadeProtectedAndAnOwnOneIsReusedAsItIs) {
    ASSERT_TRUE(claim_install_parent(parent().native()));
    ASSERT_TRUE(fs::is_directory(parent()));
#if !defined(_WIN32)
    EXPECT_EQ(protection(parent()).owner, std::to_string(::geteuid()));
    EXPECT_EQ(protection(parent()).access, "0700");
#endif
    // Reused: the same directory, protected itself, what lies below left to
    // the steps that follow.
    fs::create_directories(parent() / "other");
    testing::write_file(parent() / "other" / "file", "x");
    fs::permissions(parent(), fs::perms::all);
    fs::permissions(parent() / "other", fs::perms::all);
    FileIdentity identity;
    {
        // Let go of before the claim: a held entry shares deletion, which
        // the pin of the directory that is protected refuses.
        const auto before = HeldEntry::open(parent().native());
        ASSERT_TRUE(before) << before.error().text;
        identity = before->identity();
    }
    const auto reused = claim_install_parent(parent().native());
    ASSERT_TRUE(reused) << reused.error().error;
    const auto after = HeldEntry::open(parent().native());
    ASSERT_TRUE(after) << after.error().text;
    EXPECT_EQ(after->identity(), identity);
    EXPECT_TRUE(names_starting(path(""), "KAVO.untrusted-").empty());
#if !defined(_WIN32)
    EXPECT_EQ(protection(parent()).access, "0700");
    EXPECT_EQ(protection(parent() / "other").access, "0777");
#endif
    EXPECT_EQ(testing::read_file(parent() / "other" / "file"), "x");
}

// The installed copy run as the installer: its files lie in the service root
// that the install removes, so they are set aside first, installed from
// there, and deleted afterwards.
TEST_F(ServiceTreeClaimTest, AnInstallFromTheInstalledCopyTakesItsFilesFromWhereTheyWereSetAside) {
    const auto first = install_service_files(config(), options());
    ASSERT_TRUE(first) << first.error().error;
    InstallOptions from_installed;
    from_installed.bundled = BundledFiles{(root() / "kavo-daemon.exe").native(),
                                          (root() / CORE_EXECUTABLE_NAME).native()};
    ServiceConfig again = config();
    again.identity = SecretBytes(std::string(40, 'n'));
    const auto second = install_service_files(again, from_installed);
    ASSERT_TRUE(second) << second.error().error;
    EXPECT_EQ(*second, (root() / "kavo-daemon.exe").native());
    EXPECT_EQ(testing::read_file(root() / "kavo-daemon.exe"), "daemon bytes");
    EXPECT_EQ(testing::read_file(root() / CORE_EXECUTABLE_NAME), CORE_BYTES);
    EXPECT_EQ(testing::read_file(root() / "identity"), std::string(40, 'n'));
    // Nothing runs the files set aside, so they are gone already.
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(parent())) {
        names.insert(entry.path().filename().string());
    }
    EXPECT_EQ(names, std::set<std::string>{"Service"});
}

#if !defined(_WIN32)
TEST_F(ServiceTreeClaimTest, AParentAnotherAccountMadeIsMovedAsideWhileItsHolderKeepsIt) {
    fs::create_directories(parent() / "Service");
    testing::write_file(parent() / "Service" / "kavo-daemon.exe", "planted");
    fs::permissions(parent(), fs::perms::all);
    if (!testing::change_owner(parent(), 4321)) {
        GTEST_SKIP() << "entries cannot be given to another user here";
    }
    // What the other account holds open keeps working for it, but is no
    // longer where the service looks.
    const int held = ::open(parent().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(held, 0);
    const auto claimed = claim_install_parent(parent().native());
    ASSERT_TRUE(claimed) << claimed.error().error;

    const auto aside = moved_aside(path(""), "KAVO");
    ASSERT_TRUE(aside);
    struct stat held_info {};
    struct stat aside_info {};
    struct stat fresh_info {};
    ASSERT_EQ(::fstat(held, &held_info), 0);
    ASSERT_EQ(::stat(aside->c_str(), &aside_info), 0);
    ASSERT_EQ(::stat(parent().c_str(), &fresh_info), 0);
    EXPECT_EQ(held_info.st_ino, aside_info.st_ino);
    EXPECT_NE(held_info.st_ino, fresh_info.st_ino);
    // Nothing of it was adopted: owner, mode and contents as they were.
    EXPECT_EQ(protection(*aside).owner, "4321");
    EXPECT_EQ(protection(*aside).access, "0777");
    EXPECT_EQ(protection(*aside / "Service" / "kavo-daemon.exe").owner, "4321");
    EXPECT_EQ(testing::read_file(*aside / "Service" / "kavo-daemon.exe"), "planted");
    // The fresh one is the service's, and empty.
    EXPECT_EQ(protection(parent()).owner, "0");
    EXPECT_EQ(protection(parent()).access, "0700");
    EXPECT_TRUE(fs::is_empty(parent()));
    // Writing through the old handle reaches only the moved folder.
    const int planted = ::openat(held, "later", O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    EXPECT_GE(planted, 0);
    ::close(planted);
    ::close(held);
    EXPECT_TRUE(fs::exists(*aside / "later"));
    EXPECT_FALSE(fs::exists(parent() / "later"));
}

TEST_F(ServiceTreeClaimTest, LinksAtTheParentAreMovedAsideOrRefusedByTheirOwner) {
    fs::create_directories(path("target"));
    testing::write_file(path("target") / "precious", "x");
    fs::permissions(path("target"), fs::perms::all);
    fs::create_directory_symlink(path("target"), parent());
    // A link a privileged account made is left to that account, and the
    // install does not go on.
    const auto refused = claim_install_parent(parent().native());
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().outcome, InstallOutcome::Failed);
    EXPECT_EQ(refused.error().error, "Refusing to protect a linked service path");
    EXPECT_TRUE(fs::is_symlink(parent()));
    // One that somebody else made goes out of the way, its target untouched.
    if (!testing::change_owner(parent(), 4321)) {
        GTEST_SKIP() << "entries cannot be given to another user here";
    }
    ASSERT_TRUE(claim_install_parent(parent().native()));
    const auto aside = moved_aside(path(""), "KAVO");
    ASSERT_TRUE(aside);
    EXPECT_TRUE(fs::is_symlink(*aside));
    EXPECT_TRUE(fs::is_directory(parent()) && !fs::is_symlink(parent()));
    EXPECT_EQ(testing::read_file(path("target") / "precious"), "x");
    EXPECT_EQ(protection(path("target")).access, "0777");
}

TEST_F(ServiceTreeClaimTest, TheServiceRootIsRemovedWhenTheServicesAndMovedAsideWhenNot) {
    ASSERT_TRUE(claim_install_parent(parent().native()));
    EXPECT_TRUE(clear_service_root(root().native()));  // missing: nothing to do

    fs::create_directories(root() / "Runtime" / "0123456789abcdef0123456789abcdef");
    testing::write_file(root() / "kavo-daemon.exe", "old");
    ASSERT_TRUE(clear_service_root(root().native()));
    EXPECT_FALSE(fs::exists(root()));
    EXPECT_TRUE(names_starting(parent(), "Service.untrusted-").empty());

    fs::create_directories(root());
    testing::write_file(root() / "kavo-daemon.exe", "planted");
    if (!testing::change_owner(root(), 4321)) {
        GTEST_SKIP() << "entries cannot be given to another user here";
    }
    ASSERT_TRUE(clear_service_root(root().native()));
    EXPECT_FALSE(fs::exists(root()));
    const auto aside = moved_aside(parent(), "Service");
    ASSERT_TRUE(aside);
    EXPECT_EQ(testing::read_file(*aside / "kavo-daemon.exe"), "planted");
    EXPECT_EQ(protection(*aside).owner, "4321");

    // A file of the service's own where the root belongs is refused.
    testing::write_file(root(), "x");
    const auto refused = clear_service_root(root().native());
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().outcome, InstallOutcome::Failed);
    EXPECT_EQ(refused.error().error, "Refusing to remove an invalid protected service path");
}

TEST_F(ServiceTreeClaimTest, AnInstallOverAnotherAccountsFoldersBuildsAFreshProtectedTree) {
    fs::create_directories(parent() / "Service");
    testing::write_file(parent() / "Service" / "kavo-daemon.exe", "planted");
    fs::create_directories(parent() / ("Service.staging-" + std::string(32, 'a')));
    if (!testing::change_owner(parent(), 4321)) {
        GTEST_SKIP() << "entries cannot be given to another user here";
    }
    const int held = ::open(parent().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(held, 0);
    const auto installed = install_service_files(config(), options());
    ::close(held);
    ASSERT_TRUE(installed) << installed.error().error;
    EXPECT_EQ(*installed, (root() / "kavo-daemon.exe").native());

    const auto aside = moved_aside(path(""), "KAVO");
    ASSERT_TRUE(aside);
    EXPECT_EQ(testing::read_file(*aside / "Service" / "kavo-daemon.exe"), "planted");
    EXPECT_TRUE(fs::is_directory(*aside / ("Service.staging-" + std::string(32, 'a'))));

    std::set<std::string> names;
    for (const auto& entry : fs::recursive_directory_iterator(parent())) {
        names.insert(fs::relative(entry.path(), parent()).string());
        EXPECT_EQ(protection(entry.path()).owner, "0") << entry.path();
        EXPECT_EQ(protection(entry.path()).access, entry.is_directory() ? "0700" : "0600")
            << entry.path();
    }
    EXPECT_EQ(names,
              (std::set<std::string>{"Service", "Service/identity", "Service/kavo-daemon.exe",
                                     "Service/" + fs::path(CORE_EXECUTABLE_NAME).string()}));
    EXPECT_EQ(protection(parent()).owner, "0");
    EXPECT_EQ(protection(parent()).access, "0700");
    EXPECT_EQ(testing::read_file(root() / CORE_EXECUTABLE_NAME), CORE_BYTES);
}

TEST_F(ServiceTreeClaimTest, StagingDirectoriesOfAnotherAccountAreLeftAndReported) {
    ASSERT_TRUE(claim_install_parent(parent().native()));
    const fs::path foreign = parent() / ("Service.staging-" + std::string(32, 'b'));
    const fs::path own = parent() / ("Service.staging-" + std::string(32, 'c'));
    fs::create_directories(foreign);
    testing::write_file(foreign / "file", "x");
    fs::create_directories(own);
    if (!testing::change_owner(foreign, 4321)) {
        GTEST_SKIP() << "entries cannot be given to another user here";
    }
    ::testing::internal::CaptureStderr();
    sweep_service_staging(parent().native());
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "Deferred cleanup of an KAVO service staging directory\n");
    EXPECT_FALSE(fs::exists(own));
    EXPECT_EQ(protection(foreign).owner, "4321");
    EXPECT_EQ(testing::read_file(foreign / "file"), "x");
}
#endif

}  // namespace
}  // namespace kavo
