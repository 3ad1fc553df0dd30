// Removal of the previous service, step by step against a scripted manager
// (every message and every handle), and removal of protected service trees
// and stale staging directories on real directories.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/protected_dirs.h"
#include "install/service_removal.h"
#include "platform/fs.h"
#include "test_support.h"

namespace kavo {
namespace {

namespace fs = std::filesystem;

constexpr std::uint32_t STOPPED = 1;
constexpr std::uint32_t STOP_PENDING = 3;
constexpr std::uint32_t RUNNING = 4;
constexpr std::uint32_t PAUSED = 7;
constexpr std::uint32_t GONE = 1060;
constexpr std::uint32_t PID = 4321;
// A failed status query or look at the process.
constexpr std::nullopt_t FAILS = std::nullopt;
// A reopen that succeeds: the service is still marked for deletion.
constexpr std::nullopt_t MARKED = std::nullopt;

// What the manager answers, in order. The last entry of a list repeats.
struct Script {
    // The first open fails with this code.
    std::optional<std::uint32_t> open_error{};
    // Each status query: a state, or nullopt for a failed query.
    std::vector<std::optional<std::uint32_t>> states{};
    bool stop_refused = false;
    bool delete_refused = false;
    // Each reopen during the removal wait: nullopt opens (the service is still
    // marked for deletion), a code fails with it.
    std::vector<std::optional<std::uint32_t>> reopens = {GONE};
    // The process the service runs in; 0: none.
    std::uint32_t process_id = 0;
    bool process_id_fails = false;
    // Watching the process fails with this kind.
    std::optional<OsErrorKind> watch_error{};
    // Each look at the watched process: whether it has ended, or nullopt for
    // a failed look.
    std::vector<std::optional<bool>> process_ended = {true};
};

// What the manager saw.
struct Seen {
    std::vector<std::uint32_t> open_access;
    int opened = 0;
    int closed = 0;
    int queries = 0;
    bool stop_sent = false;
    bool deleted = false;
    bool main_handle_open = false;
    bool reopened_while_main_open = false;
    std::vector<std::chrono::milliseconds> sleeps;
    bool process_id_read = false;
    bool stop_sent_before_process_id_read = false;
    std::optional<std::uint32_t> watched;
    int process_polls = 0;
    // What the last look at the watched process said.
    bool process_ended = false;
    bool deleted_while_process_ran = false;
};

template <class T>
const T& nth(const std::vector<T>& list, int index) {
    return list[std::min<std::size_t>(static_cast<std::size_t>(index), list.size() - 1)];
}

OsError scripted_error(std::uint32_t code) {
    return OsError{code, OsErrorKind::other, "scripted (os error " + std::to_string(code) + ")"};
}

class FakeService {
  public:
    FakeService(const Script* script, Seen* seen, bool main)
        : script_(script), seen_(seen), main_(main), open_(true) {
        ++seen_->opened;
        if (main_) {
            seen_->main_handle_open = true;
        }
    }
    FakeService(FakeService&& other) noexcept
        : script_(other.script_),
          seen_(other.seen_),
          main_(other.main_),
          open_(std::exchange(other.open_, false)) {}
    FakeService& operator=(FakeService&&) = delete;
    ~FakeService() { close(); }

    void close() {
        if (open_) {
            open_ = false;
            ++seen_->closed;
            if (main_) {
                seen_->main_handle_open = false;
            }
        }
    }
    OsResult<std::uint32_t> query_state() const {
        const auto state = nth(script_->states, seen_->queries++);
        if (!state) {
            return fail(scripted_error(6));
        }
        return *state;
    }
    OsResult<std::uint32_t> process_id() const {
        seen_->process_id_read = true;
        if (script_->process_id_fails) {
            return fail(scripted_error(6));
        }
        return script_->process_id;
    }
    OsResult<void> send_stop() const {
        seen_->stop_sent_before_process_id_read |= !seen_->process_id_read;
        seen_->stop_sent = true;
        if (script_->stop_refused) {
            return fail(scripted_error(1062));
        }
        return ok();
    }
    OsResult<void> remove() const {
        if (script_->delete_refused) {
            return fail(scripted_error(5));
        }
        seen_->deleted = true;
        seen_->deleted_while_process_ran |= seen_->watched.has_value() && !seen_->process_ended;
        return ok();
    }

  private:
    const Script* script_;
    Seen* seen_;
    bool main_;
    bool open_;
};

class FakeProcessWatch {
  public:
    FakeProcessWatch(const Script* script, Seen* seen) : script_(script), seen_(seen) {}

    OsResult<bool> has_ended() const {
        const auto ended = nth(script_->process_ended, seen_->process_polls++);
        if (!ended) {
            return fail(scripted_error(6));
        }
        seen_->process_ended = *ended;
        return *ended;
    }

  private:
    const Script* script_;
    Seen* seen_;
};

class FakeManager {
  public:
    FakeManager(const Script& script, Seen& seen) : script_(script), seen_(seen) {}

    OsResult<FakeService> open_service(NativeView name, std::uint32_t access) const {
        EXPECT_EQ(name, SERVICE_NAME);
        const bool first = seen_.open_access.empty();
        seen_.open_access.push_back(access);
        if (first) {
            if (script_.open_error) {
                return fail(scripted_error(*script_.open_error));
            }
            return FakeService(&script_, &seen_, true);
        }
        seen_.reopened_while_main_open |= seen_.main_handle_open;
        const auto answer = nth(script_.reopens, reopens_++);
        if (answer) {
            return fail(scripted_error(*answer));
        }
        return FakeService(&script_, &seen_, false);
    }

    OsResult<FakeProcessWatch> watch_process(std::uint32_t id) const {
        EXPECT_FALSE(seen_.watched) << "watched twice";
        if (script_.watch_error) {
            return fail(OsError{87, *script_.watch_error, "scripted (os error 87)"});
        }
        seen_.watched = id;
        return FakeProcessWatch(&script_, &seen_);
    }

  private:
    const Script& script_;
    Seen& seen_;
    mutable int reopens_ = 0;
};

const std::string OK;
const std::string INSPECT = "Failed to inspect the previous service";
const std::string STATE = "Failed to inspect the previous service state";
const std::string STOP = "Failed to stop the previous service";
const std::string STOP_TIMEOUT = "Timed out stopping the previous service";
const std::string REMOVE_TIMEOUT = "Timed out removing the previous service";
const std::string VERIFY = "Failed to verify removal of the previous service";
const std::string WINAPI_FAILED = "IO error in winapi call";

TEST(RemovePreviousServiceTest, EveryStepAgainstAScriptedManager) {
    struct Case {
        const char* what;
        Script script;
        struct {
            // Empty: success.
            std::string error;
            bool stop_sent;
            bool deleted;
            int queries;
            int reopens;
            int sleeps;
            int process_polls = 0;
        } want;
    } cases[] = {
        // what, script, {error, stop sent, deleted, queries, reopens, sleeps, process polls}
        {"no such service", {.open_error = GONE}, {OK, false, false, 0, 0, 0}},
        {"open refused", {.open_error = 5}, {INSPECT, false, false, 0, 0, 0}},
        {"stopped: deleted without a stop", {.states = {STOPPED}}, {OK, false, true, 1, 1, 0}},
        {"running: stops after two polls, gone after one reopen",
         {.states = {RUNNING, STOP_PENDING, STOP_PENDING, STOPPED}, .reopens = {MARKED, GONE}},
         {OK, true, true, 4, 2, 3}},
        {"paused counts as not stopped", {.states = {PAUSED, STOPPED}}, {OK, true, true, 2, 1, 0}},
        {"ignores the stop", {.states = {RUNNING}}, {STOP_TIMEOUT, true, false, 51, 0, 49}},
        {"state 0", {.states = {0}}, {STATE, false, false, 1, 0, 0}},
        {"state 8", {.states = {8}}, {STATE, false, false, 1, 0, 0}},
        {"query fails", {.states = {FAILS}}, {STATE, false, false, 1, 0, 0}},
        {"stop refused, still running",
         {.states = {RUNNING, RUNNING}, .stop_refused = true},
         {STOP, true, false, 2, 0, 0}},
        {"stop refused, query fails",
         {.states = {RUNNING, FAILS}, .stop_refused = true},
         {STOP, true, false, 2, 0, 0}},
        {"stop refused, stopped meanwhile",
         {.states = {RUNNING, STOPPED}, .stop_refused = true},
         {OK, true, true, 3, 1, 0}},
        {"invalid state while stopping",
         {.states = {RUNNING, STOP_PENDING, 9}},
         {STATE, true, false, 3, 0, 1}},
        {"query fails while stopping", {.states = {RUNNING, FAILS}}, {STATE, true, false, 2, 0, 0}},
        {"delete refused",
         {.states = {STOPPED}, .delete_refused = true},
         {WINAPI_FAILED, false, false, 1, 0, 0}},
        {"reopen refused", {.states = {STOPPED}, .reopens = {5}}, {VERIFY, false, true, 1, 1, 0}},
        {"stays marked for deletion",
         {.states = {STOPPED}, .reopens = {MARKED}},
         {REMOVE_TIMEOUT, false, true, 1, 50, 49}},
        // The service reports stopped before its process has ended, and that
        // process still maps the installed files: it is waited for.
        {"running: its process ends after the stop",
         {.states = {RUNNING, STOP_PENDING, STOPPED},
          .process_id = PID,
          .process_ended = {false, false, true}},
         {OK, true, true, 3, 1, 3, 3}},
        {"stopped, its process still ending",
         {.states = {STOPPED}, .process_id = PID, .process_ended = {false, true}},
         {OK, false, true, 1, 1, 1, 2}},
        {"stop refused as it stopped, its process still ending",
         {.states = {RUNNING, STOPPED},
          .stop_refused = true,
          .process_id = PID,
          .process_ended = {false, true}},
         {OK, true, true, 3, 1, 1, 2}},
        {"its process never ends",
         {.states = {RUNNING, STOPPED}, .process_id = PID, .process_ended = {false}},
         {STOP_TIMEOUT, true, false, 2, 0, 99, 100}},
        {"its process already gone",
         {.states = {RUNNING, STOPPED}, .process_id = PID, .watch_error = OsErrorKind::not_found},
         {OK, true, true, 2, 1, 0, 0}},
        {"its process cannot be watched",
         {.states = {RUNNING}, .process_id = PID, .watch_error = OsErrorKind::access_denied},
         {STATE, false, false, 1, 0, 0, 0}},
        {"its process cannot be read",
         {.states = {RUNNING}, .process_id = PID, .process_id_fails = true},
         {STATE, false, false, 1, 0, 0, 0}},
        {"a look at its process fails",
         {.states = {RUNNING, STOPPED}, .process_id = PID, .process_ended = {false, FAILS}},
         {STATE, true, false, 2, 0, 1, 2}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Seen seen;
        const FakeManager manager(c.script, seen);
        ServicePolling polling;
        polling.sleep = [&](std::chrono::milliseconds pause) { seen.sleeps.push_back(pause); };
        const auto removed = remove_previous_service_with(manager, polling);
        if (c.want.error.empty()) {
            EXPECT_TRUE(removed) << removed.error();
        } else {
            ASSERT_FALSE(removed);
            EXPECT_EQ(removed.error(), c.want.error);
        }
        EXPECT_EQ(seen.stop_sent, c.want.stop_sent);
        EXPECT_EQ(seen.deleted, c.want.deleted);
        EXPECT_EQ(seen.queries, c.want.queries);
        ASSERT_FALSE(seen.open_access.empty());
        EXPECT_EQ(seen.open_access.front(), 0xF01FFu);
        EXPECT_EQ(static_cast<int>(seen.open_access.size()) - 1, c.want.reopens);
        for (std::size_t i = 1; i < seen.open_access.size(); ++i) {
            EXPECT_EQ(seen.open_access[i], 4u);
        }
        // Every handle closed, the service's own before any reopen.
        EXPECT_EQ(seen.closed, seen.opened);
        EXPECT_FALSE(seen.reopened_while_main_open);
        EXPECT_EQ(static_cast<int>(seen.sleeps.size()), c.want.sleeps);
        EXPECT_EQ(seen.process_polls, c.want.process_polls);
        // The process is known before the stop, it is the service's, and
        // nothing is deleted while it runs.
        EXPECT_FALSE(seen.stop_sent_before_process_id_read);
        if (seen.watched) {
            EXPECT_EQ(*seen.watched, PID);
        }
        EXPECT_FALSE(seen.deleted_while_process_ran);
        for (const auto pause : seen.sleeps) {
            EXPECT_EQ(pause, std::chrono::milliseconds(100));
        }
    }
}

using testing::captured_stderr;

using testing::make_directory_link;

const std::string HEX32 = "0123456789abcdef0123456789abcdef";

class ServiceTreeTest : public ::testing::Test {
  protected:
    fs::path path(const fs::path& name) const { return dir_.path() / name; }
    // A directory outside every tree that is removed, which must survive.
    void make_target() {
        fs::create_directories(path("target"));
        testing::write_file(path("target") / "precious", "x");
    }
    bool target_intact() const { return testing::read_file(path("target") / "precious") == "x"; }

    testing::TempDir dir_;
};

TEST_F(ServiceTreeTest, RemovesRealDirectoriesOnlyAndLinksInsideAsLinks) {
    make_target();
    fs::create_directories(path("root") / "Runtime" / HEX32);
    testing::write_file(path("root") / "Runtime" / HEX32 / "core.log", "x");
    testing::write_file(path("root") / "kavo-daemon.exe", "x");
    const bool links = make_directory_link(path("target"), path("root") / "Runtime" / "inside");
    ASSERT_TRUE(remove_service_tree(path("root").native()));
    EXPECT_FALSE(fs::exists(path("root")));
    EXPECT_TRUE(target_intact());
    if (!links) {
        GTEST_SKIP() << "symbolic links are unavailable here";
    }
}

TEST_F(ServiceTreeTest, RefusesAnythingButARealDirectory) {
    make_target();
    testing::write_file(path("file"), "x");
    EXPECT_TRUE(remove_service_tree(path("missing").native()));
    const auto file = remove_service_tree(path("file").native());
    ASSERT_FALSE(file);
    EXPECT_EQ(file.error(), "Refusing to remove an invalid protected service path");
    EXPECT_EQ(testing::read_file(path("file")), "x");
    // A failure that is not "missing".
#if defined(_WIN32)
    const fs::path uninspectable = path("bad<name>");
#else
    const fs::path uninspectable = path("file") / "x";
#endif
    const auto failed = remove_service_tree(uninspectable.native());
    ASSERT_FALSE(failed);
    const auto expected = read_attributes_no_follow(uninspectable.native());
    ASSERT_FALSE(expected);
    EXPECT_EQ(failed.error(),
              "Failed to inspect protected service files: " + expected.error().text);
    if (!make_directory_link(path("target"), path("link"))) {
        GTEST_SKIP() << "symbolic links are unavailable here";
    }
    const auto link = remove_service_tree(path("link").native());
    ASSERT_FALSE(link);
    EXPECT_EQ(link.error(), "Refusing to remove an invalid protected service path");
    EXPECT_TRUE(fs::is_symlink(path("link")));
    EXPECT_TRUE(target_intact());
}

TEST_F(ServiceTreeTest, RemovesATreeThatAnotherUserOwns) {
    fs::create_directories(path("root") / "a" / "b");
    testing::write_file(path("root") / "a" / "b" / "f", "x");
    if (!testing::change_owner(path("root"), 4321)) {
        GTEST_SKIP() << "entries cannot be given to another user here";
    }
    ASSERT_TRUE(remove_service_tree(path("root").native()));
    EXPECT_FALSE(fs::exists(path("root")));
}

TEST_F(ServiceTreeTest, StagingSweepRemovesMatchingDirectoriesInEitherCase) {
    const std::string lower = "Service.staging-" + HEX32;
    const std::string upper = "Service.staging-0123456789ABCDEF0123456789ABCDEF";
    const std::string short_name = "Service.staging-" + HEX32.substr(1);
    const std::string wrong_case = "service.staging-fedcba9876543210fedcba9876543210";
    fs::create_directories(path(lower) / "nested");
    testing::write_file(path(lower) / "nested" / "kavo_core.exe", "x");
    fs::create_directories(path(upper));
    fs::create_directories(path(short_name));
    fs::create_directories(path(wrong_case));
    fs::create_directories(path("Service"));
    EXPECT_EQ(captured_stderr([&] { sweep_service_staging(dir_.native()); }), "");
    EXPECT_FALSE(fs::exists(path(lower)));
    EXPECT_FALSE(fs::exists(path(upper)));
    EXPECT_TRUE(fs::exists(path(short_name)));
    EXPECT_TRUE(fs::exists(path(wrong_case)));
    EXPECT_TRUE(fs::exists(path("Service")));
    // An install parent that cannot be listed: nothing to say.
    EXPECT_EQ(captured_stderr([&] { sweep_service_staging(path("missing").native()); }), "");
}

TEST_F(ServiceTreeTest, StagingSweepDefersWhatIsNotARealDirectory) {
    const std::string file_name = "Service.staging-" + HEX32;
    testing::write_file(path(file_name), "x");
    EXPECT_EQ(captured_stderr([&] { sweep_service_staging(dir_.native()); }),
              "Deferred cleanup of an KAVO service staging directory\n");
    EXPECT_EQ(testing::read_file(path(file_name)), "x");
    fs::remove(path(file_name));

    make_target();
    const std::string link_name = "Service.staging-ffffffffffffffffffffffffffffffff";
    if (!make_directory_link(path("target"), path(link_name))) {
        GTEST_SKIP() << "symbolic links are unavailable here";
    }
    fs::create_directories(path("Service.staging-" + HEX32));
    EXPECT_EQ(captured_stderr([&] { sweep_service_staging(dir_.native()); }),
              "Deferred cleanup of an KAVO service staging directory\n");
    EXPECT_TRUE(fs::is_symlink(path(link_name)));
    EXPECT_TRUE(target_intact());
    // The real one beside it still went.
    EXPECT_FALSE(fs::exists(path("Service.staging-" + HEX32)));
}

}  // namespace
}  // namespace kavo
