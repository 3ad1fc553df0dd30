// The protected tree: its root, the runtime entry names, the sweep, removal
// and protection, on real directories under a private ProgramData.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>

#include "core/protected_dirs.h"
#include "core/runtime_entry_name.h"
#include "platform/diagnostics.h"
#include "platform/fs.h"
#include "platform/process_info.h"
#include "test_support.h"

namespace kavo {
namespace {

namespace fs = std::filesystem;

const std::string ID_A = "0123456789abcdef0123456789abcdef";
const std::string ID_B = "fedcba9876543210fedcba9876543210";
const std::string ID_UPPER = "0123456789ABCDEF0123456789ABCDEF";
// Distinct from the others even on a file system that ignores case.
const std::string ID_OTHER_UPPER = "AAAABBBBCCCCDDDDEEEEFFFF00001111";
const std::string ID_OTHER = "22223333444455556666777788889999";

using testing::captured_stderr;

// A private ProgramData inside a temporary directory.
class ProgramDataTest : public ::testing::Test {
  protected:
    ProgramDataTest() : value_(dir_.path().string()), env_("ProgramData", &value_) {}

    fs::path service_root() const { return dir_.path() / "KAVO" / "Service"; }
    fs::path runtime_root() const { return service_root() / "Runtime"; }

    testing::TempDir dir_;
    std::string value_;
    testing::ScopedEnv env_;
};

TEST(RuntimeEntryNameTest, HexIdentifiersAndTheirStagingForm) {
    struct Case {
        std::string name;
        bool accepted;
    } cases[] = {
        {ID_A, true},
        {ID_UPPER, true},
        {"0123456789aBcDeF0123456789AbCdEf", true},
        {"staging-" + ID_A, true},
        {"staging-" + ID_UPPER, true},
        {ID_A.substr(1), false},
        {ID_A + "0", false},
        {"g" + ID_A.substr(1), false},
        {ID_A.substr(0, 16) + "g" + ID_A.substr(17), false},
        {"staging-" + ID_A.substr(1), false},
        {"staging-" + ID_A + "0", false},
        {"Staging-" + ID_A, false},
        {"STAGING-" + ID_A, false},
        {"staging" + ID_A, false},
        {"staging-", false},
        {"", false},
        {"core.log", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(is_runtime_entry_name(c.name), c.accepted) << c.name;
    }
    EXPECT_EQ(runtime_staging_name(ID_A), "staging-" + ID_A);
}

TEST(ServiceRootDirTest, FromProgramData) {
    testing::TempDir dir;
    const std::string base = dir.path().string();
    const char sep = static_cast<char>(fs::path::preferred_separator);
    struct Case {
        std::optional<std::string> value;
        std::optional<std::string> root;
        std::string error;
    } cases[] = {
        {std::nullopt, std::nullopt, "ProgramData is unavailable"},
        {"ProgramData", std::nullopt, "ProgramData must be an absolute path"},
        {"C:ProgramData", std::nullopt, "ProgramData must be an absolute path"},
        {base, base + sep + "KAVO" + sep + "Service", ""},
        {base + sep, base + sep + "KAVO" + sep + "Service", ""},
    };
    for (const auto& c : cases) {
        testing::ScopedEnv env("ProgramData", c.value ? &*c.value : nullptr);
        const auto root = service_root_dir();
        if (c.root) {
            ASSERT_TRUE(root) << root.error();
            EXPECT_EQ(*root, fs::path(*c.root).native());
        } else {
            ASSERT_FALSE(root) << *c.value;
            EXPECT_EQ(root.error(), c.error);
        }
    }
}

TEST_F(ProgramDataTest, SweepKeepsTheHeldLeaseAndRemovesOtherRuntimes) {
    fs::create_directories(runtime_root() / ID_A / "nested");
    testing::write_file(runtime_root() / ID_A / "nested" / "core.log", "kept");
    fs::create_directories(runtime_root() / ("staging-" + ID_A));
    fs::create_directories(runtime_root() / ID_B / "deep" / "deeper");
    testing::write_file(runtime_root() / ID_B / "deep" / "deeper" / "f", "x");
    fs::create_directories(runtime_root() / ("staging-" + ID_B));
    fs::create_directories(runtime_root() / ID_OTHER_UPPER);
    fs::create_directories(runtime_root() / "notes");
    fs::create_directories(runtime_root() / ("Staging-" + ID_OTHER));
    testing::write_file(runtime_root() / "readme", "x");

    const std::string printed = captured_stderr([] { sweep_runtime_root(ID_A); });
    EXPECT_EQ(printed, "");
    EXPECT_TRUE(fs::exists(runtime_root() / ID_A / "nested" / "core.log"));
    EXPECT_TRUE(fs::exists(runtime_root() / ("staging-" + ID_A)));
    EXPECT_FALSE(fs::exists(runtime_root() / ID_B));
    EXPECT_FALSE(fs::exists(runtime_root() / ("staging-" + ID_B)));
    EXPECT_FALSE(fs::exists(runtime_root() / ID_OTHER_UPPER));
    EXPECT_TRUE(fs::exists(runtime_root() / "notes"));
    EXPECT_TRUE(fs::exists(runtime_root() / ("Staging-" + ID_OTHER)));
    EXPECT_TRUE(fs::exists(runtime_root() / "readme"));

    // Without a keep name the held runtime goes too.
    EXPECT_EQ(captured_stderr([] { sweep_runtime_root(std::nullopt); }), "");
    EXPECT_FALSE(fs::exists(runtime_root() / ID_A));
    EXPECT_FALSE(fs::exists(runtime_root() / ("staging-" + ID_A)));
    EXPECT_TRUE(fs::exists(runtime_root() / "notes"));
}

TEST_F(ProgramDataTest, SweepRefusesFilesWithRuntimeNames) {
    fs::create_directories(runtime_root());
    testing::write_file(runtime_root() / ID_B, "not a directory");
    testing::write_file(runtime_root() / ("staging-" + ID_B), "nor this");
    const std::string printed = captured_stderr([] { sweep_runtime_root(std::nullopt); });
    EXPECT_EQ(printed,
              "Refusing to remove an invalid KAVO protected runtime entry\n"
              "Refusing to remove an invalid KAVO protected runtime entry\n");
    EXPECT_EQ(testing::read_file(runtime_root() / ID_B), "not a directory");
    EXPECT_TRUE(fs::exists(runtime_root() / ("staging-" + ID_B)));
}

TEST_F(ProgramDataTest, SweepRefusesALinkWithARuntimeNameAndSparesItsTarget) {
    fs::create_directories(runtime_root());
    fs::create_directories(dir_.path() / "target");
    testing::write_file(dir_.path() / "target" / "precious", "x");
    if (!testing::make_directory_link(dir_.path() / "target", runtime_root() / ID_B)) {
        GTEST_SKIP() << "symbolic links are unavailable here";
    }
    const std::string printed = captured_stderr([] { sweep_runtime_root(std::nullopt); });
    EXPECT_EQ(printed, "Refusing to remove an invalid KAVO protected runtime entry\n");
    EXPECT_TRUE(fs::is_symlink(runtime_root() / ID_B));
    EXPECT_TRUE(fs::exists(dir_.path() / "target" / "precious"));
}

TEST_F(ProgramDataTest, SweepOfAMissingRuntimeRootIsSilent) {
    EXPECT_EQ(captured_stderr([] { sweep_runtime_root(std::nullopt); }), "");
    fs::create_directories(service_root());
    EXPECT_EQ(captured_stderr([] { sweep_runtime_root(ID_A); }), "");
}

TEST(SweepTest, UnresolvableRootIsReported) {
    testing::ScopedEnv env("ProgramData", nullptr);
    EXPECT_EQ(captured_stderr([] { sweep_runtime_root(std::nullopt); }),
              "Failed to resolve the KAVO protected runtime root\n");
}

TEST_F(ProgramDataTest, SweepOfAnUnlistableRuntimeRootIsReported) {
    // A file where the runtime root should be cannot be listed.
    fs::create_directories(service_root());
    testing::write_file(runtime_root(), "x");
    EXPECT_EQ(captured_stderr([] { sweep_runtime_root(std::nullopt); }),
              "Failed to inspect the KAVO protected runtime root\n");
}

TEST_F(ProgramDataTest, RemoveRuntimeDir) {
    const fs::path runtime = runtime_root() / ID_A;
    fs::create_directories(runtime / "a" / "b");
    testing::write_file(runtime / "a" / "b" / "c", "x");
    testing::write_file(runtime / "top", "x");
    EXPECT_EQ(captured_stderr([&] { EXPECT_TRUE(remove_runtime_dir(runtime.native())); }), "");
    EXPECT_FALSE(fs::exists(runtime));
    // Missing: true and silent.
    EXPECT_EQ(captured_stderr([&] { EXPECT_TRUE(remove_runtime_dir(runtime.native())); }), "");
}

TEST_F(ProgramDataTest, RemoveRuntimeDirReportsAFailure) {
    fs::create_directories(runtime_root());
    testing::write_file(runtime_root() / "file", "x");
#if defined(_WIN32)
    // A name Windows cannot hold.
    const fs::path bad = runtime_root() / "bad<name>";
#else
    // Below a file: "not a directory", which is no "does not exist".
    const fs::path bad = runtime_root() / "file" / ID_A;
#endif
    EXPECT_EQ(captured_stderr([&] { EXPECT_FALSE(remove_runtime_dir(bad.native())); }),
              "Failed to remove an KAVO protected runtime directory\n");
}

TEST_F(ProgramDataTest, RemoveRuntimeDirRemovesALinkInsideAsALink) {
    const fs::path runtime = runtime_root() / ID_A;
    fs::create_directories(runtime);
    fs::create_directories(dir_.path() / "target");
    testing::write_file(dir_.path() / "target" / "precious", "x");
    if (!testing::make_directory_link(dir_.path() / "target", runtime / "link")) {
        GTEST_SKIP() << "symbolic links are unavailable here";
    }
    EXPECT_TRUE(remove_runtime_dir(runtime.native()));
    EXPECT_FALSE(fs::exists(runtime));
    EXPECT_EQ(testing::read_file(dir_.path() / "target" / "precious"), "x");
}

TEST_F(ProgramDataTest, ProtectServiceTree) {
    const fs::path tree = dir_.path() / "tree";
    fs::create_directories(tree / "sub");
    testing::write_file(tree / "sub" / "file", "x");
    testing::write_file(tree / "top", "x");
    ASSERT_TRUE(protect_service_tree(tree.native()));
    const auto missing = protect_service_tree((dir_.path() / "missing").native());
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error(), "Failed to inspect service files");
#if !defined(_WIN32)
    using fs::perms;
    EXPECT_EQ(fs::status(tree).permissions() & perms::all, perms::owner_all);
    EXPECT_EQ(fs::status(tree / "sub").permissions() & perms::all, perms::owner_all);
    EXPECT_EQ(fs::status(tree / "sub" / "file").permissions() & perms::all,
              perms::owner_read | perms::owner_write);
#endif
}

TEST_F(ProgramDataTest, ProtectServiceTreeRefusesLinks) {
    const fs::path tree = dir_.path() / "tree";
    fs::create_directories(tree / "sub");
    fs::create_directories(dir_.path() / "outside");
    testing::write_file(dir_.path() / "outside" / "file", "x");
    fs::permissions(dir_.path() / "outside" / "file", fs::perms::all);
    if (!testing::make_directory_link(dir_.path() / "outside", tree / "sub" / "link")) {
        GTEST_SKIP() << "symbolic links are unavailable here";
    }
    const auto inner = protect_service_tree(tree.native());
    ASSERT_FALSE(inner);
    EXPECT_EQ(inner.error(), "Refusing to protect a linked service path");
    const auto top = protect_service_tree((tree / "sub" / "link").native());
    ASSERT_FALSE(top);
    EXPECT_EQ(top.error(), "Refusing to protect a linked service path");
    // The link was never followed.
    EXPECT_EQ(fs::status(dir_.path() / "outside" / "file").permissions() & fs::perms::all,
              fs::perms::all);
}

// What protection leaves on files and directories, read back from the system.
TEST_F(ProgramDataTest, ProtectionReadsBackAsWritten) {
#if defined(_WIN32)
    const std::string file_access = "D:P(A;;FA;;;SY)(A;;FA;;;BA)";
    const std::string directory_access = "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
#else
    const std::string file_access = "0600";
    const std::string directory_access = "0700";
#endif
    const fs::path tree = dir_.path() / "tree";
    fs::create_directories(tree / "sub");
    testing::write_file(tree / "sub" / "file", "x");
    testing::write_file(tree / "top", "x");
    fs::permissions(tree / "top", fs::perms::all);
    // Never protected: made by this process, so owned by the account it runs as.
    testing::write_file(dir_.path() / "fresh", "x");
    const auto fresh = read_protection((dir_.path() / "fresh").native());
    ASSERT_TRUE(fresh) << fresh.error().text;
    ASSERT_FALSE(fresh->owner.empty());

    ASSERT_TRUE(protect_service_tree(tree.native()));
    const struct {
        fs::path path;
        const std::string& access;
    } cases[] = {
        {tree, directory_access},
        {tree / "sub", directory_access},
        {tree / "sub" / "file", file_access},
        {tree / "top", file_access},
    };
    for (const auto& c : cases) {
        const auto protection = read_protection(c.path.native());
        ASSERT_TRUE(protection) << c.path << ": " << protection.error().text;
        if (running_under_wine() && protection->access != c.access) {
            GTEST_SKIP() << "Wine does not keep a written access list; it reports one derived "
                            "from the file mode instead: "
                         << protection->access;
        }
        EXPECT_EQ(protection->access, c.access) << c.path;
#if !defined(_WIN32)
        // Only the access list changes: the owner stays the running account.
        EXPECT_EQ(protection->owner, fresh->owner) << c.path;
#endif
    }
}

TEST(DiagnosticsTest, ErrorLineReachesStandardError) {
    EXPECT_EQ(captured_stderr([] { write_error_line("one line"); }), "one line\n");
}

}  // namespace
}  // namespace kavo
