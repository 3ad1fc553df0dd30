#include "ipc/lease_rules.h"

#include <utility>

namespace kavo {

bool lease_matches(const std::optional<LeaseTerms>& lease, std::string_view lease_id) {
    // string_view equality compares the lengths first, then every byte.
    return lease && lease->lease_id == lease_id;
}

bool lease_live(const std::optional<LeaseTerms>& lease, MonotonicInstant now) {
    return lease && lease->expires_at > now;
}

std::optional<std::uint64_t> lease_remaining_seconds(const std::optional<LeaseTerms>& lease,
                                                     MonotonicInstant now) {
    if (!lease || lease->expires_at < now) {
        return std::nullopt;
    }
    // The difference is not negative here, so the cast drops the fraction.
    const auto left = std::chrono::duration_cast<std::chrono::seconds>(lease->expires_at - now);
    return static_cast<std::uint64_t>(left.count());
}

MonotonicInstant lease_expiry_from(MonotonicInstant now) {
    return now + LEASE_DURATION;
}

Admission admit_renew(const LeaseSlotView& slot, std::string_view lease_id, MonotonicInstant now) {
    if (slot.stop_pending) {
        return {LEASE_STILL_RECLAIMING};
    }
    if (!lease_matches(slot.lease, lease_id) || !lease_live(slot.lease, now)) {
        return {LEASE_NO_LONGER_VALID};
    }
    return ADMITTED;
}

Admission admit_release(const LeaseSlotView& slot, std::string_view lease_id) {
    if (!lease_matches(slot.lease, lease_id)) {
        return {LEASE_NO_LONGER_VALID};
    }
    return ADMITTED;
}

Admission admit_start(const LeaseSlotView& slot, std::string_view lease_id, MonotonicInstant now) {
    if (slot.stop_pending || !lease_matches(slot.lease, lease_id) || !lease_live(slot.lease, now)) {
        return {START_NEEDS_ACTIVE_LEASE};
    }
    return ADMITTED;
}

Admission admit_stop(const LeaseSlotView& slot, std::string_view lease_id, MonotonicInstant now) {
    if (!lease_matches(slot.lease, lease_id)) {
        return {STOP_NEEDS_ACTIVE_LEASE};
    }
    // A pending stop may be retried whether or not the lease has run out.
    if (!slot.stop_pending && !lease_live(slot.lease, now)) {
        return {STOP_NEEDS_ACTIVE_LEASE};
    }
    return ADMITTED;
}

AcquireDecision decide_acquire(const LeaseSlotView& slot, MonotonicInstant now, bool rechecked) {
    const bool expired_lease = slot.lease && !lease_live(slot.lease, now);
    if (expired_lease && !rechecked) {
        return AcquireDecision::reclaim_and_recheck;
    }
    if (slot.stop_pending) {
        return slot.lease ? AcquireDecision::still_reclaiming : AcquireDecision::stop_then_grant;
    }
    if (lease_live(slot.lease, now)) {
        return AcquireDecision::owned_by_another_client;
    }
    return expired_lease ? AcquireDecision::stop_then_grant : AcquireDecision::grant;
}

std::optional<std::string_view> acquire_refusal(AcquireDecision decision) {
    switch (decision) {
        case AcquireDecision::still_reclaiming:
            return EXPIRED_LEASE_STILL_RECLAIMING;
        case AcquireDecision::owned_by_another_client:
            return LEASE_OWNED_BY_ANOTHER_CLIENT;
        case AcquireDecision::reclaim_and_recheck:
        case AcquireDecision::stop_then_grant:
        case AcquireDecision::grant:
            break;
    }
    return std::nullopt;
}

IpcResponse lease_granted_response(std::string lease_id) {
    return IpcResponse{IpcResponse::Lease{std::move(lease_id),
                                          static_cast<std::uint64_t>(LEASE_DURATION.count())}};
}

IpcResponse release_response(bool stopped) {
    return stopped ? IpcResponse{IpcResponse::Ok{}} : error_response(LEASE_NOT_RELEASED_SAFELY);
}

IpcResponse stop_core_response(bool stopped) {
    return stopped ? IpcResponse{IpcResponse::Ok{}} : error_response(CORE_NOT_STOPPED_SAFELY);
}

IpcResponse status_response(const std::optional<LeaseTerms>& lease, MonotonicInstant now,
                            bool core_running, std::string core_sha256) {
    IpcResponse::Status status;
    status.running = core_running;
    status.core_binary_name = std::string(STATUS_CORE_BINARY_NAME);
    status.protocol_version = PROTOCOL_VERSION;
    status.daemon_version = std::string(DAEMON_VERSION);
    status.core_sha256 = std::move(core_sha256);
    status.lease_active = lease_live(lease, now);
    status.lease_expires_in_seconds = lease_remaining_seconds(lease, now);
    return IpcResponse{std::move(status)};
}

}  // namespace kavo
