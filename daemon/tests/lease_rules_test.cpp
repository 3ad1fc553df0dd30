// The lease state at its boundaries, with the instants written out: no
// clock is read anywhere here.
#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/lease.h"
#include "ipc/status_answer.h"

namespace kavo {
namespace {

using namespace std::chrono_literals;

// An arbitrary origin, far from the clock's epoch.
const MonotonicInstant T0 = MonotonicInstant{} + 1000h;

constexpr std::string_view ID = "0123456789abcdef0123456789abcdef";
constexpr std::string_view OTHER_ID = "fedcba9876543210fedcba9876543210";

// A state reached by its own transitions: a lease granted so that it expires
// at `expires_at` (none without), then a stop begun when `stop_pending`.
LeaseState state_with(std::optional<MonotonicInstant> expires_at, bool stop_pending = false) {
    LeaseState state;
    if (expires_at) {
        state.grant(std::string(ID), *expires_at - LEASE_DURATION);
    }
    if (stop_pending) {
        state.begin_stop();
    }
    return state;
}

TEST(LeaseRulesTest, MatchingIsByteForByte) {
    struct Case {
        const char* what;
        std::optional<MonotonicInstant> lease;
        std::string_view asked;
        bool matches;
    } cases[] = {
        {"same id", T0, ID, true},
        {"no lease", std::nullopt, ID, false},
        {"other id", T0, OTHER_ID, false},
        {"prefix of the id", T0, ID.substr(0, 31), false},
        {"id with one byte more", T0, "0123456789abcdef0123456789abcdef0", false},
        {"case differs", T0, "0123456789ABCDEF0123456789ABCDEF", false},
        {"empty asked", T0, "", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(state_with(c.lease).matches(c.asked), c.matches) << c.what;
    }
    const std::string with_nul = std::string(ID) + '\0';
    EXPECT_FALSE(state_with(T0).matches(with_nul)) << "a trailing NUL is one byte more";
}

TEST(LeaseRulesTest, LivenessAndRemainingSeconds) {
    struct Case {
        const char* what;
        std::optional<MonotonicInstant> lease;
        bool live;
        std::optional<std::uint64_t> remaining;
    } cases[] = {
        {"no lease", std::nullopt, false, std::nullopt},
        {"just granted", T0 + 30s, true, 30},
        {"29.9 s left reads 29", T0 + 29900ms, true, 29},
        {"one nanosecond short of 30 s", T0 + 30s - 1ns, true, 29},
        {"a fraction of a second left", T0 + 999ms, true, 0},
        {"one nanosecond left", T0 + 1ns, true, 0},
        {"expires at exactly now: expired, 0 left", T0, false, 0},
        {"one nanosecond past", T0 - 1ns, false, std::nullopt},
        {"long past", T0 - 1h, false, std::nullopt},
    };
    for (const auto& c : cases) {
        const LeaseState state = state_with(c.lease);
        EXPECT_EQ(state.live(T0), c.live) << c.what;
        EXPECT_EQ(state.remaining_seconds(T0), c.remaining) << c.what;
        // Due for a reclaim: recorded and expired, no stop pending.
        EXPECT_EQ(state.reclaim_due(T0), c.lease && !c.live) << c.what;
        EXPECT_FALSE(state_with(c.lease, true).reclaim_due(T0)) << c.what;
    }
}

TEST(LeaseRulesTest, RenewalSetsThirtySecondsFromTheRenewal) {
    // Granted at T0, renewed 29 s later, looked at within the next second.
    LeaseState state;
    state.grant(std::string(ID), T0);
    const MonotonicInstant renew_at = T0 + 29s;
    EXPECT_EQ(state.remaining_seconds(renew_at + 1ms), 0u) << "under a second without renewal";
    ASSERT_EQ(state.check_renew(ID, renew_at), std::nullopt);
    state.renew(renew_at);
    EXPECT_EQ(state.remaining_seconds(renew_at), 30u);
    EXPECT_EQ(state.remaining_seconds(renew_at + 1ms), 29u);
    EXPECT_EQ(state.remaining_seconds(renew_at + 999ms), 29u);
    EXPECT_EQ(state.record()->lease_id, ID) << "a renewal keeps the id";

    // Without any renewal, 31 s after the grant it is too late.
    LeaseState unrenewed;
    unrenewed.grant(std::string(ID), T0);
    EXPECT_EQ(unrenewed.check_renew(ID, T0 + 31s), LeaseRefusal::no_longer_valid);
}

// Each sequence walks the state table from none; after each step the state
// is one of none, active, expired or stuck.
TEST(LeaseRulesTest, TransitionsFollowTheStateTable) {
    enum class Step { grant, renew, expire, begin_stop, stop_failed, stop_completed, release };
    struct Expect {
        bool recorded, live, stop_pending;
    };
    constexpr Expect NONE{false, false, false}, ACTIVE{true, true, false},
        EXPIRED{true, false, false}, STUCK{true, true, true}, STUCK_EXPIRED{true, false, true},
        STUCK_NO_LEASE{false, false, true};
    const struct {
        const char* what;
        std::vector<std::pair<Step, Expect>> steps;
    } sequences[] = {
        {"grant, renew, release",
         {{Step::grant, ACTIVE}, {Step::renew, ACTIVE}, {Step::release, NONE}}},
        {"a stop that completes ends the lease",
         {{Step::grant, ACTIVE}, {Step::begin_stop, STUCK}, {Step::stop_completed, NONE}}},
        {"a failed stop keeps the lease, stuck, until a retry completes",
         {{Step::grant, ACTIVE},
          {Step::begin_stop, STUCK},
          {Step::stop_failed, STUCK},
          {Step::expire, STUCK_EXPIRED},
          {Step::stop_completed, NONE}}},
        {"expiry, then the reclaim",
         {{Step::grant, ACTIVE},
          {Step::expire, EXPIRED},
          {Step::begin_stop, STUCK_EXPIRED},
          {Step::stop_completed, NONE}}},
        {"a failed poll with no lease",
         {{Step::begin_stop, STUCK_NO_LEASE}, {Step::stop_completed, NONE}}},
        {"a grant after a completed stop starts afresh",
         {{Step::grant, ACTIVE},
          {Step::begin_stop, STUCK},
          {Step::stop_completed, NONE},
          {Step::grant, ACTIVE}}},
    };
    for (const auto& s : sequences) {
        LeaseState state;
        MonotonicInstant now = T0;
        for (std::size_t i = 0; i < s.steps.size(); ++i) {
            const auto& [step, expect] = s.steps[i];
            switch (step) {
                case Step::grant:
                    state.grant(std::string(ID), now);
                    break;
                case Step::renew:
                    now += 20s;
                    state.renew(now);
                    break;
                case Step::expire:
                    now += LEASE_DURATION;
                    break;
                case Step::begin_stop:
                    state.begin_stop();
                    break;
                case Step::stop_failed:
                    break;
                case Step::stop_completed:
                case Step::release:
                    state.release();
                    break;
            }
            EXPECT_EQ(state.record().has_value(), expect.recorded) << s.what << ", step " << i;
            EXPECT_EQ(state.live(now), expect.live) << s.what << ", step " << i;
            EXPECT_EQ(state.stop_pending(), expect.stop_pending) << s.what << ", step " << i;
        }
    }
}

// Each row is one line of the request table: the slot, the id asked for,
// and what each of renew, release, start and stop answers.
TEST(LeaseRulesTest, AdmissionTable) {
    const MonotonicInstant live_until = T0 + 10s;
    const MonotonicInstant expired_at = T0;
    constexpr std::optional<LeaseRefusal> YES;
    using R = LeaseRefusal;
    constexpr R LEASE_NO_LONGER_VALID = R::no_longer_valid;
    constexpr R LEASE_STILL_RECLAIMING = R::still_reclaiming;
    constexpr R START_NEEDS_ACTIVE_LEASE = R::start_needs_active_lease;
    constexpr R STOP_NEEDS_ACTIVE_LEASE = R::stop_needs_active_lease;
    const struct Row {
        const char* what;
        LeaseState slot;
        std::string_view asked;
        std::optional<LeaseRefusal> renew, release, start, stop;
    } rows[] = {
        {"live lease, its id", state_with(live_until, false), ID, YES, YES, YES, YES},
        {"live lease, another id", state_with(live_until, false), OTHER_ID, LEASE_NO_LONGER_VALID,
         LEASE_NO_LONGER_VALID, START_NEEDS_ACTIVE_LEASE, STOP_NEEDS_ACTIVE_LEASE},
        {"no lease", state_with(std::nullopt, false), ID, LEASE_NO_LONGER_VALID,
         LEASE_NO_LONGER_VALID, START_NEEDS_ACTIVE_LEASE, STOP_NEEDS_ACTIVE_LEASE},
        {"expired, not yet reclaimed, its id", state_with(expired_at, false), ID,
         LEASE_NO_LONGER_VALID, YES, START_NEEDS_ACTIVE_LEASE, STOP_NEEDS_ACTIVE_LEASE},
        {"stop pending, live lease, its id", state_with(live_until, true), ID,
         LEASE_STILL_RECLAIMING, YES, START_NEEDS_ACTIVE_LEASE, YES},
        {"stop pending, expired lease, its id", state_with(expired_at, true), ID,
         LEASE_STILL_RECLAIMING, YES, START_NEEDS_ACTIVE_LEASE, YES},
        {"stop pending, another id", state_with(live_until, true), OTHER_ID, LEASE_STILL_RECLAIMING,
         LEASE_NO_LONGER_VALID, START_NEEDS_ACTIVE_LEASE, STOP_NEEDS_ACTIVE_LEASE},
        {"stop pending, no lease", state_with(std::nullopt, true), ID, LEASE_STILL_RECLAIMING,
         LEASE_NO_LONGER_VALID, START_NEEDS_ACTIVE_LEASE, STOP_NEEDS_ACTIVE_LEASE},
    };
    for (const auto& r : rows) {
        EXPECT_EQ(r.slot.check_renew(r.asked, T0), r.renew) << r.what << ": renew";
        EXPECT_EQ(r.slot.check_release(r.asked), r.release) << r.what << ": release";
        EXPECT_EQ(r.slot.check_start(r.asked, T0), r.start) << r.what << ": start";
        EXPECT_EQ(r.slot.check_stop(r.asked, T0), r.stop) << r.what << ": stop";
    }
}

TEST(LeaseRulesTest, AcquireDecisions) {
    using D = AcquireDecision;
    struct Case {
        const char* what;
        LeaseState slot;
        bool rechecked;
        D decision;
        std::optional<LeaseRefusal> refusal;
    } cases[] = {
        {"no lease", state_with(std::nullopt, false), false, D::grant, std::nullopt},
        {"no lease, after the re-check", state_with(std::nullopt, false), true, D::grant,
         std::nullopt},
        {"live lease: even its own holder is refused", state_with(T0 + 1ns, false), false,
         D::refuse, LeaseRefusal::owned_by_another_client},
        {"expired at exactly now: reclaim, then look again", state_with(T0, false), false,
         D::reclaim_and_recheck, std::nullopt},
        {"expired with a stop pending: the re-check comes first", state_with(T0 - 1s, true), false,
         D::reclaim_and_recheck, std::nullopt},
        // Left by a failed poll while nobody held a lease: no holder could
        // retry the stop, so the acquirer does.
        {"stop pending, no lease", state_with(std::nullopt, true), false, D::stop_then_grant,
         std::nullopt},
        {"stop pending, no lease, after the re-check", state_with(std::nullopt, true), true,
         D::stop_then_grant, std::nullopt},
        {"stop pending, live lease", state_with(T0 + 10s, true), false, D::refuse,
         LeaseRefusal::expired_still_reclaiming},
        {"stop pending, expired, after the re-check", state_with(T0, true), true, D::refuse,
         LeaseRefusal::expired_still_reclaiming},
        {"live after the re-check", state_with(T0 + 30s, false), true, D::refuse,
         LeaseRefusal::owned_by_another_client},
        // A lease granted and run out while the first expired one was being
        // reclaimed: never replaced with its core possibly recorded.
        {"expired again after the re-check", state_with(T0, false), true, D::stop_then_grant,
         std::nullopt},
    };
    for (const auto& c : cases) {
        const AcquireVerdict got = c.slot.decide_acquire(T0, c.rechecked);
        EXPECT_EQ(got.decision, c.decision) << c.what;
        EXPECT_EQ(got.refusal, c.refusal) << c.what;
    }
}

TEST(LeaseRulesTest, StatusFields) {
    const std::string digest(64, 'a');
    struct Case {
        const char* what;
        bool running;
        bool lease_active;
        std::optional<std::uint64_t> remaining;
    } cases[] = {
        {"idle", false, false, std::nullopt},
        {"running under a live lease", true, true, 29},
        {"expiring at exactly now", true, false, 0},
    };
    for (const auto& c : cases) {
        const IpcResponse got = status_response(c.lease_active, c.remaining, c.running, digest);
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
