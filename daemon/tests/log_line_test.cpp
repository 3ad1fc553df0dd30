// Redaction, line assembly and rotation arithmetic of the core log.
#include <gtest/gtest.h>

#include <iterator>
#include <string>
#include <vector>

#include "core/log_line.h"
#include "core/log_rotation.h"
#include "core/redact.h"
#include "platform/utf.h"

namespace kavo {
namespace {

struct RedactCase {
    const char* input;
    const char* expected;
};

TEST(RedactLineTest, Table) {
    const RedactCase cases[] = {
        {"token=Zq8vLk2Pw next", "<redacted> next"},
        {"Authorization: Bearer eyJhbGciOi.xYz plain", "<redacted> <redacted> <redacted> plain"},
        {"authorization:bearer eyJhbGciOi.xYz", "<redacted> <redacted>"},
        {R"({"password":"hunter2"},)", "<redacted>"},
        {"password", "password"},
        {"password = hunter2", "password = hunter2"},
        {"secrets=abc123", "secrets=abc123"},
        {"access_token=abc123", "access_token=abc123"},
        {"SUBSCRIPTION-URL: https://sub.example.net/s/0a1b2c", "<redacted> <redacted>"},
        {"see HtTpS://example.net/path?q=1", "see <redacted-url>"},
        {"a\t\tb  ", "a b"},
        {"      ", ""},
        {"", ""},
        // A quoted "bearer" after a redacted token keeps the next one redacted.
        {"Bearer \"Bearer\" abc def", "<redacted> <redacted> <redacted> def"},
        {"token:BEARER abc def", "<redacted> <redacted> def"},
        {"secret=\"\" abc def", "<redacted> <redacted> def"},
        {"(secret='x') def", "<redacted> def"},
        {"x:bearer y z", "<redacted> <redacted> z"},
        {"[\"token\"]=x", "[\"token\"]=x"},
        {"passwordx=1 tokens=2", "passwordx=1 tokens=2"},
        {"PASSWORD=x Subscription_Url=y", "<redacted> <redacted>"},
        {"token\"\"=x y", "<redacted> y"},
        {"http://a ftp://b", "<redacted-url> ftp://b"},
        // A URL after a redacted key with its value is still a URL.
        {"token=abc http://u", "<redacted> <redacted-url>"},
        // A URL does not end the redaction of a value that follows.
        {"password: http://u", "<redacted> <redacted>"},
        {"a\xC2\xA0"
         "b\xE3\x80\x80"
         "c\xE2\x80\xA8"
         "d\xC2\x85"
         "e\xE1\x9A\x80"
         "f",
         "a b c d e f"},
        // U+200B and U+180E are not white space.
        {"a\xE2\x80\x8B"
         "b\xE1\xA0\x8E"
         "c",
         "a\xE2\x80\x8B"
         "b\xE1\xA0\x8E"
         "c"},
        {"\xE2\x80\x8A"
         "x\xE2\x81\x9F"
         "y\xE2\x80\xAF",
         "x y"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(redact_line(c.input), c.expected) << "input: " << c.input;
    }
}

TEST(RedactLineTest, RedactNextEndsWithTheLine) {
    EXPECT_EQ(redact_line("token="), "<redacted>");
    EXPECT_EQ(redact_line("abc"), "abc");
}

std::vector<std::string> assemble(const std::vector<std::string>& chunks, bool with_tail = true) {
    LineAssembler assembler;
    std::vector<std::string> lines;
    for (const auto& chunk : chunks) {
        assembler.feed(chunk, [&](const RawLine& line) { lines.push_back(decode_raw_line(line)); });
    }
    if (with_tail) {
        if (const auto tail = assembler.finish()) {
            lines.push_back(decode_raw_line(*tail));
        }
    }
    return lines;
}

TEST(LineAssemblerTest, SplitsAtLineFeedsAcrossChunks) {
    using Lines = std::vector<std::string>;
    EXPECT_EQ(assemble({"abc\r", "\nde", "f\n"}), (Lines{"abc", "def"}));
    EXPECT_EQ(assemble({"one\n\ntwo"}), (Lines{"one", "", "two"}));
    EXPECT_EQ(assemble({"x\n"}), (Lines{"x"}));
    EXPECT_EQ(assemble({""}), Lines{});
    // Only one carriage return goes.
    EXPECT_EQ(assemble({"ab\r\r\n"}), (Lines{"ab\r"}));
    EXPECT_EQ(assemble({"a\xFF"
                        "b\xE2\x82\n"}),
              (Lines{"a\xEF\xBF\xBD"
                     "b\xEF\xBF\xBD"}));
}

std::string feed_in_reads(const std::string& bytes) {
    LineAssembler assembler;
    std::vector<std::string> lines;
    for (std::size_t at = 0; at < bytes.size(); at += CORE_LOG_READ_BUFFER_LEN) {
        assembler.feed(std::string_view(bytes).substr(at, CORE_LOG_READ_BUFFER_LEN),
                       [&](const RawLine& line) { lines.push_back(decode_raw_line(line)); });
    }
    EXPECT_EQ(lines.size(), 1u);
    return lines.empty() ? std::string() : lines.front();
}

TEST(LineAssemblerTest, LineLimitAndTruncation) {
    const std::string marker(TRUNCATED_MARKER);
    struct Case {
        std::string line;
        std::string expected;
    };
    const std::string euro = "\xE2\x82\xAC";
    const Case cases[] = {
        {std::string(65536, 'a'), std::string(65536, 'a')},
        {std::string(65537, 'a'), std::string(65525, 'a') + marker},
        {std::string(70000, 'a'), std::string(65525, 'a') + marker},
        // Cut at exactly 65,525 bytes when that is a boundary.
        {std::string(65525, 'a') + euro + std::string(5000, 'b'), std::string(65525, 'a') + marker},
        // A two-byte character across the cut moves it back by one.
        {std::string(65524, 'a') + "\xC3\xA9" + std::string(5000, 'b'),
         std::string(65524, 'a') + marker},
        {std::string(65523, 'a') + euro + std::string(5000, 'b'), std::string(65523, 'a') + marker},
        // The carriage return at the end of the kept bytes is dropped too.
        {std::string(65535, 'a') + "\r" + std::string(10, 'b'), std::string(65525, 'a') + marker},
    };
    for (const auto& c : cases) {
        const std::string got = feed_in_reads(c.line + "\n");
        EXPECT_EQ(got.size(), c.expected.size()) << "input length " << c.line.size();
        EXPECT_TRUE(got == c.expected) << "input length " << c.line.size();
    }
}

TEST(LineAssemblerTest, PartialLineAtEndOfFile) {
    LineAssembler assembler;
    EXPECT_FALSE(assembler.finish().has_value());
    assembler.feed("done\nrest", [](const RawLine&) {});
    const auto tail = assembler.finish();
    ASSERT_TRUE(tail.has_value());
    EXPECT_EQ(tail->bytes, "rest");
    EXPECT_FALSE(tail->truncated);
}

TEST(RedactLogLineTest, GuardsTheLengthAfterConversionAndRedaction) {
    // Each invalid byte becomes a three-byte U+FFFD, so the text triples.
    const std::string text = decode_raw_line(RawLine{std::string(65536, '\xFF'), false});
    ASSERT_EQ(text.size(), 3u * 65536);
    const std::string guarded = redact_log_line(text);
    EXPECT_LE(guarded.size(), MAX_RAW_LINE_LEN);
    EXPECT_EQ(guarded.size(), 65523u + TRUNCATED_MARKER.size());
    EXPECT_TRUE(is_valid_utf8(guarded));
    EXPECT_TRUE(guarded.ends_with(TRUNCATED_MARKER));
    // Redaction can lengthen a line, too: "x=" per token becomes "<redacted>".
    std::string keys;
    for (int i = 0; i < 10000; ++i) {
        keys += "token= ";
    }
    EXPECT_LE(redact_log_line(keys).size(), MAX_RAW_LINE_LEN);
    EXPECT_EQ(redact_log_line("short token=x"), "short <redacted>");
}

// The batch takes a shortcut for plain ASCII; every line must come out as the
// general path gives it, and the lines must stay apart.
TEST(CoreLogBatchTest, LinesAreWhatTheGeneralPathGives) {
    std::string keys;
    for (int i = 0; i < 10000; ++i) {
        keys += "token= ";
    }
    struct Case {
        std::string bytes;
        bool truncated;
        RawLine raw() const { return RawLine{bytes, truncated}; }
    };
    const Case lines[] = {
        {"", false},
        {"\r", false},
        {"plain ascii line with  two   spaces\r", false},
        {"2026 INFO token=Zq8v Authorization: Bearer abc https://x.example/sub?k=1", false},
        {"tab\there\x0b"
         "vt\x0c"
         "ff end ",
         false},
        {"caf\xC3\xA9 password=h\xC3\xA9", false},
        {"wide\xE2\x80\x83space\xC2\xA0nbsp\xE3\x80\x80ideo", false},
        {"invalid \xFF\xFE bytes secret:x", false},
        {"\xC2", false},
        {"cut off here token=abc", true},
        {keys, false},
        {std::string(65536, 'a'), true},
        {std::string(65536, '\xFF'), false},
    };
    CoreLogBatch batch;
    std::string expected;
    for (const Case& line : lines) {
        batch.add_output_line(line.raw());
        expected += redact_log_line(decode_raw_line(line.raw())) + "\n";
    }
    batch.add_text_line("as it is  token=x");
    expected += "as it is  token=x\n";
    ASSERT_EQ(batch.size(), std::size(lines) + 1);
    EXPECT_TRUE(batch.text() == expected);
    for (std::size_t i = 0; i < std::size(lines); ++i) {
        const std::string one = redact_log_line(decode_raw_line(lines[i].raw())) + "\n";
        EXPECT_TRUE(batch.line(i) == one) << "line " << i;
    }
    EXPECT_EQ(batch.line(std::size(lines)), "as it is  token=x\n");

    batch.clear();
    EXPECT_TRUE(batch.empty());
    EXPECT_EQ(batch.text(), "");
    batch.add_output_line(RawLine{"again", false});
    EXPECT_EQ(batch.text(), "again\n");
}

TEST(LogRotationTest, DueOnlyBeyondTheLimit) {
    constexpr std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
    struct Case {
        std::uint64_t written;
        std::uint64_t n;
        bool due;
    };
    const Case cases[] = {
        {0, max, false},  // a fresh file takes its first line whatever its length
        {0, 6000000, false}, {5242879, 1, false}, {5242870, 10, false}, {5242870, 11, true},
        {5242880, 1, true},  {1, max, true},      {max, 1, true},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(core_log_rotation_due(c.written, c.n), c.due) << c.written << " + " << c.n;
    }
    EXPECT_EQ(saturating_add(max - 1, 5), max);
    EXPECT_FALSE(core_log_full(5242879));
    EXPECT_TRUE(core_log_full(5242880));
    EXPECT_EQ(rotated_core_log_name(1), "core.log.1");
    EXPECT_EQ(rotated_core_log_name(3), "core.log.3");
}

}  // namespace
}  // namespace kavo
