// Protection takes the owner as well as the access list, and walks trees
// through entries held open: a tree that another user made, links in it, and
// a directory swapped for a link while it is being walked.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "core/protected_dirs.h"
#include "platform/fs.h"
#include "platform/process_info.h"
#include "test_support.h"

namespace kavo {
namespace {

namespace fs = std::filesystem;

// Where another user's entries and links are made; both need a Linux backend
// run by root.
class TreeProtectionTest : public ::testing::Test {
  protected:
    fs::path path(const fs::path& name) const { return dir_.path() / name; }

    // The entries of `top`, `top` included, links left out.
    std::vector<fs::path> real_entries(const fs::path& top) const {
        std::vector<fs::path> entries{top};
        for (const auto& entry : fs::recursive_directory_iterator(top)) {
            if (!entry.is_symlink()) {
                entries.push_back(entry.path());
            }
        }
        return entries;
    }

    PathProtection protection(const fs::path& entry) const {
        const auto read = read_protection(entry.native());
        EXPECT_TRUE(read) << entry << ": " << read.error().text;
        return read ? *read : PathProtection{};
    }

    testing::TempDir dir_;
};

TEST_F(TreeProtectionTest, AnotherUsersTreeBecomesRootsWithTheProtectedModes) {
    fs::create_directories(path("tree") / "sub" / "deeper");
    testing::write_file(path("tree") / "top", "x");
    testing::write_file(path("tree") / "sub" / "deeper" / "file", "x");
    fs::permissions(path("tree") / "top", fs::perms::all);
    if (!testing::change_owner(path("tree"), 4321)) {
        GTEST_SKIP() << "entries cannot be given to another user here";
    }
    ASSERT_EQ(protection(path("tree") / "sub").owner, "4321");
    ASSERT_TRUE(protect_service_tree(path("tree").native()));
    for (const auto& entry : real_entries(path("tree"))) {
        const PathProtection after = protection(entry);
        EXPECT_EQ(after.owner, "0") << entry;
        EXPECT_EQ(after.access, fs::is_directory(entry) ? "0700" : "0600") << entry;
    }
}

TEST_F(TreeProtectionTest, ALinkInAnotherUsersTreeIsRefusedAndItsTargetUntouched) {
    fs::create_directories(path("tree") / "sub");
    testing::write_file(path("tree") / "top", "x");
    testing::write_file(path("tree") / "sub" / "file", "x");
    fs::create_directories(path("outside"));
    testing::write_file(path("outside") / "file", "x");
    fs::permissions(path("outside") / "file", fs::perms::all);
    std::error_code error;
    fs::create_directory_symlink(path("outside"), path("tree") / "sub" / "link", error);
    if (error || !testing::change_owner(path("tree"), 4321) ||
        !testing::change_owner(path("outside"), 4321)) {
        GTEST_SKIP() << "links or entries of another user cannot be made here";
    }
    const auto protected_tree = protect_service_tree(path("tree").native());
    ASSERT_FALSE(protected_tree);
    EXPECT_EQ(protected_tree.error(), "Refusing to protect a linked service path");
    EXPECT_TRUE(fs::is_symlink(path("tree") / "sub" / "link"));
    // Top-down: the directories above the link were secured before it was met.
    for (const fs::path& above : {path("tree"), path("tree") / "sub"}) {
        EXPECT_EQ(protection(above).owner, "0") << above;
        EXPECT_EQ(protection(above).access, "0700") << above;
    }
    // What the walk reached is wholly protected; what it did not reach (the
    // listing order decides) is untouched, never half done.
    for (const auto& entry : real_entries(path("tree"))) {
        const PathProtection after = protection(entry);
        if (after.owner == "0") {
            EXPECT_EQ(after.access, fs::is_directory(entry) ? "0700" : "0600") << entry;
        } else {
            EXPECT_EQ(after.owner, "4321") << entry;
        }
    }
    for (const fs::path& target : {path("outside"), path("outside") / "file"}) {
        EXPECT_EQ(protection(target).owner, "4321") << target;
    }
    EXPECT_EQ(protection(path("outside") / "file").access, "0777");
}

TEST_F(TreeProtectionTest, ADirectorySwappedForALinkWhileHeldIsNotFollowed) {
    fs::create_directories(path("tree"));
    testing::write_file(path("tree") / "file", "x");
    fs::create_directories(path("outside"));
    testing::write_file(path("outside") / "file", "x");
    fs::permissions(path("outside") / "file", fs::perms::all);

    auto held = TreeEntry::open(path("tree").native());
    ASSERT_TRUE(held) << held.error().text;
    ASSERT_TRUE(is_directory(held->attributes()));
    std::error_code error;
    fs::rename(path("tree"), path("moved"), error);
#if defined(_WIN32)
    // A held directory can be neither renamed nor deleted: its name cannot be
    // given to a link while it is walked.
    EXPECT_TRUE(error);
    EXPECT_TRUE(fs::is_directory(path("tree")));
    held->close();
    fs::rename(path("tree"), path("moved"), error);
    EXPECT_FALSE(error) << error.message();
#else
    ASSERT_FALSE(error) << error.message();
    fs::create_directory_symlink(path("outside"), path("tree"), error);
    ASSERT_FALSE(error) << error.message();
    // Everything goes on in the directory that was opened, now "moved".
    ASSERT_TRUE(held->protect());
    const auto names = held->list();
    ASSERT_TRUE(names) << names.error().text;
    ASSERT_EQ(names->size(), 1u);
    const auto child = held->open_child(*names->front());
    ASSERT_TRUE(child) << child.error().text;
    ASSERT_TRUE(child->protect());
    EXPECT_EQ(protection(path("moved")).access, "0700");
    EXPECT_EQ(protection(path("moved") / "file").access, "0600");
    EXPECT_EQ(protection(path("outside") / "file").access, "0777");
#endif
}

TEST_F(TreeProtectionTest, OwnerReadsBackAsAPrivilegedAccount) {
    fs::create_directories(path("tree"));
    testing::write_file(path("tree") / "file", "x");
    ASSERT_TRUE(protect_service_tree(path("tree").native()));
    for (const fs::path& entry : {path("tree"), path("tree") / "file"}) {
        const std::string owner = protection(entry).owner;
#if defined(_WIN32)
        if (running_under_wine() && owner != "O:BA" && owner != "O:SY") {
            GTEST_SKIP() << "Wine accepts the owner it is given but does not keep it; it "
                            "reports an owner derived from the Unix file owner instead: "
                         << owner;
        }
        EXPECT_TRUE(owner == "O:BA" || owner == "O:SY") << entry << ": " << owner;
#else
        EXPECT_EQ(owner, "0") << entry;
#endif
    }
}

}  // namespace
}  // namespace kavo
