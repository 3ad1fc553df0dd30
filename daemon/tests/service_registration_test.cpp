// What the service is registered with: the quoting of its command line, the
// registration values, the staging names and the outcome of a refused
// creation. Pure: no service manager involved.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "install/install_names.h"
#include "install/install_outcome.h"
#include "install/service_registration.h"
#include "platform/command_line.h"
#include "platform/native_string.h"

namespace kavo {
namespace {

NativeString native(std::string_view text) {
    return utf8_to_native(text);
}

TEST(QuotedArgumentTest, QuotesOnlyWhatTheParserWouldSplitOrUnescape) {
    struct Case {
        std::string text;
        std::string quoted;
    } cases[] = {
        // Left alone: nothing to split at, backslashes without a quote are
        // taken literally.
        {"--core-dir", "--core-dir"},
        {"C:\\KAVO\\core", "C:\\KAVO\\core"},
        {"C:\\KAVO\\core\\", "C:\\KAVO\\core\\"},
        {"a\\\\b", "a\\\\b"},
        // Empty, and each character that forces quotes.
        {"", "\"\""},
        {"a b", "\"a b\""},
        {"a\tb", "\"a\tb\""},
        {"a\nb", "\"a\nb\""},
        {"a\vb", "\"a\vb\""},
        {"a\"b", "\"a\\\"b\""},
        {"\"", "\"\\\"\""},
        // Carriage return and form feed are not among them.
        {"a\rb", "a\rb"},
        {"a\fb", "a\fb"},
        // n backslashes before a quote: 2n+1 and the quote.
        {"a\\\"b c", "\"a\\\\\\\"b c\""},
        {"a\\\\\"b c", "\"a\\\\\\\\\\\"b c\""},
        // n backslashes at the end: 2n before the closing quote.
        {"a b\\", "\"a b\\\\\""},
        {"a b\\\\\\", "\"a b\\\\\\\\\\\\\""},
        // n backslashes before anything else: n.
        {"a\\\\b c", "\"a\\\\b c\""},
        {"C:\\Program Files\\KAVO\\core\\", "\"C:\\Program Files\\KAVO\\core\\\\\""},
    };
    for (const auto& c : cases) {
        NativeString quoted;
        append_quoted_argument(quoted, NativeView(native(c.text)));
        EXPECT_EQ(quoted, native(c.quoted)) << c.text;
    }
}

TEST(ServiceCommandLineTest, DaemonAndThreeOptionsEachQuotedAsNeeded) {
    const std::string hash(64, 'a');
    EXPECT_EQ(service_command_line(native("C:\\ProgramData\\KAVO\\Service\\kavo-daemon.exe"),
                                   native("C:\\Program Files\\KAVO\\core\\"),
                                   native("C:\\ProgramData\\KAVO\\Service\\identity"), hash),
              native("C:\\ProgramData\\KAVO\\Service\\kavo-daemon.exe --core-dir "
                     "\"C:\\Program Files\\KAVO\\core\\\\\" --identity-file "
                     "C:\\ProgramData\\KAVO\\Service\\identity --expected-core-sha256 " +
                     hash));
    EXPECT_EQ(service_command_line(native("D:\\Data Dir\\KAVO\\Service\\kavo-daemon.exe"),
                                   native("D:\\core"),
                                   native("D:\\Data Dir\\KAVO\\Service\\identity"), hash),
              native("\"D:\\Data Dir\\KAVO\\Service\\kavo-daemon.exe\" --core-dir D:\\core "
                     "--identity-file \"D:\\Data Dir\\KAVO\\Service\\identity\" "
                     "--expected-core-sha256 " +
                     hash));
}

TEST(ServiceRegistrationTest, NamesAndValuesAreExact) {
    EXPECT_EQ(SERVICE_NAME, NativeView(KAVO_NATIVE("kavo-service")));
    EXPECT_EQ(SERVICE_DISPLAY_NAME, NativeView(KAVO_NATIVE("KAVO Core Service")));
    EXPECT_EQ(SERVICE_DESCRIPTION_TEXT,
              NativeView(KAVO_NATIVE("Provides the privileged KAVO core runtime.")));
    const ServiceRegistration registration = service_registration(native("x --core-dir y"));
    EXPECT_EQ(registration.name, SERVICE_NAME);
    EXPECT_EQ(registration.display_name, SERVICE_DISPLAY_NAME);
    EXPECT_EQ(registration.desired_access, 0xF01FFu);
    EXPECT_EQ(registration.service_type, 0x10u);
    EXPECT_EQ(registration.start_type, 2u);
    EXPECT_EQ(registration.error_control, 1u);
    EXPECT_EQ(registration.command_line, native("x --core-dir y"));
}

// What the manager does at the n-th failure since the last reset: the n-th
// action, and the last one for every failure beyond.
ServiceFailureAction action_at_failure(const ServiceFailureActions& actions, std::size_t n) {
    return actions.actions[std::min(n, actions.actions.size()) - 1];
}

TEST(ServiceFailureActionsTest, ThreeRestartsFurtherApartThenNothingAndAResetAfterADay) {
    const ServiceFailureActions actions = service_failure_actions();
    using Type = ServiceFailureActionType;
    const struct {
        std::size_t failure;
        ServiceFailureAction action;
    } cases[] = {
        {1, {Type::restart, 5000}},
        {2, {Type::restart, 30000}},
        {3, {Type::restart, 120000}},
        // A service that cannot start is not restarted for ever.
        {4, {Type::none, 0}},
        {5, {Type::none, 0}},
        {100, {Type::none, 0}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(action_at_failure(actions, c.failure), c.action) << c.failure;
    }
    EXPECT_EQ(actions.reset_period_seconds, 86400u);
    // A stop that reports an error (a missing identity, a replaced core)
    // counts as a failure too.
    EXPECT_TRUE(actions.on_stop_with_error);
    // The manager's values for the two types.
    EXPECT_EQ(static_cast<std::uint32_t>(Type::none), 0u);
    EXPECT_EQ(static_cast<std::uint32_t>(Type::restart), 1u);
}

TEST(ServiceStagingNameTest, FortyEightBytesOfPrefixAndHexDigits) {
    const std::string digits = "0123456789abcdef0123456789abcdef";
    struct Case {
        std::string name;
        bool accepted;
    } cases[] = {
        {"Service.staging-" + digits, true},
        {"Service.staging-0123456789ABCDEF0123456789ABCDEF", true},
        {"Service.staging-0123456789aBcDeF0123456789AbCdEf", true},
        {"Service.staging-" + digits.substr(1), false},
        {"Service.staging-" + digits + "0", false},
        {"Service.staging-" + digits.substr(1) + "g", false},
        {"service.staging-" + digits, false},
        {"SERVICE.STAGING-" + digits, false},
        {"Service.Staging-" + digits, false},
        {"Service-staging-" + digits, false},
        {"Service", false},
        {"staging-" + digits, false},
        {digits, false},
        {"", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(is_service_staging_name(c.name), c.accepted) << c.name;
    }
    EXPECT_EQ(service_staging_name(digits), "Service.staging-" + digits);
    EXPECT_EQ(service_staging_name(digits).size(), SERVICE_STAGING_NAME_LEN);
}

TEST(SetAsideNameTest, OwnNameInfixAndThirtyTwoLowercaseDigits) {
    const std::string digits = "0123456789abcdef0123456789abcdef";
    EXPECT_EQ(set_aside_name("kavo-daemon.exe", digits), "kavo-daemon.exe.removed-" + digits);
    struct Case {
        std::string name;
        bool accepted;
    } cases[] = {
        {"kavo-daemon.exe.removed-" + digits, true},
        {"kavo_core.exe.removed-" + digits, true},
        {"x.removed-" + digits, true},
        {".removed-" + digits, false},
        {"kavo-daemon.exe.removed-0123456789ABCDEF0123456789abcdef", false},
        {"kavo-daemon.exe.removed-" + digits.substr(1), false},
        {"kavo-daemon.exe.removed-" + digits + "0", false},
        {"kavo-daemon.exe.removed-" + digits.substr(1) + "g", false},
        {"kavo-daemon.exe.untrusted-" + digits, false},
        {"Service.staging-" + digits, false},
        {"kavo-daemon.exe", false},
        {"", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(is_set_aside_name(c.name), c.accepted) << c.name;
    }
}

TEST(InstallOutcomeTest, RefusedCreationAndExitStatus) {
    struct Case {
        std::uint32_t code;
        InstallOutcome outcome;
    } cases[] = {
        {1072, InstallOutcome::Blocked},  // still marked for deletion
        {1073, InstallOutcome::Blocked},  // exists
        {1078, InstallOutcome::Blocked},  // name or display name taken
        {5, InstallOutcome::Failed},     {1057, InstallOutcome::Failed},
        {1060, InstallOutcome::Failed},  {0, InstallOutcome::Failed},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(outcome_of_create_failure(c.code), c.outcome) << c.code;
    }
    EXPECT_EQ(static_cast<int>(InstallOutcome::Installed), 0);
    EXPECT_EQ(static_cast<int>(InstallOutcome::Failed), 1);
    EXPECT_EQ(static_cast<int>(InstallOutcome::Blocked), 2);
}

}  // namespace
}  // namespace kavo
