// Files opened once, their type taken from the handle: reads, rewinding and
// copies through the handle, and what a link, a directory or a FIFO at the
// path turns into.
#include "platform/file_handle.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "test_support.h"

namespace kavo {
namespace {

namespace fs = std::filesystem;

// Everything left to read, in reads of at most `chunk` bytes.
OsResult<std::string> read_rest(FileHandle& file, std::size_t chunk = 4096) {
    std::vector<std::uint8_t> buffer(chunk);
    std::string all;
    for (;;) {
        auto got = file.read(buffer);
        if (!got) {
            return fail(std::move(got).error());
        }
        if (*got == 0) {
            return all;
        }
        EXPECT_LE(*got, chunk);
        all.append(reinterpret_cast<const char*>(buffer.data()), *got);
    }
}

bool make_file_link(const fs::path& target, const fs::path& link) {
    std::error_code error;
    fs::create_symlink(target, link, error);
    return !error;
}

TEST(FileHandleTest, ReadsRewindsAndCopiesARegularFile) {
    testing::TempDir dir;
    std::string content;
    for (int i = 0; i < 30000; ++i) {
        content += std::to_string(i);
    }
    content[5] = '\0';
    testing::write_file(dir.path() / "data", content);
    for (const LinkAtPath links : {LinkAtPath::refuse, LinkAtPath::follow}) {
        auto file = FileHandle::open(dir.native("data"), links);
        ASSERT_TRUE(file) << file.error().text;
        EXPECT_EQ(file->kind(), FileKind::regular);
        auto first = read_rest(*file, 1000);
        ASSERT_TRUE(first) << first.error().text;
        EXPECT_EQ(*first, content);
        // At the end: nothing more, until rewound.
        auto after = read_rest(*file);
        ASSERT_TRUE(after);
        EXPECT_EQ(*after, "");
        ASSERT_TRUE(file->rewind());
        const fs::path copy = dir.path() / (links == LinkAtPath::refuse ? "copy1" : "copy2");
        auto copied = file->copy_rest_to_new_file(copy.native());
        ASSERT_TRUE(copied) << copied.error().text;
        EXPECT_EQ(testing::read_file(copy), content);
    }
}

TEST(FileHandleTest, CopyNeverReplacesAnExistingName) {
    testing::TempDir dir;
    testing::write_file(dir.path() / "from", "new content");
    testing::write_file(dir.path() / "taken", "old");
    auto file = FileHandle::open(dir.native("from"), LinkAtPath::refuse);
    ASSERT_TRUE(file) << file.error().text;
    const auto over_file = file->copy_rest_to_new_file(dir.native("taken"));
    ASSERT_FALSE(over_file);
    EXPECT_EQ(over_file.error().kind, OsErrorKind::already_exists) << over_file.error().text;
    EXPECT_EQ(testing::read_file(dir.path() / "taken"), "old");
    // A dangling link is a name too: the copy must not create its target.
    if (make_file_link(dir.path() / "target", dir.path() / "dangling")) {
        const auto over_link = file->copy_rest_to_new_file(dir.native("dangling"));
        ASSERT_FALSE(over_link);
        EXPECT_FALSE(fs::exists(dir.path() / "target"));
    }
    // Into a missing directory: fails and leaves nothing behind.
    const auto nowhere = file->copy_rest_to_new_file((dir.path() / "none" / "to").native());
    ASSERT_FALSE(nowhere);
    EXPECT_EQ(nowhere.error().kind, OsErrorKind::not_found);
}

TEST(FileHandleTest, KindComesFromTheOpenedObject) {
    testing::TempDir dir;
    fs::create_directory(dir.path() / "directory");
    testing::write_file(dir.path() / "target", "target content");
    const bool have_link = make_file_link(dir.path() / "target", dir.path() / "link");
    const bool have_fifo = testing::make_fifo(dir.path() / "fifo");

    struct Case {
        const char* name;
        LinkAtPath links;
        FileKind kind;
        bool available;
    } cases[] = {
        {"directory", LinkAtPath::refuse, FileKind::directory, true},
        {"directory", LinkAtPath::follow, FileKind::directory, true},
        {"link", LinkAtPath::refuse, FileKind::link, have_link},
        {"link", LinkAtPath::follow, FileKind::regular, have_link},
        {"fifo", LinkAtPath::refuse, FileKind::other, have_fifo},
    };
    for (const auto& c : cases) {
        if (!c.available) {
            continue;
        }
        const NativeString path = dir.native(c.name);
        const auto links = c.links;
        // A FIFO without a writer must not hold up the open.
        auto file = testing::run_with_deadline<OsResult<FileHandle>>(
            [path, links] { return FileHandle::open(path, links); });
        ASSERT_TRUE(file.has_value()) << c.name << ": the open blocked";
        ASSERT_TRUE(*file) << c.name << ": " << file->error().text;
        FileHandle& handle = **file;
        EXPECT_EQ(handle.kind(), c.kind) << c.name;
        if (c.kind == FileKind::regular) {
            auto content = read_rest(handle);
            ASSERT_TRUE(content);
            EXPECT_EQ(*content, "target content");
            continue;
        }
        // Nothing but a regular file is read or copied.
        std::uint8_t buffer[16];
        EXPECT_FALSE(handle.read(buffer)) << c.name;
        EXPECT_FALSE(handle.rewind()) << c.name;
        EXPECT_FALSE(handle.copy_rest_to_new_file(dir.native("copy"))) << c.name;
        EXPECT_FALSE(fs::exists(dir.path() / "copy")) << c.name;
    }
    const auto missing = FileHandle::open(dir.native("missing"), LinkAtPath::refuse);
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().kind, OsErrorKind::not_found);
}

// What was opened is what is read, whatever the name is swapped for later.
TEST(FileHandleTest, ReadsTheOpenedFileAfterItsNameIsSwapped) {
    testing::TempDir dir;
    testing::write_file(dir.path() / "data", "opened content");
    testing::write_file(dir.path() / "secret", "not for you");
    auto file = FileHandle::open(dir.native("data"), LinkAtPath::refuse);
    ASSERT_TRUE(file) << file.error().text;
    std::error_code error;
    fs::remove(dir.path() / "data", error);
    if (error || !make_file_link(dir.path() / "secret", dir.path() / "data")) {
        GTEST_SKIP() << "an open file cannot be replaced by a link here";
    }
    auto content = read_rest(*file);
    ASSERT_TRUE(content) << content.error().text;
    EXPECT_EQ(*content, "opened content");
}

}  // namespace
}  // namespace kavo
