// Ending what an earlier test left under the service control manager.
#pragma once

#include <chrono>
#include <thread>

#include "install/service_registration.h"
#include "install/service_removal.h"
#include "platform/process_info.h"
#include "platform/service_manager.h"

namespace kavo::service_testing {

// Removes the service and its files as the uninstaller does, with its own
// polls. Wine's service manager never sees an own-process service die: one
// that a test killed outright (and then failed before starting it again)
// stays "running", a stop of it fails, and so would every later removal.
// Under Wine such a service is started again, which Wine allows, and the
// removal tried once more, until it works or a minute has passed. Wine
// reports the new start as running before the new process has taken its
// controls, so each try waits a moment after the start.
inline Result<void> remove_earlier_install() {
    auto removed = uninstall_service();
    if (removed || !running_under_wine()) {
        return removed;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    while (!removed && std::chrono::steady_clock::now() < deadline) {
        // Only a service whose process is gone is started again: a live one
        // that does not stop is the removal's to report.
        if (const auto manager = ServiceManager::open(SCM_ACCESS_CONNECT)) {
            if (const auto service = manager->open_service(SERVICE_NAME, SERVICE_ACCESS_ALL)) {
                const auto pid = service->process_id();
                if (pid && *pid != 0 && !process_is_running(*pid)) {
                    static_cast<void>(service->start());
                }
            }
        }
        std::this_thread::sleep_for(std::chrono::seconds(2));
        removed = uninstall_service();
    }
    return removed;
}

}  // namespace kavo::service_testing
