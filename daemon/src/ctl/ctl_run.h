// kavo-ctl run, pure: the lines a whole client session prints and the rule
// for when a status is worth a line. The session takes a lease, starts the
// core, renews the lease and watches the status until it is told to stop,
// then gives the lease back, which stops the core.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "ipc/records.h"

namespace kavo {

// How often the session renews its lease (which lasts 30 s) and asks for
// the status.
inline constexpr std::chrono::milliseconds CTL_RUN_RENEW_INTERVAL{10'000};
inline constexpr std::chrono::milliseconds CTL_RUN_STATUS_INTERVAL{1'000};

struct CtlRunTimings {
    std::chrono::milliseconds renew_every = CTL_RUN_RENEW_INTERVAL;
    std::chrono::milliseconds status_every = CTL_RUN_STATUS_INTERVAL;
    // What the renewals are timed by; tests share theirs with the service.
    std::function<std::chrono::steady_clock::time_point()> clock = std::chrono::steady_clock::now;
};

// Standard output: one line per step and per change of the status.
inline constexpr std::string_view CTL_RUN_ACQUIRED = "acquired lease ";
inline constexpr std::string_view CTL_RUN_STARTED = "started the core";
inline constexpr std::string_view CTL_RUN_STATUS = "status: ";
inline constexpr std::string_view CTL_RUN_STOPPING = "stopping the core and releasing the lease";
inline constexpr std::string_view CTL_RUN_RELEASED = "released the lease";
// The release after a failure found nothing left to give back: the service
// had ended the lease already (a failed start ends it, and so does the
// reclaim of an expired one).
inline constexpr std::string_view CTL_RUN_LEASE_ENDED = "the lease had already ended";

// Standard error; each is followed by the service's or the system's text.
inline constexpr std::string_view CTL_RUN_REFUSED = "kavo-ctl: the service refused: ";
inline constexpr std::string_view CTL_RUN_LEASE_LOST = "kavo-ctl: the lease was lost: ";
inline constexpr std::string_view CTL_RUN_NO_ANSWER = "kavo-ctl: no answer from the service: ";
// What follows one of the first two for an answer of a kind that the
// request does not have (a renewal is answered "Ok", a grant "Lease").
inline constexpr std::string_view CTL_RUN_UNEXPECTED_ANSWER =
    "an answer that does not fit the request";

// "acquired lease <id> for <n> s".
std::string ctl_run_acquired_line(const IpcResponse::Lease& lease);
// "status: " and the status as one JSON line.
std::string ctl_run_status_line(const IpcResponse::Status& status);

// Whether `now` says something that `last` did not. The seconds left on the
// lease change at every poll and are not a change of their own.
bool ctl_run_status_changed(const std::optional<IpcResponse::Status>& last,
                            const IpcResponse::Status& now);

}  // namespace kavo
