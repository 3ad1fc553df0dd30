// The file-system seam added for the protected tree: listing, removal that
// never enters links, directory creation, copy, rename, streamed reads and the
// environment.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>

#include "platform/environment.h"
#include "platform/fs.h"
#include "test_support.h"

namespace kavo {
namespace {

namespace fs = std::filesystem;

TEST(FsSeamTest, ListsNamesWithoutDotEntries) {
    testing::TempDir dir;
    testing::write_file(dir.path() / "a", "x");
    fs::create_directories(dir.path() / "b");
    const auto entries = list_directory(dir.native());
    ASSERT_TRUE(entries) << entries.error().text;
    std::set<NativeString> names;
    for (const auto& entry : *entries) {
        ASSERT_TRUE(entry) << entry.error().text;
        names.insert(*entry);
    }
    EXPECT_EQ(names, (std::set<NativeString>{KAVO_NATIVE("a"), KAVO_NATIVE("b")}));
    const auto empty = list_directory(dir.native("b"));
    ASSERT_TRUE(empty) << empty.error().text;
    EXPECT_TRUE(empty->empty());
    const auto missing = list_directory(dir.native("missing"));
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().kind, OsErrorKind::not_found);
    const auto file = list_directory(dir.native("a"));
    ASSERT_FALSE(file);
    EXPECT_NE(file.error().kind, OsErrorKind::not_found);
}

TEST(FsSeamTest, RemoveTreeLeavesLinkTargetsAlone) {
    testing::TempDir dir;
    fs::create_directories(dir.path() / "tree" / "sub");
    testing::write_file(dir.path() / "tree" / "sub" / "f", "x");
    fs::create_directories(dir.path() / "target");
    testing::write_file(dir.path() / "target" / "keep", "x");
    testing::write_file(dir.path() / "target-file", "x");
    std::error_code error;
    fs::create_directory_symlink(dir.path() / "target", dir.path() / "tree" / "dirlink", error);
    if (!error) {
        fs::create_symlink(dir.path() / "target-file", dir.path() / "tree" / "sub" / "filelink");
        fs::create_directory_symlink(dir.path() / "target", dir.path() / "toplink");
    }
    ASSERT_TRUE(remove_tree(dir.native("tree")));
    EXPECT_FALSE(fs::exists(dir.path() / "tree"));
    EXPECT_TRUE(fs::exists(dir.path() / "target" / "keep"));
    EXPECT_TRUE(fs::exists(dir.path() / "target-file"));
    if (!error) {
        // A link given as the tree itself is removed as a link.
        ASSERT_TRUE(remove_tree(dir.native("toplink")));
        EXPECT_FALSE(fs::is_symlink(dir.path() / "toplink"));
        EXPECT_TRUE(fs::exists(dir.path() / "target" / "keep"));
    }
    const auto missing = remove_tree(dir.native("tree"));
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().kind, OsErrorKind::not_found);
}

TEST(FsSeamTest, CreateDirectoryAndParents) {
    testing::TempDir dir;
    ASSERT_TRUE(create_directory(dir.native("one")));
    const auto again = create_directory(dir.native("one"));
    ASSERT_FALSE(again);
    EXPECT_EQ(again.error().kind, OsErrorKind::already_exists);
    EXPECT_FALSE(create_directory((dir.path() / "no" / "parent").native()));
    ASSERT_TRUE(create_directories((dir.path() / "a" / "b" / "c").native()));
    EXPECT_TRUE(fs::is_directory(dir.path() / "a" / "b" / "c"));
    EXPECT_TRUE(create_directories((dir.path() / "a" / "b").native()));
    testing::write_file(dir.path() / "file", "x");
    EXPECT_FALSE(create_directories(dir.native("file")));
    EXPECT_FALSE(create_directories((dir.path() / "file" / "below").native()));
}

TEST(FsSeamTest, RenameADirectory) {
    testing::TempDir dir;
    fs::create_directories(dir.path() / "d1");
    testing::write_file(dir.path() / "d1" / "f", "x");
    ASSERT_TRUE(rename_directory(dir.native("d1"), dir.native("d2")));
    EXPECT_EQ(testing::read_file(dir.path() / "d2" / "f"), "x");
    fs::create_directories(dir.path() / "d3");
    EXPECT_FALSE(rename_directory(dir.native("d2"), dir.native("d3")));
    EXPECT_TRUE(fs::exists(dir.path() / "d2" / "f"));
}

TEST(EnvironmentTest, ReadsSetAndUnsetVariables) {
    const std::string value = "some value";
    {
        testing::ScopedEnv env("KAVO_TEST_VARIABLE", &value);
        EXPECT_EQ(read_environment_variable("KAVO_TEST_VARIABLE"),
                  NativeString(KAVO_NATIVE("some value")));
    }
    testing::ScopedEnv env("KAVO_TEST_VARIABLE", nullptr);
    EXPECT_EQ(read_environment_variable("KAVO_TEST_VARIABLE"), std::nullopt);
}

}  // namespace
}  // namespace kavo
