// The first slice of the platform seam: digests, random bytes, text
// conversion, error text, attributes and the process's own facts.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <string>

#include "platform/crypto.h"
#include "platform/file_attributes.h"
#include "platform/fs.h"
#include "platform/hex.h"
#include "platform/native_string.h"
#include "platform/os_error.h"
#include "platform/process_info.h"
#include "platform/random.h"
#include "platform/utf.h"
#include "test_support.h"

namespace kavo {
namespace {

std::string hex_of(const Sha256Digest& digest) {
    return hex_lower(digest);
}

TEST(Sha256Test, KnownDigestsOneShotAndStreamed) {
    EXPECT_EQ(hex_of(sha256(std::string_view(""))),
              "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    EXPECT_EQ(hex_of(sha256(std::string_view("abc"))),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    // The same bytes fed in uneven pieces give the same digest.
    const std::string text(100000, 'q');
    Sha256 streamed;
    for (std::size_t at = 0; at < text.size(); at += 777) {
        streamed.update(std::string_view(text).substr(at, 777));
    }
    EXPECT_EQ(hex_of(streamed.finish()), hex_of(sha256(std::string_view(text))));
}

struct HmacVector {
    std::string key;
    std::string data;
    const char* mac;
};

// RFC 4231, test cases 1-4, 6 and 7 (6 and 7 use a key longer than the block).
TEST(HmacSha256Test, Rfc4231Vectors) {
    std::string key4;
    for (int i = 1; i <= 25; ++i)
        key4.push_back(static_cast<char>(i));
    const HmacVector vectors[] = {
        {std::string(20, '\x0b'), "Hi There",
         "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
        {"Jefe", "what do ya want for nothing?",
         "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
        {std::string(20, '\xaa'), std::string(50, '\xdd'),
         "773ea91e36800e46854db8ebd09181a72959098b3ef8c122d9635514ced565fe"},
        {key4, std::string(50, '\xcd'),
         "82558a389a443c0ea4cc819899f2083a85f0faa3e578f8077a2e3ff46729665b"},
        {std::string(131, '\xaa'), "Test Using Larger Than Block-Size Key - Hash Key First",
         "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
        {std::string(131, '\xaa'),
         "This is a test using a larger than block-size key and a larger than block-size "
         "data. The key needs to be hashed before being used by the HMAC algorithm.",
         "9b09ffa71b942fcb27635fbcd5b0e944bfdc63644f0713938a7f51535c3a35e2"},
    };
    for (const auto& v : vectors) {
        EXPECT_EQ(hex_of(hmac_sha256(std::string_view(v.key), std::string_view(v.data))), v.mac)
            << "key of " << v.key.size() << " bytes";
    }
}

TEST(RandomTest, FillsDistinctBuffers) {
    std::set<std::string> seen;
    for (int i = 0; i < 16; ++i) {
        std::uint8_t bytes[16] = {};
        ASSERT_TRUE(fill_random(bytes));
        seen.insert(hex_lower(bytes));
    }
    EXPECT_EQ(seen.size(), 16u);
}

TEST(HexTest, EncodesAndDecodesEitherCase) {
    const std::uint8_t bytes[] = {0x00, 0x7f, 0xab, 0xff};
    EXPECT_EQ(hex_lower(bytes), "007fabff");
    const auto decoded = decode_hex("007FaBff");
    ASSERT_TRUE(decoded);
    EXPECT_EQ(hex_lower(*decoded), "007fabff");
    EXPECT_FALSE(decode_hex("abc"));
    EXPECT_FALSE(decode_hex("0g"));
}

TEST(UtfTest, LossyReplacesEachMaximalIllFormedSubpart) {
    struct Case {
        std::string in;
        std::string out;
    } cases[] = {
        {"plain", "plain"},
        {"\xC3\xA9", "\xC3\xA9"},  // valid two-byte
        {"a\xFF"
         "b",
         "a\xEF\xBF\xBD"
         "b"},                         // invalid byte
        {"\xE2\x82", "\xEF\xBF\xBD"},  // truncated three-byte: one U+FFFD
        {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // encoded surrogate
        {"\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD"},                  // overlong
        {"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},                  // four-byte
        {"\xF4\x90\x80\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // > U+10FFFF
    };
    for (const auto& c : cases) {
        EXPECT_EQ(utf8_lossy(c.in), c.out) << hex_lower(
            std::span(reinterpret_cast<const std::uint8_t*>(c.in.data()), c.in.size()));
        EXPECT_EQ(is_valid_utf8(c.in), c.in == c.out);
    }
}

TEST(UtfTest, Utf16RoundTripAndUnpairedSurrogates) {
    const std::string text = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80";
    const auto units = utf8_to_utf16(text);
    ASSERT_TRUE(units);
    EXPECT_EQ(units->size(), 5u);  // a, e-acute, euro, surrogate pair
    EXPECT_EQ(utf16_to_utf8(*units), text);
    EXPECT_FALSE(utf16_to_utf8(std::u16string(1, u'\xD800')));
    EXPECT_FALSE(utf16_to_utf8(std::u16string(u"\xDC00x")));
    EXPECT_FALSE(utf8_to_utf16("\xFF"));
}

TEST(UtfTest, FloorBoundaryNeverCutsACharacter) {
    const std::string text =
        "ab\xE2\x82\xAC"
        "c";  // a b euro c
    EXPECT_EQ(utf8_floor_boundary(text, 2), 2u);
    EXPECT_EQ(utf8_floor_boundary(text, 3), 2u);
    EXPECT_EQ(utf8_floor_boundary(text, 4), 2u);
    EXPECT_EQ(utf8_floor_boundary(text, 5), 5u);
    EXPECT_EQ(utf8_floor_boundary(text, 99), text.size());
}

TEST(OsErrorTest, SystemMessagesBecomeOneLine) {
    struct Case {
        std::string_view message;
        std::string_view line;
    } cases[] = {
        {"Access is denied.\r\n", "Access is denied."},
        {"Access is denied.", "Access is denied."},
        // Breaks the message text hard-codes, with the indent of the next line.
        {"The process cannot access the file.\r\nIt is in use.\r\n",
         "The process cannot access the file. It is in use."},
        {"first\r\n\r\n\tsecond", "first second"},
        {"first \n second", "first second"},
        {"lone\rreturn", "lone return"},
        {"lone\nfeed", "lone feed"},
        // White space without a break inside the message stays as it is.
        {"two  spaces\tand a tab", "two  spaces\tand a tab"},
        {"\r\n  leading and trailing  \r\n", "leading and trailing"},
        {"\r\n\r\n", ""},
        {"", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(one_line_message(c.message), c.line) << ::testing::PrintToString(c.message);
    }
}

TEST(OsErrorTest, TextCarriesMessageAndCode) {
    EXPECT_EQ(format_os_error_text("Access is denied.\r\n", 5), "Access is denied. (os error 5)");
    EXPECT_EQ(format_os_error_text("One.\r\nTwo.\r\n", 6), "One. Two. (os error 6)");
    EXPECT_EQ(format_os_error_text("", 7), "Unknown error (os error 7)");
    EXPECT_EQ(format_os_error_text(" \r\n", 8), "Unknown error (os error 8)");
    const OsError error = os_error(2);  // file not found on both systems
    EXPECT_EQ(error.kind, OsErrorKind::not_found);
    EXPECT_TRUE(error.text.ends_with(" (os error 2)")) << error.text;
    EXPECT_GT(error.text.size(), std::string(" (os error 2)").size());
    // The system's own texts, whatever they hold, come out as one line.
    for (const std::uint32_t code : {2u, 5u, 32u, 87u, 183u, 1063u}) {
        const std::string text = os_error(code).text;
        EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos) << text;
        EXPECT_EQ(text, one_line_message(text));
    }
}

// The link and directory rules as a table over attributes and reparse tags,
// and which files are read through a second, ordinary open.
TEST(FileAttributesTest, LinkAndDirectoryRules) {
    struct Case {
        FileAttributes attributes;
        bool link;
        bool directory;
        bool reopen;
    } cases[] = {
        {{ATTRIBUTE_DIRECTORY, 0}, false, true, false},
        {{ATTRIBUTE_NORMAL, 0}, false, false, false},
        {{ATTRIBUTE_REPARSE_POINT, REPARSE_TAG_SYMLINK}, true, false, false},
        {{ATTRIBUTE_REPARSE_POINT | ATTRIBUTE_DIRECTORY, REPARSE_TAG_SYMLINK}, true, false, false},
        {{ATTRIBUTE_REPARSE_POINT | ATTRIBUTE_DIRECTORY, REPARSE_TAG_MOUNT_POINT},
         true,
         false,
         false},
        // A reparse point without the name-surrogate bit (deduplication, cloud files).
        {{ATTRIBUTE_REPARSE_POINT, 0x80000013}, false, false, true},
        {{ATTRIBUTE_REPARSE_POINT | ATTRIBUTE_DIRECTORY, 0x9000001A}, false, true, true},
        // The tag alone means nothing without the reparse attribute.
        {{ATTRIBUTE_NORMAL, REPARSE_TAG_SYMLINK}, false, false, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(is_link(c.attributes), c.link)
            << std::hex << c.attributes.attributes << " " << c.attributes.reparse_tag;
        EXPECT_EQ(is_directory(c.attributes), c.directory)
            << std::hex << c.attributes.attributes << " " << c.attributes.reparse_tag;
        EXPECT_EQ(needs_reopen_to_read(c.attributes), c.reopen)
            << std::hex << c.attributes.attributes << " " << c.attributes.reparse_tag;
    }
}

TEST(FsTest, AttributesOfFileDirectoryAndMissingEntry) {
    testing::TempDir dir;
    testing::write_file(dir.path() / "file", "x");
    const auto file = read_attributes_no_follow(dir.native("file"));
    ASSERT_TRUE(file) << file.error().text;
    EXPECT_FALSE(is_directory(*file));
    EXPECT_FALSE(is_link(*file));
    const auto directory = read_attributes_no_follow(dir.native());
    ASSERT_TRUE(directory) << directory.error().text;
    EXPECT_TRUE(is_directory(*directory));
    const auto missing = read_attributes_no_follow(dir.native("missing"));
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().kind, OsErrorKind::not_found);
}

TEST(ProcessInfoTest, ArgumentsAndExecutablePath) {
    const auto arguments = process_arguments();
    ASSERT_TRUE(arguments) << arguments.error().text;
    ASSERT_FALSE(arguments->empty());
    const auto path = running_executable_path();
    ASSERT_TRUE(path) << path.error().text;
    const auto name = std::filesystem::path(*path).filename().string();
    EXPECT_TRUE(name.starts_with("kavo_daemon_tests")) << name;
}

}  // namespace
}  // namespace kavo

namespace kavo {
namespace {

TEST(FsTest, SizeRenameReplaceAndRemove) {
    testing::TempDir dir;
    testing::write_file(dir.path() / "a", "12345");
    testing::write_file(dir.path() / "b", "old");
    const auto size = file_size(dir.native("a"));
    ASSERT_TRUE(size) << size.error().text;
    EXPECT_EQ(*size, 5u);
    ASSERT_TRUE(rename_replace(dir.native("a"), dir.native("b")));
    EXPECT_EQ(testing::read_file(dir.path() / "b"), "12345");
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "a"));
    ASSERT_TRUE(remove_file(dir.native("b")));
    const auto gone = file_size(dir.native("b"));
    ASSERT_FALSE(gone);
    EXPECT_EQ(gone.error().kind, OsErrorKind::not_found);
    const auto again = remove_file(dir.native("b"));
    ASSERT_FALSE(again);
    EXPECT_EQ(again.error().kind, OsErrorKind::not_found);
}

}  // namespace
}  // namespace kavo

namespace kavo {
namespace {

TEST(UtfTest, TrimsExactlyTheUnicodeWhiteSpaceSet) {
    struct Case {
        std::string in;
        std::string out;
    } cases[] = {
        {"\x09\x0A\x0B\x0C\x0D\x20x\x20", "x"},
        {"\xC2\x85x\xC2\xA0", "x"},                      // U+0085, U+00A0
        {"\xE1\x9A\x80x\xE2\x80\x80", "x"},              // U+1680, U+2000
        {"\xE2\x80\x8Ax\xE2\x80\xA9", "x"},              // U+200A, U+2029
        {"\xE2\x80\xAFx\xE2\x81\x9F\xE3\x80\x80", "x"},  // U+202F, U+205F, U+3000
        {"\xE2\x80\x8Bx", "\xE2\x80\x8Bx"},              // U+200B is not white space
        {"\xEF\xBB\xBFx", "\xEF\xBB\xBFx"},              // nor is the byte-order mark
        {"a b", "a b"},
        {"   ", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(trim_unicode_white_space(c.in), c.out) << c.in;
    }
}

}  // namespace
}  // namespace kavo
