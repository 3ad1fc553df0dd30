// IPC protocol, pure: the service lease and what each request may do to the
// shared core slot. Every decision is a function of what the slot holds, the
// request and "now", a monotonic instant the caller reads while it holds the
// slot's mutex; nothing here reads a clock.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "ipc/records.h"

namespace kavo {

using MonotonicInstant = std::chrono::steady_clock::time_point;

// Lifetime of a new or renewed lease.
inline constexpr std::chrono::seconds LEASE_DURATION{30};

// Fixed fields of every Status answer.
inline constexpr std::uint32_t PROTOCOL_VERSION = 5;
inline constexpr std::string_view DAEMON_VERSION = "0.2.1";
// The core's name as clients know it, whatever the platform calls the file.
inline constexpr std::string_view STATUS_CORE_BINARY_NAME = "kavo_core.exe";

// The Error answers of the lease rules.
inline constexpr std::string_view EXPIRED_LEASE_NOT_RECLAIMED =
    "The expired service lease could not be reclaimed";
inline constexpr std::string_view EXPIRED_LEASE_STILL_RECLAIMING =
    "The expired service lease is still being reclaimed";
inline constexpr std::string_view LEASE_OWNED_BY_ANOTHER_CLIENT =
    "Another client already owns the service lease";
inline constexpr std::string_view LEASE_STILL_RECLAIMING =
    "The service lease is still being reclaimed";
inline constexpr std::string_view LEASE_NO_LONGER_VALID = "The service lease is no longer valid";
inline constexpr std::string_view LEASE_NOT_RELEASED_SAFELY =
    "The service lease could not be released safely";
inline constexpr std::string_view START_NEEDS_ACTIVE_LEASE =
    "An active service lease is required to start the core";
inline constexpr std::string_view STOP_NEEDS_ACTIVE_LEASE =
    "An active service lease is required to stop the core";
inline constexpr std::string_view CORE_NOT_STOPPED_SAFELY = "The core could not be stopped safely";

// What the rules read of a lease record.
struct LeaseTerms {
    std::string_view lease_id;
    MonotonicInstant expires_at;
};

// What the rules read of the slot: the lease, if one is granted, and whether
// a stop is in progress or has failed.
struct LeaseSlotView {
    std::optional<LeaseTerms> lease;
    bool stop_pending = false;
};

// The lease names `lease_id`: same length, same bytes.
bool lease_matches(const std::optional<LeaseTerms>& lease, std::string_view lease_id);

// The lease expires strictly later than `now`; one that expires at exactly
// now is expired.
bool lease_live(const std::optional<LeaseTerms>& lease, MonotonicInstant now);

// Whole seconds from `now` to the expiry, the fraction dropped (0 at exactly
// now); nothing without a lease or once the expiry has passed.
std::optional<std::uint64_t> lease_remaining_seconds(const std::optional<LeaseTerms>& lease,
                                                     MonotonicInstant now);

// The expiry of a lease granted or renewed at `now`.
MonotonicInstant lease_expiry_from(MonotonicInstant now);

// Whether a request may go ahead; a refused one is answered with `refusal`.
struct Admission {
    std::optional<std::string_view> refusal;

    bool admitted() const { return !refusal; }
    bool operator==(const Admission&) const = default;
};

inline constexpr Admission ADMITTED{};

// Renewal needs the live lease it names, and no stop in progress.
Admission admit_renew(const LeaseSlotView& slot, std::string_view lease_id, MonotonicInstant now);

// Release needs only the lease it names: expiry and a pending stop do not
// matter, so the holder of an expired or stuck lease can still let it go.
Admission admit_release(const LeaseSlotView& slot, std::string_view lease_id);

// A start needs the live lease it names and no stop in progress.
Admission admit_start(const LeaseSlotView& slot, std::string_view lease_id, MonotonicInstant now);

// A stop needs the live lease it names, or, while a stop is pending, the
// lease it names live or not (the retry of a stop that failed).
Admission admit_stop(const LeaseSlotView& slot, std::string_view lease_id, MonotonicInstant now);

enum class AcquireDecision {
    // An expired lease is still recorded and this is the first look: let the
    // mutex go, reclaim it, and decide again under a fresh lock.
    reclaim_and_recheck,
    // Something is recorded that nobody could stop otherwise: a lease that
    // was granted and ran out while the first one was being reclaimed (its
    // core and runtime directory may be recorded, so it is not simply
    // replaced), or a stop left pending with no lease at all (a failed poll
    // while nobody held a lease, so no holder can retry the stop). Stop the
    // core in this same hold; grant when that completes.
    stop_then_grant,
    still_reclaiming,
    owned_by_another_client,
    grant,
};

// The decision of an acquire under the lock. `rechecked` is set once the
// one reclaim-and-recheck has been done.
AcquireDecision decide_acquire(const LeaseSlotView& slot, MonotonicInstant now, bool rechecked);

// The Error message of an acquire decision that refuses; nothing for the
// others.
std::optional<std::string_view> acquire_refusal(AcquireDecision decision);

// The answer to a granted lease.
IpcResponse lease_granted_response(std::string lease_id);

// The answer to a release or a stop: Ok when the stop completed, otherwise
// the request's own message.
IpcResponse release_response(bool stopped);
IpcResponse stop_core_response(bool stopped);

// The Status answer. `core_running` is what the poll of the core said
// (false with no core); `core_sha256` is the digest of the core executable.
IpcResponse status_response(const std::optional<LeaseTerms>& lease, MonotonicInstant now,
                            bool core_running, std::string core_sha256);

}  // namespace kavo
