#include "cli.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "bindings_file.h"
#include "expected_ipc.h"

namespace kavo::schema {
namespace {

namespace fs = std::filesystem;

std::string read_bytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void write_bytes(const fs::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

// Each test runs in a fresh temporary directory that is its current
// directory; the previous current directory is restored afterwards.
class SchemaEmitCliTest : public ::testing::Test {
  protected:
    void SetUp() override {
        previous_ = fs::current_path();
        std::random_device random;
        for (int attempt = 0; attempt < 16 && root_.empty(); ++attempt) {
            const fs::path candidate =
                fs::temp_directory_path() / ("schema-emit-test-" + std::to_string(random()));
            if (fs::create_directory(candidate)) {
                root_ = candidate;
            }
        }
        ASSERT_FALSE(root_.empty());
        fs::create_directory(root_ / "work");
        fs::current_path(root_ / "work");
    }

    void TearDown() override {
        fs::current_path(previous_);
        if (!root_.empty()) {
            std::error_code ignored;
            fs::remove_all(root_, ignored);
        }
    }

    int run(std::vector<fs::path> arguments) {
        errors_.str("");
        return run_schema_emit(arguments, errors_);
    }

    fs::path previous_;
    fs::path root_;
    std::ostringstream errors_;
};

TEST(BindingsFileTest, MessageTexts) {
    EXPECT_EQ(DEFAULT_OUTPUT_PATH, "../src/types/generated/ipc.ts");
    EXPECT_EQ(EXPORT_FAILURE_PREFIX, "Failed to export IPC bindings: ");
    struct Case {
        std::string system_text;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"Is a directory", "Failed to export IPC bindings: Is a directory\n"},
        {"Access is denied.\r\n", "Failed to export IPC bindings: Access is denied.\n"},
        {"", "Failed to export IPC bindings: \n"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(export_failure_line(c.system_text), c.expected);
    }
}

TEST_F(SchemaEmitCliTest, DefaultPathCreatesMissingDirectories) {
    ASSERT_FALSE(fs::exists(root_ / "src"));
    EXPECT_EQ(run({}), EXIT_OK);
    EXPECT_EQ(errors_.str(), "");
    EXPECT_EQ(read_bytes(root_ / "src" / "types" / "generated" / "ipc.ts"), EXPECTED_IPC_TS);
}

TEST_F(SchemaEmitCliTest, DefaultPathIntoExistingDirectories) {
    fs::create_directories(root_ / "src" / "types" / "generated");
    EXPECT_EQ(run({}), EXIT_OK);
    EXPECT_EQ(read_bytes(root_ / "src" / "types" / "generated" / "ipc.ts"), EXPECTED_IPC_TS);
}

TEST_F(SchemaEmitCliTest, BareFileNameIsWrittenInCurrentDirectoryAlone) {
    EXPECT_EQ(run({"bindings.ts", "ignored", "also-ignored"}), EXIT_OK);
    EXPECT_EQ(errors_.str(), "");
    EXPECT_EQ(read_bytes(root_ / "work" / "bindings.ts"), EXPECTED_IPC_TS);
    // Nothing else appears: no directory, no file for the ignored arguments.
    const auto entries = std::distance(fs::directory_iterator(root_ / "work"), {});
    EXPECT_EQ(entries, 1);
    EXPECT_FALSE(fs::exists(root_ / "src"));
}

TEST_F(SchemaEmitCliTest, SecondRunReplacesLongerFile) {
    const fs::path output = root_ / "out" / "ipc.ts";
    fs::create_directories(output.parent_path());
    write_bytes(output, std::string(3 * EXPECTED_IPC_TS.size(), 'x'));
    EXPECT_EQ(run({output}), EXIT_OK);
    const std::string first = read_bytes(output);
    EXPECT_EQ(first, EXPECTED_IPC_TS);
    EXPECT_EQ(run({output}), EXIT_OK);
    EXPECT_EQ(read_bytes(output), first);
}

TEST_F(SchemaEmitCliTest, FailuresReportTheSystemErrorAndExitOne) {
    fs::create_directory(root_ / "taken");
    write_bytes(root_ / "plain-file", "x");
    struct Case {
        const char* name;
        fs::path output;
    };
    const std::vector<Case> cases = {
        {"existing directory", root_ / "taken"},
        {"directory below a file", root_ / "plain-file" / "sub" / "ipc.ts"},
        {"file below a file", root_ / "plain-file" / "ipc.ts"},
    };
    const std::string prefix(EXPORT_FAILURE_PREFIX);
    for (const Case& c : cases) {
        EXPECT_EQ(run({c.output}), EXIT_FAILED) << c.name;
        const std::string line = errors_.str();
        ASSERT_GT(line.size(), prefix.size() + 1) << c.name << ": " << line;
        EXPECT_EQ(line.substr(0, prefix.size()), prefix) << c.name;
        EXPECT_EQ(line.find('\n'), line.size() - 1) << c.name << ": one line, LF at the end";
        EXPECT_EQ(line.find('\r'), std::string::npos) << c.name;
    }
    EXPECT_TRUE(fs::is_directory(root_ / "taken"));
    EXPECT_EQ(read_bytes(root_ / "plain-file"), "x");
}

TEST_F(SchemaEmitCliTest, DirectoryCreatedBeforeFailedWriteStays) {
    // A trailing separator names the directory itself, which is created and
    // then cannot be written as a file.
    const fs::path output = fs::path("made") / "sub" / "";
    EXPECT_EQ(run({output}), EXIT_FAILED);
    EXPECT_EQ(errors_.str().rfind(std::string(EXPORT_FAILURE_PREFIX), 0), 0u);
    EXPECT_TRUE(fs::is_directory(root_ / "work" / "made" / "sub"));
}

}  // namespace
}  // namespace kavo::schema
