// Core runtime, pure: the service lease and the stop flag, changed only by
// the transitions of the lease state table, and every decision made on them:
// a function of the record, the request and "now", a monotonic instant the
// caller reads under the slot's mutex. Nothing here reads a clock.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kavo {

using MonotonicInstant = std::chrono::steady_clock::time_point;

// Lifetime of a new or renewed lease.
inline constexpr std::chrono::seconds LEASE_DURATION{30};

// The client lease currently granted.
struct ServiceLease {
    std::string lease_id;
    // The lease is expired once the clock reaches this instant.
    MonotonicInstant expires_at;
};

// Why a request is refused; the answers word each one.
enum class LeaseRefusal {
    expired_still_reclaiming,  // an acquire meets a pending stop
    owned_by_another_client,   // an acquire meets a live lease, whoever holds it
    still_reclaiming,          // a renewal meets a pending stop
    no_longer_valid,
    start_needs_active_lease,
    stop_needs_active_lease,
};

enum class AcquireDecision {
    // An expired lease is recorded at the first look: let the mutex go,
    // reclaim it, and decide again under a fresh lock.
    reclaim_and_recheck,
    // Recorded, and nobody else would stop it: a lease that ran out while
    // the first was being reclaimed (its core may be recorded), or a stop
    // left pending with no lease by a failed poll. Stop in this same hold;
    // grant when that completes.
    stop_then_grant,
    refuse,
    grant,
};

struct AcquireVerdict {
    AcquireDecision decision;
    std::optional<LeaseRefusal> refusal;  // set when refused
    bool operator==(const AcquireVerdict&) const = default;
};

// States: none; active (live); expired; stuck (a stop pending, the lease
// kept). A stop pending with no lease is the stuck state a failed poll
// leaves while nobody holds a lease.
class LeaseState {
  public:
    const std::optional<ServiceLease>& record() const { return lease_; }
    // A stop is in progress, or a stop failed: starts are refused and the
    // reclaim of an expired lease does nothing.
    bool stop_pending() const { return stop_pending_; }

    // The lease names `lease_id`: same length, same bytes.
    bool matches(std::string_view lease_id) const;
    // The lease expires strictly later than `now`; one that expires at
    // exactly now is expired.
    bool live(MonotonicInstant now) const;
    // Whole seconds from `now` to the expiry, the fraction dropped (0 at
    // exactly now); nothing without a lease or once the expiry has passed.
    std::optional<std::uint64_t> remaining_seconds(MonotonicInstant now) const;
    // An expired lease is recorded and no stop is pending: its core is due
    // to be stopped and the lease cleared.
    bool reclaim_due(MonotonicInstant now) const;

    // Renewal needs the live lease it names, and no stop in progress.
    std::optional<LeaseRefusal> check_renew(std::string_view lease_id, MonotonicInstant now) const;
    // Release needs only the lease it names: expiry and a pending stop do
    // not matter, so the holder of an expired or stuck lease can let it go.
    std::optional<LeaseRefusal> check_release(std::string_view lease_id) const;
    // A start needs the live lease it names and no stop in progress.
    std::optional<LeaseRefusal> check_start(std::string_view lease_id, MonotonicInstant now) const;
    // A stop needs the live lease it names, or, while a stop is pending, the
    // lease it names live or not (the retry of a stop that failed).
    std::optional<LeaseRefusal> check_stop(std::string_view lease_id, MonotonicInstant now) const;
    // The decision of an acquire under the lock. `rechecked` is set once the
    // one reclaim-and-recheck has been done.
    AcquireVerdict decide_acquire(MonotonicInstant now, bool rechecked) const;

    // A new lease, or the lease renewed, live for LEASE_DURATION from `now`.
    void grant(std::string lease_id, MonotonicInstant now);
    void renew(MonotonicInstant now);
    // A stop begins, or a poll of the core failed: stuck until a stop
    // completes, which releases the lease (back to none).
    void begin_stop() { stop_pending_ = true; }
    void release();

  private:
    std::optional<ServiceLease> lease_;
    bool stop_pending_ = false;
};

}  // namespace kavo
