// kavo-ctl: its command line and exit statuses as pure rules, then the real
// executable as a child against an in-process service over the real pipe.
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "ctl/ctl_command.h"
#include "ipc/client.h"
#include "ipc/record_json.h"
#include "platform/native_string.h"
#include "platform/process.h"
#include "platform/process_info.h"
#include "service/service_config.h"
#include "test_pipe_server.h"
#include "test_support.h"

namespace kavo {
namespace {

using testing::read_all;

constexpr std::string_view SECRET = "an identity secret of more than thirty-two bytes";
constexpr std::string_view OTHER_SECRET = "another identity secret, also long enough to pass";

using testing::widen;

struct ParseCase {
    std::vector<std::string> arguments;
    // Set when the command line is accepted.
    std::optional<IpcRequest> request;
    std::optional<std::string> identity_file;
    std::string pipe_name = std::string(PIPE_NAME);
    // Set when it is refused.
    std::string_view error = {};
};

const std::vector<ParseCase>& parse_cases() {
    using R = IpcRequest;
    static const std::vector<ParseCase> cases = {
        {{"status"}, R{R::Status{}}, std::nullopt},
        {{"acquire"}, R{R::AcquireLease{}}, std::nullopt},
        {{"renew", "L1"}, R{R::RenewLease{"L1"}}, std::nullopt},
        {{"release", "L2"}, R{R::ReleaseLease{"L2"}}, std::nullopt},
        {{"start", "L3"}, R{R::StartCore{"L3"}}, std::nullopt},
        {{"stop", "L4"}, R{R::StopCore{"L4"}}, std::nullopt},
        {{"--identity-file", "C:\\id file", "status"}, R{R::Status{}}, "C:\\id file"},
        {{"--pipe", "\\\\.\\pipe\\other", "acquire"},
         R{R::AcquireLease{}},
         std::nullopt,
         "\\\\.\\pipe\\other"},
        {{"--pipe", "p", "--identity-file", "f", "renew", "x"}, R{R::RenewLease{"x"}}, "f", "p"},
        // An empty lease id is the service's to refuse.
        {{"stop", ""}, R{R::StopCore{""}}, std::nullopt},
        {{}, std::nullopt, std::nullopt, "", CTL_MISSING_COMMAND},
        {{"--pipe", "p"}, std::nullopt, std::nullopt, "", CTL_MISSING_COMMAND},
        {{"Status"}, std::nullopt, std::nullopt, "", CTL_UNKNOWN_COMMAND},
        {{"statu"}, std::nullopt, std::nullopt, "", CTL_UNKNOWN_COMMAND},
        {{"--verbose", "status"}, std::nullopt, std::nullopt, "", CTL_UNKNOWN_OPTION},
        {{"--pipe"}, std::nullopt, std::nullopt, "", CTL_MISSING_OPTION_VALUE},
        {{"--identity-file"}, std::nullopt, std::nullopt, "", CTL_MISSING_OPTION_VALUE},
        {{"--pipe", "a", "--pipe", "b", "status"},
         std::nullopt,
         std::nullopt,
         "",
         CTL_REPEATED_OPTION},
        {{"--identity-file", "a", "--identity-file", "b", "status"},
         std::nullopt,
         std::nullopt,
         "",
         CTL_REPEATED_OPTION},
        {{"renew"}, std::nullopt, std::nullopt, "", CTL_MISSING_LEASE_ID},
        {{"status", "extra"}, std::nullopt, std::nullopt, "", CTL_EXTRA_ARGUMENTS},
        {{"renew", "L", "extra"}, std::nullopt, std::nullopt, "", CTL_EXTRA_ARGUMENTS},
        // Options after the command are arguments of it.
        {{"status", "--pipe", "p"}, std::nullopt, std::nullopt, "", CTL_EXTRA_ARGUMENTS},
    };
    return cases;
}

template <class Char>
void check_parse_cases() {
    for (const auto& c : parse_cases()) {
        const auto arguments = widen<Char>(c.arguments);
        auto parsed = parse_ctl_arguments<Char>(arguments);
        std::string what;
        for (const auto& argument : c.arguments) {
            what += "[" + argument + "]";
        }
        if (c.request) {
            ASSERT_TRUE(parsed) << what << ": " << parsed.error();
            EXPECT_EQ(parsed->request, *c.request) << what;
            EXPECT_EQ(parsed->pipe_name, c.pipe_name) << what;
            if (c.identity_file) {
                EXPECT_EQ(parsed->identity_file,
                          std::basic_string<Char>(c.identity_file->begin(), c.identity_file->end()))
                    << what;
            } else {
                EXPECT_FALSE(parsed->identity_file) << what;
            }
        } else {
            ASSERT_FALSE(parsed) << what;
            EXPECT_EQ(parsed.error(), c.error) << what;
        }
    }
}

TEST(CtlCommandTest, ParsesNarrowArguments) {
    check_parse_cases<char>();
}

TEST(CtlCommandTest, ParsesWideArguments) {
    check_parse_cases<char16_t>();
}

TEST(CtlCommandTest, TextThatIsNotUnicodeIsRefusedWhereItBecomesJson) {
    // A path need not be Unicode; a lease id or a pipe name must be.
    const std::vector<std::string> narrow_path = {"--identity-file", "bad\xFF", "status"};
    EXPECT_TRUE(parse_ctl_arguments<char>(narrow_path));
    const std::vector<std::u16string> wide_path = {u"--identity-file", u"bad\xD800", u"status"};
    EXPECT_TRUE(parse_ctl_arguments<char16_t>(wide_path));

    const std::vector<std::string> narrow_id = {"renew", "bad\xFF"};
    auto refused = parse_ctl_arguments<char>(narrow_id);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error(), CTL_NOT_UNICODE);
    const std::vector<std::u16string> wide_pipe = {u"--pipe", u"\xDC00", u"status"};
    auto refused_pipe = parse_ctl_arguments<char16_t>(wide_pipe);
    ASSERT_FALSE(refused_pipe);
    EXPECT_EQ(refused_pipe.error(), CTL_NOT_UNICODE);
    // UTF-16 pairs become UTF-8.
    const std::vector<std::u16string> wide_id = {u"release", u"\xD83D\xDE00"};
    auto accepted = parse_ctl_arguments<char16_t>(wide_id);
    ASSERT_TRUE(accepted) << accepted.error();
    EXPECT_EQ(accepted->request, IpcRequest{IpcRequest::ReleaseLease{"\xF0\x9F\x98\x80"}});
}

TEST(CtlCommandTest, ExitStatusAndLinesOfEveryOutcome) {
    using Response = IpcResponse;
    struct Case {
        const char* what;
        CtlReport report;
        CtlReport expected;
    } cases[] = {
        {"ok", report_response(Response{Response::Ok{}}), {0, "\"Ok\"", std::nullopt}},
        {"lease",
         report_response(Response{Response::Lease{"abc", 30}}),
         {0, "{\"Lease\":{\"lease_id\":\"abc\",\"expires_in_seconds\":30}}", std::nullopt}},
        {"error response, escaped",
         report_response(Response{Response::Error{"no \"lease\""}}),
         {1, "{\"Error\":\"no \\\"lease\\\"\"}", std::nullopt}},
        {"usage",
         report_failure(CtlFailure::usage, CTL_UNKNOWN_COMMAND),
         {2, std::nullopt,
          "kavo-ctl: unknown command; usage: kavo-ctl [--identity-file F] [--pipe NAME] status | "
          "acquire | renew ID | release ID | start ID | stop ID | run"}},
        {"no pipe",
         report_failure(CtlFailure::no_pipe, "gone (os error 2)"),
         {2, std::nullopt, "kavo-ctl: cannot reach the service pipe: gone (os error 2)"}},
        {"library search",
         report_failure(CtlFailure::library_search, "bad (os error 87)"),
         {2, std::nullopt,
          "kavo-ctl: cannot keep library loading to the system directory: bad (os error 87)"}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.report, c.expected) << c.what;
    }
}

// The real executable, beside the test executable and of the same kind.
NativeString kavo_ctl_path() {
    const std::filesystem::path self(running_executable_path().value());
    return (self.parent_path() / ("kavo-ctl" + self.extension().string())).native();
}

using testing::ProgramRun;

ProgramRun run_ctl(const std::vector<NativeString>& arguments,
                   std::vector<std::pair<NativeString, NativeString>> environment = {}) {
    return testing::run_program(kavo_ctl_path(), arguments, std::move(environment));
}

class KavoCtlTest : public ::testing::Test {
  protected:
    NativeString write_identity(std::string_view secret) {
        const auto path = dir_.path() / "identity";
        testing::write_file(path, "  " + std::string(secret) + "\n");
        return path.native();
    }

    NativeString write_short_identity() {
        const auto path = dir_.path() / "short-identity";
        testing::write_file(path, "too short");
        return path.native();
    }

    testing::TempDir dir_;
};

TEST_F(KavoCtlTest, WholeExchangeAgainstAService) {
    const IpcResponse status{
        IpcResponse::Status{false, "kavo_core.exe", 5, "0.2.1", std::string(64, 'a'), true, 12}};
    const IpcResponse refusal{IpcResponse::Error{"The service lease is held by another client"}};
    struct Case {
        const char* what;
        IpcResponse answer;
        std::string_view secret;  // what kavo-ctl reads
        std::vector<std::string> command;
        std::uint32_t exit_status;
        std::optional<IpcRequest> handled;  // what the service was asked
        std::string output;
        std::string error;
    } cases[] = {
        {"status answered",
         status,
         SECRET,
         {"status"},
         0,
         IpcRequest{IpcRequest::Status{}},
         serialize(status) + "\n",
         ""},
        {"error answer",
         refusal,
         SECRET,
         {"renew", "L9"},
         1,
         IpcRequest{IpcRequest::RenewLease{"L9"}},
         serialize(refusal) + "\n",
         ""},
        {"wrong identity",
         status,
         OTHER_SECRET,
         {"acquire"},
         2,
         std::nullopt,
         "",
         *report_failure(CtlFailure::exchange, CLIENT_NO_SESSION_ERROR).error_line + "\n"},
    };
    for (const auto& c : cases) {
        testing::TestPipeServer server(testing::unique_pipe_name(), SecretBytes(SECRET), c.answer);
        std::vector<NativeString> arguments = {KAVO_NATIVE("--identity-file"),
                                               write_identity(c.secret), KAVO_NATIVE("--pipe"),
                                               utf8_to_native(server.name())};
        for (const auto& word : c.command) {
            arguments.push_back(utf8_to_native(word));
        }
        const ProgramRun run = run_ctl(arguments);
        EXPECT_EQ(run.exit_status, c.exit_status) << c.what << ": " << run.error;
        EXPECT_EQ(run.output, c.output) << c.what;
        EXPECT_EQ(run.error, c.error) << c.what;
        const auto requests = server.requests();
        if (c.handled) {
            ASSERT_EQ(requests.size(), 1u) << c.what;
            EXPECT_EQ(requests[0], *c.handled) << c.what;
        } else {
            EXPECT_TRUE(requests.empty()) << c.what;
        }
        EXPECT_FALSE(server.create_error()) << c.what << ": " << server.create_error()->text;
    }
}

TEST_F(KavoCtlTest, ReadsTheInstalledIdentityByDefault) {
    const IpcResponse answer{IpcResponse::Ok{}};
    testing::TestPipeServer server(testing::unique_pipe_name(), SecretBytes(SECRET), answer);
    const auto service_root = dir_.path() / "KAVO" / "Service";
    std::filesystem::create_directories(service_root);
    testing::write_file(service_root / "identity", std::string(SECRET));
    const ProgramRun run = run_ctl({KAVO_NATIVE("--pipe"), utf8_to_native(server.name()),
                                    KAVO_NATIVE("release"), KAVO_NATIVE("L")},
                                   {{KAVO_NATIVE("ProgramData"), dir_.native()}});
    EXPECT_EQ(run.exit_status, 0u) << run.error;
    EXPECT_EQ(run.output, "\"Ok\"\n");
    EXPECT_EQ(server.requests(),
              (std::vector<IpcRequest>{IpcRequest{IpcRequest::ReleaseLease{"L"}}}));
}

TEST_F(KavoCtlTest, NoExchangeMeansExitTwoAndOneLine) {
    const NativeString identity = write_identity(SECRET);
    struct Case {
        const char* what;
        std::vector<NativeString> arguments;
        // The whole line, or its start where an OS text follows.
        std::string error;
        bool whole_line;
    } cases[] = {
        {"bad usage",
         {KAVO_NATIVE("launch")},
         *report_failure(CtlFailure::usage, CTL_UNKNOWN_COMMAND).error_line,
         true},
        {"identity file missing",
         {KAVO_NATIVE("--identity-file"), dir_.native("missing"), KAVO_NATIVE("status")},
         *report_failure(CtlFailure::identity, IDENTITY_UNREADABLE).error_line,
         true},
        {"identity too short",
         {KAVO_NATIVE("--identity-file"), write_short_identity(), KAVO_NATIVE("status")},
         *report_failure(CtlFailure::identity, IDENTITY_INVALID).error_line,
         true},
        // Retries for the whole bound before it gives up.
        {"no pipe after its retries",
         {KAVO_NATIVE("--identity-file"), identity, KAVO_NATIVE("--pipe"),
          utf8_to_native(testing::unique_pipe_name()), KAVO_NATIVE("status")},
         std::string(CTL_NO_PIPE_ERROR_PREFIX),
         false},
    };
    for (const auto& c : cases) {
        const ProgramRun run = run_ctl(c.arguments);
        EXPECT_EQ(run.exit_status, 2u) << c.what;
        EXPECT_EQ(run.output, "") << c.what;
        if (c.whole_line) {
            EXPECT_EQ(run.error, c.error + "\n") << c.what;
        } else {
            EXPECT_EQ(run.error.rfind(c.error, 0), 0u) << c.what << ": " << run.error;
            EXPECT_EQ(run.error.find('\n'), run.error.size() - 1) << c.what << ": " << run.error;
        }
    }
}

}  // namespace
}  // namespace kavo
