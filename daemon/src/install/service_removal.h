// Installation: removing the service "kavo-service" and its protected files,
// for the uninstaller and for the installer, which first removes whatever an
// earlier installation left.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "install/install_names.h"
#include "install/install_outcome.h"
#include "platform/native_string.h"
#include "platform/os_error.h"
#include "platform/result.h"
#include "platform/service_manager.h"
#include "service/service_names.h"

namespace kavo {

inline constexpr std::string_view INSPECT_PREVIOUS_SERVICE_FAILED =
    "Failed to inspect the previous service";
inline constexpr std::string_view INSPECT_PREVIOUS_SERVICE_STATE_FAILED =
    "Failed to inspect the previous service state";
inline constexpr std::string_view STOP_PREVIOUS_SERVICE_FAILED =
    "Failed to stop the previous service";
inline constexpr std::string_view STOP_PREVIOUS_SERVICE_TIMED_OUT =
    "Timed out stopping the previous service";
inline constexpr std::string_view VERIFY_PREVIOUS_SERVICE_REMOVAL_FAILED =
    "Failed to verify removal of the previous service";
inline constexpr std::string_view REMOVE_PREVIOUS_SERVICE_TIMED_OUT =
    "Timed out removing the previous service";
inline constexpr std::string_view INSPECT_PROTECTED_SERVICE_FILES_FAILED =
    "Failed to inspect protected service files: ";
inline constexpr std::string_view INVALID_PROTECTED_SERVICE_PATH =
    "Refusing to remove an invalid protected service path";
inline constexpr std::string_view REMOVE_PROTECTED_SERVICE_FILES_FAILED =
    "Failed to remove protected service files: ";
inline constexpr std::string_view DEFERRED_SERVICE_STAGING_CLEANUP =
    "Deferred cleanup of an KAVO service staging directory";

// The stop wait and the removal wait each poll at most this often.
inline constexpr int SERVICE_POLL_LIMIT = 50;
inline constexpr std::chrono::milliseconds SERVICE_POLL_INTERVAL{100};
// The wait for the service's process to end, once the service has reported
// stopped, polls at most this often (ten seconds at the interval above). The
// process still shuts its runtime down after that report.
inline constexpr int SERVICE_PROCESS_POLL_LIMIT = 100;

// The pause between two polls. Production waits SERVICE_POLL_INTERVAL on the
// calling thread; tests that need many polls pass a shorter interval or a
// sleep of their own.
struct ServicePolling {
    std::chrono::milliseconds interval = SERVICE_POLL_INTERVAL;
    // Empty: the calling thread sleeps for `interval`.
    std::function<void(std::chrono::milliseconds)> sleep;
};

// Waits once between two polls.
void pause_between_polls(const ServicePolling& polling);

// Stops "kavo-service" if it runs, waits until the process it ran in has
// ended (which still maps the installed daemon, and whose job still holds the
// core until then), deletes it and waits until the manager has forgotten it.
// Success also when there is no such service.
Result<void> remove_previous_service(const ServiceManager& manager,
                                     const ServicePolling& polling = {});

// Removes a protected service directory tree: success when `path` does not
// exist, refused when it is anything but a real directory. Each directory is
// secured before it is listed, and links met inside are removed as links.
Result<void> remove_service_tree(const NativeString& path);

// Removes the install staging directories left in `install_parent` by earlier
// attempts. Reports only on standard error, one line, when something matching
// the staging name could not be removed.
void sweep_service_staging(const NativeString& install_parent);

// The uninstaller: removes the service, the service root and the staging
// directories. The install parent itself stays. A service root or install
// parent that LocalSystem or the Administrators do not own is not the
// installation's: it is left as it is, and the uninstall fails when it is
// there.
Result<void> uninstall_service(const ServicePolling& polling = {});

namespace removal_detail {

// The process `service` runs in, watched from now on; nothing when it runs in
// none. Read before the stop: a stopped service reports no process, though
// that process may still be shutting down.
template <class Manager>
using WatchOf = std::remove_cvref_t<decltype(*std::declval<const Manager&>().watch_process(0))>;

template <class Manager, class OpenService>
Result<std::optional<WatchOf<Manager>>> watch_service_process(const Manager& manager,
                                                              const OpenService& service) {
    using Watch = WatchOf<Manager>;
    const auto id = service.process_id();
    if (!id) {
        return fail(std::string(INSPECT_PREVIOUS_SERVICE_STATE_FAILED));
    }
    if (*id == 0) {
        return std::optional<Watch>();
    }
    auto watch = manager.watch_process(*id);
    if (!watch) {
        // Already gone.
        if (watch.error().kind == OsErrorKind::not_found) {
            return std::optional<Watch>();
        }
        return fail(std::string(INSPECT_PREVIOUS_SERVICE_STATE_FAILED));
    }
    return std::optional<Watch>(std::move(watch).value());
}

}  // namespace removal_detail

// The steps of remove_previous_service over any manager with the seam's
// shape (the service manager with ProcessWatch beside it, or a scripted one
// in tests): open_service, and watch_process for the process a service runs
// in. Every handle it opens is closed on every path, the service's own before
// the removal wait.
template <class Manager>
Result<void> remove_previous_service_with(const Manager& manager, const ServicePolling& polling) {
    auto opened = manager.open_service(SERVICE_NAME, SERVICE_ACCESS_ALL);
    if (!opened) {
        if (opened.error().code == SCM_ERROR_SERVICE_DOES_NOT_EXIST) {
            return ok();
        }
        return fail(std::string(INSPECT_PREVIOUS_SERVICE_FAILED));
    }
    auto service = std::move(opened).value();
    const auto state = service.query_state();
    if (!state || !is_service_state(*state)) {
        return fail(std::string(INSPECT_PREVIOUS_SERVICE_STATE_FAILED));
    }
    auto process = removal_detail::watch_service_process(manager, service);
    if (!process) {
        return fail(std::move(process).error());
    }
    if (*state != SERVICE_STATE_STOPPED) {
        if (!service.send_stop()) {
            // The stop may have been refused because the service has just
            // stopped by itself.
            const auto again = service.query_state();
            if (!again || *again != SERVICE_STATE_STOPPED) {
                return fail(std::string(STOP_PREVIOUS_SERVICE_FAILED));
            }
        }
        for (int poll = 1;; ++poll) {
            const auto polled = service.query_state();
            if (!polled || !is_service_state(*polled)) {
                return fail(std::string(INSPECT_PREVIOUS_SERVICE_STATE_FAILED));
            }
            if (*polled == SERVICE_STATE_STOPPED) {
                break;
            }
            if (poll == SERVICE_POLL_LIMIT) {
                return fail(std::string(STOP_PREVIOUS_SERVICE_TIMED_OUT));
            }
            pause_between_polls(polling);
        }
    }
    // Stopped is not yet gone: nothing is deleted while the process lives.
    if (*process) {
        for (int poll = 1;; ++poll) {
            const auto ended = (*process)->has_ended();
            if (!ended) {
                return fail(std::string(INSPECT_PREVIOUS_SERVICE_STATE_FAILED));
            }
            if (*ended) {
                break;
            }
            if (poll == SERVICE_PROCESS_POLL_LIMIT) {
                return fail(std::string(STOP_PREVIOUS_SERVICE_TIMED_OUT));
            }
            pause_between_polls(polling);
        }
    }
    if (!service.remove()) {
        return fail(std::string(WINAPI_CALL_FAILED));
    }
    // The manager completes the deletion once no handle is left open.
    service.close();
    for (int poll = 1;; ++poll) {
        auto reopened = manager.open_service(SERVICE_NAME, SERVICE_ACCESS_QUERY_STATUS);
        if (!reopened) {
            if (reopened.error().code == SCM_ERROR_SERVICE_DOES_NOT_EXIST) {
                return ok();
            }
            return fail(std::string(VERIFY_PREVIOUS_SERVICE_REMOVAL_FAILED));
        }
        // Still marked for deletion.
        reopened->close();
        if (poll == SERVICE_POLL_LIMIT) {
            return fail(std::string(REMOVE_PREVIOUS_SERVICE_TIMED_OUT));
        }
        pause_between_polls(polling);
    }
}

}  // namespace kavo
