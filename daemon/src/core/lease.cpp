#include "core/lease.h"

#include <utility>

namespace kavo {
namespace {

std::optional<LeaseRefusal> unless(bool admitted, LeaseRefusal refusal) {
    return admitted ? std::nullopt : std::optional(refusal);
}

}  // namespace

bool LeaseState::matches(std::string_view lease_id) const {
    // string_view equality compares the lengths first, then every byte.
    return lease_ && std::string_view(lease_->lease_id) == lease_id;
}

bool LeaseState::live(MonotonicInstant now) const {
    return lease_ && lease_->expires_at > now;
}

std::optional<std::uint64_t> LeaseState::remaining_seconds(MonotonicInstant now) const {
    if (!lease_ || lease_->expires_at < now) {
        return std::nullopt;
    }
    // The difference is not negative here, so the cast drops the fraction.
    const auto left = std::chrono::duration_cast<std::chrono::seconds>(lease_->expires_at - now);
    return static_cast<std::uint64_t>(left.count());
}

bool LeaseState::reclaim_due(MonotonicInstant now) const {
    return !stop_pending_ && lease_ && !live(now);
}

std::optional<LeaseRefusal> LeaseState::check_renew(std::string_view lease_id,
                                                    MonotonicInstant now) const {
    if (stop_pending_) {
        return LeaseRefusal::still_reclaiming;
    }
    return unless(matches(lease_id) && live(now), LeaseRefusal::no_longer_valid);
}

std::optional<LeaseRefusal> LeaseState::check_release(std::string_view lease_id) const {
    return unless(matches(lease_id), LeaseRefusal::no_longer_valid);
}

std::optional<LeaseRefusal> LeaseState::check_start(std::string_view lease_id,
                                                    MonotonicInstant now) const {
    return unless(!stop_pending_ && matches(lease_id) && live(now),
                  LeaseRefusal::start_needs_active_lease);
}

std::optional<LeaseRefusal> LeaseState::check_stop(std::string_view lease_id,
                                                   MonotonicInstant now) const {
    // A pending stop may be retried whether or not the lease has run out.
    return unless(matches(lease_id) && (stop_pending_ || live(now)),
                  LeaseRefusal::stop_needs_active_lease);
}

AcquireVerdict LeaseState::decide_acquire(MonotonicInstant now, bool rechecked) const {
    const bool expired_lease = lease_ && !live(now);
    if (expired_lease && !rechecked) {
        return {AcquireDecision::reclaim_and_recheck, std::nullopt};
    }
    if (stop_pending_) {
        if (lease_) {
            return {AcquireDecision::refuse, LeaseRefusal::expired_still_reclaiming};
        }
        return {AcquireDecision::stop_then_grant, std::nullopt};
    }
    if (live(now)) {
        return {AcquireDecision::refuse, LeaseRefusal::owned_by_another_client};
    }
    return {expired_lease ? AcquireDecision::stop_then_grant : AcquireDecision::grant,
            std::nullopt};
}

void LeaseState::grant(std::string lease_id, MonotonicInstant now) {
    lease_ = ServiceLease{std::move(lease_id), now + LEASE_DURATION};
}

void LeaseState::renew(MonotonicInstant now) {
    if (lease_) {
        lease_->expires_at = now + LEASE_DURATION;
    }
}

void LeaseState::release() {
    lease_.reset();
    stop_pending_ = false;
}

}  // namespace kavo
