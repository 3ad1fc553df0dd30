// Files of the installation's own set aside before the tree they lie in is
// removed: where a file lies, decided from the paths the system resolves;
// the move into the install parent under a fresh name; the deletion when done
// (at the next start for a program that still runs); and the sweep of what
// earlier removals set aside.
#include <gtest/gtest.h>

#include <cwctype>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "child_guard.h"
#include "core/supervisor.h"
#include "install/service_registration.h"
#include "install/service_removal.h"
#include "install/set_aside.h"
#include "platform/fs.h"
#include "platform/process.h"
#include "platform/process_info.h"
#include "restart_removals.h"
#include "test_support.h"

namespace kavo {
namespace {

namespace fs = std::filesystem;

const std::string HEX32 = "0123456789abcdef0123456789abcdef";

class SetAsideTest : public ::testing::Test {
  protected:
    SetAsideTest() {
        fs::create_directories(tree());
        testing::write_file(tree() / "kavo-daemon.exe", "daemon bytes");
    }

    fs::path parent() const { return dir_.path() / "KAVO"; }
    fs::path tree() const { return parent() / "Service"; }

    // The names in the install parent that set_aside gives.
    std::vector<std::string> set_aside_names() const {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(parent())) {
            const std::string name = entry.path().filename().string();
            if (is_set_aside_name(name)) {
                names.push_back(name);
            }
        }
        return names;
    }

    testing::TempDir dir_;
};

TEST_F(SetAsideTest, WhereAFileLiesIsDecidedFromTheResolvedPaths) {
    fs::create_directories(parent() / "Service2");
    testing::write_file(parent() / "Service2" / "kavo-daemon.exe", "x");
    const fs::path inside = tree() / "kavo-daemon.exe";
    EXPECT_TRUE(file_lies_within(inside.native(), tree().native()));
    EXPECT_TRUE(file_lies_within(inside.native(), (tree() / "").native()));
    EXPECT_FALSE(
        file_lies_within((parent() / "Service2" / "kavo-daemon.exe").native(), tree().native()));
    EXPECT_FALSE(file_lies_within((parent() / "kavo-daemon.exe").native(), tree().native()));
    // The way in through ".." is the system's, not the name's.
    EXPECT_TRUE(file_lies_within(
        (parent() / "Service2" / ".." / "Service" / "kavo-daemon.exe").native(), tree().native()));
#if defined(_WIN32)
    // Windows names a folder in any letter case.
    std::wstring upper = inside.native();
    for (wchar_t& c : upper) {
        c = static_cast<wchar_t>(std::towupper(c));
    }
    EXPECT_TRUE(file_lies_within(upper, tree().native()));
#endif
    // A link on the way leads into the tree all the same.
    std::error_code error;
    fs::create_directory_symlink(tree(), dir_.path() / "alias", error);
    if (error) {
        GTEST_SKIP() << "symbolic links are unavailable here";
    }
    EXPECT_TRUE(
        file_lies_within((dir_.path() / "alias" / "kavo-daemon.exe").native(), tree().native()));
}

TEST_F(SetAsideTest, AFileIsMovedIntoTheParentUnderAFreshNameAndDeletedWhenDone) {
    const fs::path file = tree() / "kavo-daemon.exe";
    {
        auto aside = set_aside(file.native(), parent().native());
        ASSERT_TRUE(aside) << aside.error();
        EXPECT_FALSE(fs::exists(file));
        const fs::path moved(aside->path());
        EXPECT_EQ(moved.parent_path(), parent());
        const std::string name = moved.filename().string();
        EXPECT_TRUE(name.starts_with("kavo-daemon.exe.removed-")) << name;
        EXPECT_TRUE(is_set_aside_name(name)) << name;
        EXPECT_EQ(testing::read_file(moved), "daemon bytes");
        // The tree it came from now goes as a whole.
        ASSERT_TRUE(remove_service_tree(tree().native()));
        EXPECT_EQ(set_aside_names(), std::vector<std::string>{name});

        // Two set aside from the same name do not meet.
        fs::create_directories(tree());
        testing::write_file(file, "again");
        auto second = set_aside(file.native(), parent().native());
        ASSERT_TRUE(second) << second.error();
        EXPECT_NE(second->path(), aside->path());
        EXPECT_EQ(set_aside_names().size(), 2u);
    }
    // Nothing runs them, so they went at once.
    EXPECT_EQ(set_aside_names(), std::vector<std::string>{});
}

TEST_F(SetAsideTest, OnlyAFileIsSetAside) {
    fs::create_directories(tree() / "Runtime");
    const auto directory = set_aside((tree() / "Runtime").native(), parent().native());
    ASSERT_FALSE(directory);
    EXPECT_EQ(directory.error(), "Only a file is set aside");
    EXPECT_TRUE(fs::is_directory(tree() / "Runtime"));
    EXPECT_FALSE(set_aside((tree() / "missing").native(), parent().native()));
    EXPECT_EQ(set_aside_names(), std::vector<std::string>{});
    std::error_code error;
    fs::create_symlink(tree() / "kavo-daemon.exe", tree() / "link.exe", error);
    if (error) {
        GTEST_SKIP() << "symbolic links are unavailable here";
    }
    const auto link = set_aside((tree() / "link.exe").native(), parent().native());
    ASSERT_FALSE(link);
    EXPECT_EQ(link.error(), "Only a file is set aside");
    EXPECT_TRUE(fs::is_symlink(tree() / "link.exe"));
}

// A running program's image: renamed away while it runs. Windows will not
// delete it before the program ends, so it is to go at the next start; Linux
// deletes it at once.
TEST_F(SetAsideTest, TheImageOfARunningProgramIsMovedAndGoesAtTheNextStartWhereItMustWait) {
    const fs::path core = tree() / fs::path(CORE_EXECUTABLE_NAME);
    fs::copy_file(
        fs::path(running_executable_path().value()).parent_path() / fs::path(CORE_EXECUTABLE_NAME),
        core);
    fs::create_directories(dir_.path() / "run");
    testing::write_file(dir_.path() / "run" / "config.yaml", "stdout: up\n");
    SpawnOptions options;
    options.program = core.native();
    options.arguments = {NativeString(KAVO_NATIVE("-d")), (dir_.path() / "run").native()};
    options.working_directory = (dir_.path() / "run").native();
    testing::ChildGuard children;
    auto spawned = ChildProcess::spawn(options);
    ASSERT_TRUE(spawned) << spawned.error().text;
    ChildProcess& child = children.add(std::move(spawned).value());

    std::optional<fs::path> moved;
    {
        auto aside = set_aside(core.native(), parent().native());
        ASSERT_TRUE(aside) << aside.error();
        moved = fs::path(aside->path());
        EXPECT_FALSE(fs::exists(core));
        ASSERT_TRUE(remove_service_tree(tree().native()));
        const auto still = child.poll();
        ASSERT_TRUE(still) << still.error().text;
        EXPECT_FALSE(still->has_value()) << "the program ended";
    }
    if (fs::exists(*moved)) {
        // Only where the system refuses to delete a running image.
        EXPECT_TRUE(testing::removed_at_restart(*moved)) << *moved;
#if !defined(_WIN32)
        ADD_FAILURE() << "Linux deletes a running program's file at once";
#endif
        // Once the program has ended, a sweep takes it.
        ASSERT_TRUE(child.terminate(1));
        ASSERT_TRUE(child.wait());
        ASSERT_TRUE(testing::eventually([&] {
            sweep_set_aside_files(parent().native());
            return !fs::exists(*moved);
        }));
    }
}

TEST_F(SetAsideTest, TheSweepDeletesOnlyFilesSetAsideByTheService) {
    const std::string set_aside_file = "kavo-daemon.exe.removed-" + HEX32;
    const std::string upper = "kavo_core.exe.removed-0123456789ABCDEF0123456789ABCDEF";
    const std::string untrusted = "Service.untrusted-" + HEX32;
    const std::string directory = "kavo_core.exe.removed-ffffffffffffffffffffffffffffffff";
    testing::write_file(parent() / set_aside_file, "x");
    testing::write_file(parent() / upper, "x");
    testing::write_file(parent() / untrusted, "x");
    fs::create_directories(parent() / directory);
    sweep_set_aside_files(parent().native());
    EXPECT_FALSE(fs::exists(parent() / set_aside_file));
    EXPECT_TRUE(fs::exists(parent() / upper));
    EXPECT_TRUE(fs::exists(parent() / untrusted));
    EXPECT_TRUE(fs::is_directory(parent() / directory));
    EXPECT_TRUE(fs::exists(tree() / "kavo-daemon.exe"));
    // Somebody else's file of that name is not the service's to delete.
    const std::string foreign = "kavo_core.exe.removed-" + HEX32;
    testing::write_file(parent() / foreign, "x");
    if (!testing::change_owner(parent() / foreign, 4321)) {
        GTEST_SKIP() << "entries cannot be given to another user here";
    }
    sweep_set_aside_files(parent().native());
    EXPECT_TRUE(fs::exists(parent() / foreign));
}

}  // namespace
}  // namespace kavo
