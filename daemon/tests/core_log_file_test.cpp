// The core log file: rotation at start and while writing, and the writer's
// limits and failures, on real files.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "core/core_log_file.h"
#include "core/log_line.h"
#include "core/log_rotation.h"
#include "test_support.h"

namespace kavo {
namespace {

namespace fs = std::filesystem;

constexpr std::uint64_t LIMIT = CORE_LOG_ROTATION_SIZE;

using testing::is_banner;

std::shared_ptr<CoreLogWriter> open_writer(const testing::TempDir& dir) {
    auto writer = CoreLogWriter::open(dir.native());
    EXPECT_TRUE(writer) << writer.error();
    return writer ? *writer : nullptr;
}

std::uint64_t size_of(const testing::TempDir& dir, const char* name) {
    return fs::file_size(dir.path() / name);
}

// At start the file found is rotated only once it has reached the limit; a
// file below it still moves aside when the banner does not fit any more, and
// one with room for the banner stays.
TEST(CoreLogFileTest, StartRotatesAFullLog) {
    struct Case {
        std::optional<std::uint64_t> found;
        bool shifted;
    };
    const Case cases[] = {
        {std::nullopt, false}, {100, false},  {LIMIT - 100, false},
        {LIMIT - 1, true},     {LIMIT, true}, {LIMIT + 1000, true},
    };
    for (const auto& c : cases) {
        const std::string label = c.found ? std::to_string(*c.found) : "no file";
        testing::TempDir dir;
        if (c.found) {
            testing::write_file(dir.path() / "core.log", std::string(*c.found, 'x'));
        }
        testing::write_file(dir.path() / "core.log.1", "one");
        testing::write_file(dir.path() / "core.log.2", "two");
        testing::write_file(dir.path() / "core.log.3", "three");
        auto writer = open_core_log_for_start(dir.native());
        ASSERT_TRUE(writer) << label << ": " << writer.error();
        writer->reset();

        const std::string log = testing::read_file(dir.path() / "core.log");
        const std::string kept = c.found && !c.shifted ? std::string(*c.found, 'x') : "";
        ASSERT_TRUE(log.starts_with(kept + "\n")) << label;
        const std::string banner = log.substr(kept.size() + 1);
        ASSERT_TRUE(banner.ends_with("\n")) << label;
        EXPECT_TRUE(is_banner(banner.substr(0, banner.size() - 1))) << label << ": " << banner;
        if (c.shifted) {
            EXPECT_EQ(size_of(dir, "core.log.1"), *c.found) << label;
            EXPECT_EQ(testing::read_file(dir.path() / "core.log.2"), "one") << label;
            EXPECT_EQ(testing::read_file(dir.path() / "core.log.3"), "two") << label;
        } else {
            EXPECT_EQ(testing::read_file(dir.path() / "core.log.1"), "one") << label;
            EXPECT_EQ(testing::read_file(dir.path() / "core.log.3"), "three") << label;
        }
        EXPECT_FALSE(fs::exists(dir.path() / "core.log.4")) << label;
    }
}

// Whether a line moves the file aside depends on what has been written, not
// on whether the file has reached the limit yet.
TEST(CoreLogWriterTest, LineThatDoesNotFitStartsAFreshFile) {
    struct Case {
        std::uint64_t found;
        std::size_t line;
        bool shifted;
    };
    const Case cases[] = {
        // From below: 10 bytes left, the line and its line feed take 20.
        {LIMIT - 10, 19, true},
        {LIMIT - 10, 9, false},  // exactly to the limit
        {LIMIT - 10, 10, true},  // one byte beyond
        {LIMIT, 0, true},
        {1, LIMIT, true},
        // A fresh file takes its first line whatever its length.
        {0, LIMIT + 5, false},
    };
    for (const auto& c : cases) {
        const std::string label = std::to_string(c.found) + " + " + std::to_string(c.line);
        testing::TempDir dir;
        testing::write_file(dir.path() / "core.log", std::string(c.found, 'x'));
        auto writer = open_writer(dir);
        ASSERT_TRUE(writer);
        EXPECT_EQ(writer->written(), c.found) << label;
        const std::string line(c.line, 'n');
        ASSERT_TRUE(write_core_log_line(*writer, line)) << label;
        if (c.shifted) {
            EXPECT_EQ(size_of(dir, "core.log.1"), c.found) << label;
            EXPECT_EQ(size_of(dir, "core.log"), c.line + 1) << label;
            EXPECT_EQ(writer->written(), c.line + 1) << label;
        } else {
            EXPECT_FALSE(fs::exists(dir.path() / "core.log.1")) << label;
            EXPECT_EQ(size_of(dir, "core.log"), c.found + c.line + 1) << label;
            EXPECT_EQ(writer->written(), c.found + c.line + 1) << label;
        }
        EXPECT_TRUE(testing::read_file(dir.path() / "core.log").ends_with(line + "\n")) << label;
    }
}

// Many lines of mixed lengths: no file ever beyond the limit, every file ends
// with a whole line, a file was moved aside only when the next line did not
// fit, and the kept files hold the newest lines in order.
TEST(CoreLogWriterTest, LongRunKeepsEveryFileWithinTheLimit) {
    testing::TempDir dir;
    auto writer = open_writer(dir);
    ASSERT_TRUE(writer);
    std::string expected;
    std::uint32_t state = 12345;
    for (int i = 0; expected.size() < 5 * LIMIT; ++i) {
        state = state * 1103515245u + 12345u;
        const std::size_t filler = (i % 17 == 0) ? 0 : (state >> 8) % 140000;
        std::string line = "line " + std::to_string(i) + " ";
        line.append(filler, static_cast<char>('a' + i % 26));
        ASSERT_TRUE(write_core_log_line(*writer, line)) << "line " << i;
        expected += line + "\n";
    }

    std::vector<std::string> files;
    for (const char* name : {"core.log.3", "core.log.2", "core.log.1", "core.log"}) {
        ASSERT_TRUE(fs::exists(dir.path() / name)) << name;
        files.push_back(testing::read_file(dir.path() / name));
        EXPECT_LE(files.back().size(), LIMIT) << name;
        EXPECT_TRUE(files.back().ends_with("\n")) << name;
    }
    for (std::size_t k = 0; k + 1 < files.size(); ++k) {
        const std::size_t first_line = files[k + 1].find('\n') + 1;
        EXPECT_GT(files[k].size() + first_line, LIMIT) << "file " << k << " moved aside early";
    }
    std::string kept;
    for (const auto& file : files) {
        kept += file;
    }
    ASSERT_LT(kept.size(), expected.size());
    EXPECT_TRUE(expected.ends_with(kept));
    EXPECT_EQ(expected[expected.size() - kept.size() - 1], '\n');
    EXPECT_EQ(writer->written(), files.back().size());
}

TEST(CoreLogWriterTest, FailedRotationLeavesNoFileAndIsRetried) {
    testing::TempDir dir;
    testing::write_file(dir.path() / "core.log", std::string(LIMIT - 10, 'x'));
    // A directory where the oldest file must be deleted makes the rotation fail.
    fs::create_directories(dir.path() / "core.log.3" / "inside");
    auto writer = open_writer(dir);
    ASSERT_TRUE(writer);
    for (int attempt = 0; attempt < 2; ++attempt) {
        auto written = write_core_log_line(*writer, std::string(19, 'l'));
        ASSERT_FALSE(written);
        EXPECT_TRUE(written.error().starts_with(CORE_LOG_PRUNE_FAILED)) << written.error();
        EXPECT_TRUE(written.error().ends_with(")")) << written.error();
        EXPECT_FALSE(writer->has_file());
        EXPECT_EQ(writer->written(), LIMIT - 10);
    }
    // A line that would still have fitted finds no file and no rotation due.
    auto unavailable = write_core_log_line(*writer, "short");
    ASSERT_FALSE(unavailable);
    EXPECT_EQ(unavailable.error(), CORE_LOG_UNAVAILABLE);

    fs::remove_all(dir.path() / "core.log.3");
    ASSERT_TRUE(write_core_log_line(*writer, "kept-line-of-twenty"));
    EXPECT_TRUE(writer->has_file());
    EXPECT_EQ(writer->written(), 20u);
    EXPECT_EQ(testing::read_file(dir.path() / "core.log"), "kept-line-of-twenty\n");
    EXPECT_EQ(size_of(dir, "core.log.1"), LIMIT - 10);
}

// The four files of a log directory, newest last; absent files are empty.
std::vector<std::string> log_files(const testing::TempDir& dir) {
    std::vector<std::string> files;
    for (const char* name : {"core.log.3", "core.log.2", "core.log.1", "core.log"}) {
        files.push_back(fs::exists(dir.path() / name) ? testing::read_file(dir.path() / name)
                                                      : std::string());
    }
    return files;
}

// Lines written in batches end up exactly where the same lines written one
// by one do: rotations fall between the same two lines, the bytes and the
// counts agree, and a failed rotation costs the same lines.
TEST(CoreLogWriterTest, BatchesLandAsSingleLinesWould) {
    struct Case {
        const char* label;
        std::uint64_t found;
        bool long_lines;        // now and then a line of up to 64 KiB
        bool blocked_rotation;  // the oldest file cannot be deleted at first
    };
    const Case cases[] = {
        {"fresh log, long lines", 0, true, false},
        // Short lines only: the line that crosses the limit is mostly one of
        // many in its batch.
        {"short lines", LIMIT - 100000, false, false},
        {"rotation fails, then works", LIMIT - 300, false, true},
    };
    for (const auto& c : cases) {
        testing::TempDir single_dir;
        testing::TempDir batch_dir;
        for (const auto* dir : {&single_dir, &batch_dir}) {
            testing::write_file(dir->path() / "core.log", std::string(c.found, 'x'));
            if (c.blocked_rotation) {
                fs::create_directories(dir->path() / "core.log.3" / "inside");
            }
        }
        auto single = open_writer(single_dir);
        auto batched = open_writer(batch_dir);
        ASSERT_TRUE(single && batched) << c.label;

        std::mt19937 random(99);
        CoreLogBatch batch;
        std::size_t batch_lines = 1;
        bool single_ok = true;
        for (int i = 0; i < 4000; ++i) {
            // Batches of 1 to 40 lines.
            const std::size_t filler =
                c.long_lines && random() % 16 == 0 ? random() % 65000 : random() % 300;
            std::string line = "line " + std::to_string(i) + " ";
            line.append(filler, static_cast<char>('a' + i % 26));
            single_ok = write_core_log_line(*single, line) && single_ok;
            batch.add_text_line(line);
            if (batch.size() == batch_lines || i == 3999) {
                const bool batch_ok = static_cast<bool>(write_core_log_lines(*batched, batch));
                EXPECT_EQ(batch_ok, single_ok) << c.label << ", line " << i;
                batch.clear();
                batch_lines = 1 + random() % 40;
                single_ok = true;
                // Between two batches, so that both writers meet the same
                // directory for every line.
                if (c.blocked_rotation && i >= 2000) {
                    fs::remove_all(single_dir.path() / "core.log.3");
                    fs::remove_all(batch_dir.path() / "core.log.3");
                }
            }
        }
        EXPECT_EQ(batched->written(), single->written()) << c.label;
        EXPECT_EQ(batched->has_file(), single->has_file()) << c.label;
        const auto expected = log_files(single_dir);
        const auto got = log_files(batch_dir);
        for (std::size_t k = 0; k < expected.size(); ++k) {
            EXPECT_EQ(got[k].size(), expected[k].size()) << c.label << ", file " << k;
            EXPECT_TRUE(got[k] == expected[k]) << c.label << ", file " << k;
            EXPECT_LE(got[k].size(), LIMIT) << c.label << ", file " << k;
        }
    }
}

// A write that fails loses the lines of that write and reports it; the
// writer keeps its count and tries the next lines again.
TEST(CoreLogWriterTest, FailedWriteLosesOnlyItsLines) {
#if defined(_WIN32)
    GTEST_SKIP() << "needs a device whose writes fail, which Windows does not have";
#else
    ASSERT_TRUE(fs::exists("/dev/full"));
#endif
    testing::TempDir dir;
    fs::create_symlink("/dev/full", dir.path() / "core.log");
    auto writer = open_writer(dir);
    ASSERT_TRUE(writer);
    const std::uint64_t before = writer->written();
    CoreLogBatch batch;
    batch.add_text_line("first");
    batch.add_text_line("second");
    for (int attempt = 0; attempt < 2; ++attempt) {
        auto written = write_core_log_lines(*writer, batch);
        ASSERT_FALSE(written) << "attempt " << attempt;
        EXPECT_TRUE(written.error().starts_with(CORE_LOG_WRITE_FAILED)) << written.error();
        EXPECT_EQ(writer->written(), before);
        EXPECT_TRUE(writer->has_file());
    }
}

// Other openers may delete the log; the next rotation then has nothing to
// move aside and starts a fresh file without touching the older ones.
TEST(CoreLogWriterTest, RemovedLogStartsAfresh) {
    testing::TempDir dir;
    testing::write_file(dir.path() / "core.log", std::string(LIMIT - 10, 'x'));
    testing::write_file(dir.path() / "core.log.1", "one");
    auto writer = open_writer(dir);
    ASSERT_TRUE(writer);
    fs::remove(dir.path() / "core.log");
    ASSERT_TRUE(write_core_log_line(*writer, std::string(19, 'n')));
    EXPECT_EQ(testing::read_file(dir.path() / "core.log"), std::string(19, 'n') + "\n");
    EXPECT_EQ(testing::read_file(dir.path() / "core.log.1"), "one");
    EXPECT_FALSE(fs::exists(dir.path() / "core.log.2"));
}

TEST(CoreLogWriterTest, OpenFailureNamesTheLog) {
    testing::TempDir dir;
    auto writer = CoreLogWriter::open(dir.native("no-such-dir"));
    ASSERT_FALSE(writer);
    EXPECT_TRUE(writer.error().starts_with(CORE_LOG_OPEN_FAILED)) << writer.error();
}

}  // namespace
}  // namespace kavo
