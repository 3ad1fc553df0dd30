// The path rules of both systems, run natively through the style parameter.
#include <gtest/gtest.h>

#include <string>

#include "platform/path.h"

namespace kavo {
namespace {

TEST(PathTest, JoinAddsOneSeparatorOnly) {
    struct Case {
        std::string_view left;
        std::string_view right;
        PathStyle style;
        std::string_view joined;
    } cases[] = {
        {"C:\\ProgramData", "KAVO", PathStyle::windows, "C:\\ProgramData\\KAVO"},
        {"C:\\ProgramData\\", "KAVO", PathStyle::windows, "C:\\ProgramData\\KAVO"},
        {"C:/ProgramData/", "KAVO", PathStyle::windows, "C:/ProgramData/KAVO"},
        {"C:", "x", PathStyle::windows, "C:\\x"},
        {"/var/lib", "kavo", PathStyle::posix, "/var/lib/kavo"},
        {"/var/lib/", "kavo", PathStyle::posix, "/var/lib/kavo"},
        // A backslash is an ordinary character in a Linux file name.
        {"/var/odd\\", "kavo", PathStyle::posix, "/var/odd\\/kavo"},
        {"", "kavo", PathStyle::posix, "kavo"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(join_path(c.left, c.right, c.style), c.joined) << c.left << " + " << c.right;
    }
}

TEST(PathTest, AbsoluteNeedsAPrefixAndARoot) {
    struct Case {
        std::string_view path;
        PathStyle style;
        bool absolute;
    } cases[] = {
        {"C:\\ProgramData", PathStyle::windows, true},
        {"c:/ProgramData", PathStyle::windows, true},
        {"C:\\", PathStyle::windows, true},
        {"C:ProgramData", PathStyle::windows, false},
        {"C:", PathStyle::windows, false},
        {"\\ProgramData", PathStyle::windows, false},
        {"/ProgramData", PathStyle::windows, false},
        {"ProgramData", PathStyle::windows, false},
        {"", PathStyle::windows, false},
        {"1:\\x", PathStyle::windows, false},
        {"\\\\server\\share\\dir", PathStyle::windows, true},
        {"\\\\server\\share\\", PathStyle::windows, true},
        {"\\\\server\\share", PathStyle::windows, false},
        {"\\\\server", PathStyle::windows, false},
        {"\\\\\\share\\x", PathStyle::windows, false},
        {"\\\\?\\C:\\ProgramData", PathStyle::windows, true},
        {"\\\\?\\C:", PathStyle::windows, false},
        {"\\\\.\\pipe\\name", PathStyle::windows, true},
        {"\\\\?\\UNC\\server\\share\\x", PathStyle::windows, true},
        {"\\\\?\\UNC\\server\\share", PathStyle::windows, false},
        {"\\\\?\\", PathStyle::windows, false},
        {"/var/lib", PathStyle::posix, true},
        {"/", PathStyle::posix, true},
        {"var/lib", PathStyle::posix, false},
        {"C:\\ProgramData", PathStyle::posix, false},
        {"", PathStyle::posix, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(is_absolute_path(c.path, c.style), c.absolute) << c.path;
    }
}

TEST(PathTest, ParentKeepsTheRoot) {
    struct Case {
        std::string_view path;
        PathStyle style;
        std::optional<std::string> parent;
    } cases[] = {
        {"/a/b", PathStyle::posix, "/a"},
        {"/a/b//", PathStyle::posix, "/a"},
        {"/a", PathStyle::posix, "/"},
        {"/", PathStyle::posix, std::nullopt},
        {"a//b", PathStyle::posix, "a"},
        {"a", PathStyle::posix, std::nullopt},
        {"C:\\a\\b", PathStyle::windows, "C:\\a"},
        {"C:\\a", PathStyle::windows, "C:\\"},
        {"C:\\", PathStyle::windows, std::nullopt},
        {"C:/a/b", PathStyle::windows, "C:/a"},
        {"a\\b", PathStyle::posix, std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(parent_path(c.path, c.style), c.parent) << c.path;
    }
}

TEST(PathTest, LastComponentIgnoresTrailingSeparators) {
    struct Case {
        std::string_view path;
        PathStyle style;
        std::string_view last;
    } cases[] = {
        {"/a/b", PathStyle::posix, "b"},
        {"/a/b//", PathStyle::posix, "b"},
        {"/", PathStyle::posix, ""},
        {"a", PathStyle::posix, "a"},
        {"C:\\a\\KAVO", PathStyle::windows, "KAVO"},
        {"C:/a/b\\", PathStyle::windows, "b"},
        {"a\\b", PathStyle::posix, "a\\b"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(last_component(c.path, c.style), c.last) << c.path;
    }
}

// Where a running program's image lies relative to the tree an uninstall
// removes: whole components only, the Windows rules without regard to case.
TEST(PathTest, LiesWithinComparesWholeComponents) {
    constexpr std::string_view ROOT = "C:\\ProgramData\\KAVO\\Service";
    struct Case {
        std::string_view path;
        std::string_view tree;
        PathStyle style;
        bool within;
    } cases[] = {
        {"C:\\ProgramData\\KAVO\\Service\\kavo-daemon.exe", ROOT, PathStyle::windows, true},
        {"C:\\ProgramData\\KAVO\\Service\\Runtime\\x\\core.exe", ROOT, PathStyle::windows, true},
        {"C:\\ProgramData\\KAVO\\Service", ROOT, PathStyle::windows, true},
        {"c:\\programdata\\kavo\\SERVICE\\kavo-daemon.exe", ROOT, PathStyle::windows, true},
        {"C:/ProgramData/KAVO/Service/kavo-daemon.exe", ROOT, PathStyle::windows, true},
        {"C:\\ProgramData\\\\KAVO\\.\\Service\\kavo-daemon.exe", ROOT, PathStyle::windows, true},
        {"C:\\ProgramData\\KAVO\\Service\\kavo-daemon.exe", "C:\\ProgramData\\KAVO\\Service\\",
         PathStyle::windows, true},
        {"C:\\ProgramData\\KAVO\\Service\\kavo-daemon.exe", "C:\\ProgramData\\KAVO\\Service\\\\",
         PathStyle::windows, true},
        // The system's own form of a path, on either side.
        {"\\\\?\\C:\\ProgramData\\KAVO\\Service\\kavo-daemon.exe", ROOT, PathStyle::windows, true},
        {"C:\\ProgramData\\KAVO\\Service\\kavo-daemon.exe", "\\\\?\\c:\\ProgramData\\KAVO\\Service",
         PathStyle::windows, true},
        {"\\\\?\\UNC\\server\\share\\KAVO\\kavo-daemon.exe", "\\\\server\\share\\KAVO",
         PathStyle::windows, true},
        // Names that merely begin with the same characters.
        {"C:\\ProgramData\\KAVO\\Service2\\kavo-daemon.exe", ROOT, PathStyle::windows, false},
        {"C:\\ProgramData\\KAVO\\Service.staging-0123\\kavo-daemon.exe", ROOT, PathStyle::windows,
         false},
        {"C:\\ProgramData\\KAVO\\Servic", ROOT, PathStyle::windows, false},
        {"C:\\ProgramData\\KAVO\\kavo-daemon.exe", ROOT, PathStyle::windows, false},
        {"C:\\Users\\me\\Downloads\\kavo-daemon.exe", ROOT, PathStyle::windows, false},
        {"D:\\ProgramData\\KAVO\\Service\\kavo-daemon.exe", ROOT, PathStyle::windows, false},
        // ".." leads out of the tree, as Windows reads it.
        {"C:\\ProgramData\\KAVO\\Service\\..\\kavo-daemon.exe", ROOT, PathStyle::windows, false},
        {"C:\\ProgramData\\KAVO\\Other\\..\\Service\\kavo-daemon.exe", ROOT, PathStyle::windows,
         true},
        // A bare root is no tree.
        {"C:\\ProgramData\\kavo-daemon.exe", "\\", PathStyle::windows, false},
        {"/var/lib/kavo/Service/kavo-daemon", "/var/lib/kavo/Service", PathStyle::posix, true},
        {"/var/lib/kavo/Service/kavo-daemon", "/var/lib/kavo/Service/", PathStyle::posix, true},
        // Linux names differ by case, and a backslash is part of a name.
        {"/var/lib/kavo/service/kavo-daemon", "/var/lib/kavo/Service", PathStyle::posix, false},
        {"/var/lib/kavo/Service\\kavo-daemon", "/var/lib/kavo/Service", PathStyle::posix, false},
        {"/var/lib/kavo/Service2/kavo-daemon", "/var/lib/kavo/Service", PathStyle::posix, false},
        {"/x", "/", PathStyle::posix, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(path_lies_within(c.path, c.tree, c.style), c.within)
            << c.path << " in " << c.tree;
    }
    EXPECT_TRUE(path_lies_within(std::wstring_view(L"C:\\KAVO\\SERVICE\\a.exe"),
                                 std::wstring_view(L"c:\\kavo\\service"), PathStyle::windows));
}

TEST(PathTest, WorksOnWideStrings) {
    EXPECT_EQ(join_path(std::wstring_view(L"C:\\ProgramData"), std::wstring_view(L"KAVO"),
                        PathStyle::windows),
              L"C:\\ProgramData\\KAVO");
    EXPECT_TRUE(is_absolute_path(std::wstring_view(L"D:\\x"), PathStyle::windows));
}

}  // namespace
}  // namespace kavo
