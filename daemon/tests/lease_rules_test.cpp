// The lease rules at their boundaries, with the instants written out: no
// clock is read anywhere here.
#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include "ipc/lease_rules.h"

namespace kavo {
namespace {

using namespace std::chrono_literals;

// An arbitrary origin, far from the clock's epoch.
const MonotonicInstant T0 = MonotonicInstant{} + 1000h;

constexpr std::string_view ID = "0123456789abcdef0123456789abcdef";
constexpr std::string_view OTHER_ID = "fedcba9876543210fedcba9876543210";

std::optional<LeaseTerms> lease_until(MonotonicInstant expires_at, std::string_view id = ID) {
    return LeaseTerms{id, expires_at};
}

std::string refusal_of(const Admission& admission) {
    return admission.refusal ? std::string(*admission.refusal) : "<admitted>";
}

TEST(LeaseRulesTest, MatchingIsByteForByte) {
    struct Case {
        const char* what;
        std::optional<LeaseTerms> lease;
        std::string_view asked;
        bool matches;
    } cases[] = {
        {"same id", lease_until(T0), ID, true},
        {"no lease", std::nullopt, ID, false},
        {"other id", lease_until(T0), OTHER_ID, false},
        {"prefix of the id", lease_until(T0), ID.substr(0, 31), false},
        {"id with one byte more", lease_until(T0), "0123456789abcdef0123456789abcdef0", false},
        {"case differs", lease_until(T0), "0123456789ABCDEF0123456789ABCDEF", false},
        {"empty asked", lease_until(T0), "", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(lease_matches(c.lease, c.asked), c.matches) << c.what;
    }
    const std::string with_nul = std::string(ID) + '\0';
    EXPECT_FALSE(lease_matches(lease_until(T0), with_nul)) << "a trailing NUL is one byte more";
}

TEST(LeaseRulesTest, LivenessAndRemainingSeconds) {
    struct Case {
        const char* what;
        std::optional<LeaseTerms> lease;
        MonotonicInstant now;
        bool live;
        std::optional<std::uint64_t> remaining;
    } cases[] = {
        {"no lease", std::nullopt, T0, false, std::nullopt},
        {"just granted", lease_until(T0 + 30s), T0, true, 30},
        {"29.9 s left reads 29", lease_until(T0 + 29900ms), T0, true, 29},
        {"one nanosecond short of 30 s", lease_until(T0 + 30s - 1ns), T0, true, 29},
        {"a fraction of a second left", lease_until(T0 + 999ms), T0, true, 0},
        {"one nanosecond left", lease_until(T0 + 1ns), T0, true, 0},
        {"expires at exactly now: expired, 0 left", lease_until(T0), T0, false, 0},
        {"one nanosecond past", lease_until(T0 - 1ns), T0, false, std::nullopt},
        {"long past", lease_until(T0 - 1h), T0, false, std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(lease_live(c.lease, c.now), c.live) << c.what;
        EXPECT_EQ(lease_remaining_seconds(c.lease, c.now), c.remaining) << c.what;
    }
}

TEST(LeaseRulesTest, RenewalSetsThirtySecondsFromTheRenewal) {
    // Granted at T0, renewed 29 s later, looked at within the next second.
    const MonotonicInstant granted = lease_expiry_from(T0);
    const MonotonicInstant renew_at = T0 + 29s;
    ASSERT_TRUE(admit_renew({lease_until(granted), false}, ID, renew_at).admitted());
    const auto renewed = lease_until(lease_expiry_from(renew_at));
    EXPECT_EQ(lease_remaining_seconds(renewed, renew_at), 30u);
    EXPECT_EQ(lease_remaining_seconds(renewed, renew_at + 1ms), 29u);
    EXPECT_EQ(lease_remaining_seconds(renewed, renew_at + 999ms), 29u);
    // Without the renewal the same look would have found under a second.
    EXPECT_EQ(lease_remaining_seconds(lease_until(granted), renew_at + 1ms), 0u);

    // Without any renewal, 31 s after the grant it is too late.
    EXPECT_EQ(refusal_of(admit_renew({lease_until(granted), false}, ID, T0 + 31s)),
              LEASE_NO_LONGER_VALID);
}

// Each row is one line of the request table: the slot, the id asked for,
// and what each of renew, release, start and stop answers.
TEST(LeaseRulesTest, AdmissionTable) {
    const MonotonicInstant live_until = T0 + 10s;
    const MonotonicInstant expired_at = T0;
    constexpr std::string_view YES = "<admitted>";
    const struct Row {
        const char* what;
        LeaseSlotView slot;
        std::string_view asked;
        std::string_view renew, release, start, stop;
    } rows[] = {
        {"live lease, its id", {lease_until(live_until), false}, ID, YES, YES, YES, YES},
        {"live lease, another id",
         {lease_until(live_until), false},
         OTHER_ID,
         LEASE_NO_LONGER_VALID,
         LEASE_NO_LONGER_VALID,
         START_NEEDS_ACTIVE_LEASE,
         STOP_NEEDS_ACTIVE_LEASE},
        {"no lease",
         {std::nullopt, false},
         ID,
         LEASE_NO_LONGER_VALID,
         LEASE_NO_LONGER_VALID,
         START_NEEDS_ACTIVE_LEASE,
         STOP_NEEDS_ACTIVE_LEASE},
        {"expired, not yet reclaimed, its id",
         {lease_until(expired_at), false},
         ID,
         LEASE_NO_LONGER_VALID,
         YES,
         START_NEEDS_ACTIVE_LEASE,
         STOP_NEEDS_ACTIVE_LEASE},
        {"stop pending, live lease, its id",
         {lease_until(live_until), true},
         ID,
         LEASE_STILL_RECLAIMING,
         YES,
         START_NEEDS_ACTIVE_LEASE,
         YES},
        {"stop pending, expired lease, its id",
         {lease_until(expired_at), true},
         ID,
         LEASE_STILL_RECLAIMING,
         YES,
         START_NEEDS_ACTIVE_LEASE,
         YES},
        {"stop pending, another id",
         {lease_until(live_until), true},
         OTHER_ID,
         LEASE_STILL_RECLAIMING,
         LEASE_NO_LONGER_VALID,
         START_NEEDS_ACTIVE_LEASE,
         STOP_NEEDS_ACTIVE_LEASE},
        {"stop pending, no lease",
         {std::nullopt, true},
         ID,
         LEASE_STILL_RECLAIMING,
         LEASE_NO_LONGER_VALID,
         START_NEEDS_ACTIVE_LEASE,
         STOP_NEEDS_ACTIVE_LEASE},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(refusal_of(admit_renew(r.slot, r.asked, T0)), r.renew) << r.what << ": renew";
        EXPECT_EQ(refusal_of(admit_release(r.slot, r.asked)), r.release) << r.what << ": release";
        EXPECT_EQ(refusal_of(admit_start(r.slot, r.asked, T0)), r.start) << r.what << ": start";
        EXPECT_EQ(refusal_of(admit_stop(r.slot, r.asked, T0)), r.stop) << r.what << ": stop";
    }
}

TEST(LeaseRulesTest, AcquireDecisions) {
    using D = AcquireDecision;
    struct Case {
        const char* what;
        LeaseSlotView slot;
        bool rechecked;
        D decision;
        std::optional<std::string_view> refusal;
    } cases[] = {
        {"no lease", {std::nullopt, false}, false, D::grant, std::nullopt},
        {"no lease, after the re-check", {std::nullopt, false}, true, D::grant, std::nullopt},
        {"live lease: even its own holder is refused",
         {lease_until(T0 + 1ns), false},
         false,
         D::owned_by_another_client,
         LEASE_OWNED_BY_ANOTHER_CLIENT},
        {"expired at exactly now: reclaim, then look again",
         {lease_until(T0), false},
         false,
         D::reclaim_and_recheck,
         std::nullopt},
        {"expired with a stop pending: the re-check comes first",
         {lease_until(T0 - 1s), true},
         false,
         D::reclaim_and_recheck,
         std::nullopt},
        // Left by a failed poll while nobody held a lease: no holder could
        // retry the stop, so the acquirer does.
        {"stop pending, no lease", {std::nullopt, true}, false, D::stop_then_grant, std::nullopt},
        {"stop pending, no lease, after the re-check",
         {std::nullopt, true},
         true,
         D::stop_then_grant,
         std::nullopt},
        {"stop pending, live lease",
         {lease_until(T0 + 10s), true},
         false,
         D::still_reclaiming,
         EXPIRED_LEASE_STILL_RECLAIMING},
        {"stop pending, expired, after the re-check",
         {lease_until(T0), true},
         true,
         D::still_reclaiming,
         EXPIRED_LEASE_STILL_RECLAIMING},
        {"live after the re-check",
         {lease_until(T0 + 30s), false},
         true,
         D::owned_by_another_client,
         LEASE_OWNED_BY_ANOTHER_CLIENT},
        // A lease granted and run out while the first expired one was being
        // reclaimed: never replaced with its core possibly recorded.
        {"expired again after the re-check",
         {lease_until(T0), false},
         true,
         D::stop_then_grant,
         std::nullopt},
    };
    for (const auto& c : cases) {
        const D got = decide_acquire(c.slot, T0, c.rechecked);
        EXPECT_EQ(got, c.decision) << c.what;
        EXPECT_EQ(acquire_refusal(got), c.refusal) << c.what;
    }
}

TEST(LeaseRulesTest, StatusFields) {
    const std::string digest(64, 'a');
    struct Case {
        const char* what;
        std::optional<LeaseTerms> lease;
        bool running;
        bool lease_active;
        std::optional<std::uint64_t> remaining;
    } cases[] = {
        {"idle", std::nullopt, false, false, std::nullopt},
        {"running under a live lease", lease_until(T0 + 29900ms), true, true, 29},
        {"expiring at exactly now", lease_until(T0), true, false, 0},
        {"past its expiry", lease_until(T0 - 1ms), false, false, std::nullopt},
    };
    for (const auto& c : cases) {
        const IpcResponse got = status_response(c.lease, T0, c.running, digest);
        const auto* status = std::get_if<IpcResponse::Status>(&got.value);
        ASSERT_NE(status, nullptr) << c.what;
        const IpcResponse::Status expected{
            c.running, "kavo_core.exe", 5u, "0.2.1", digest, c.lease_active, c.remaining,
        };
        EXPECT_EQ(*status, expected) << c.what;
    }
}

}  // namespace
}  // namespace kavo
