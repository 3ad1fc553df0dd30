#include "ctl/ctl_run.h"

#include "ipc/record_json.h"

namespace kavo {

std::string ctl_run_acquired_line(const IpcResponse::Lease& lease) {
    return std::string(CTL_RUN_ACQUIRED) + lease.lease_id + " for " +
           std::to_string(lease.expires_in_seconds) + " s";
}

std::string ctl_run_status_line(const IpcResponse::Status& status) {
    return std::string(CTL_RUN_STATUS) + serialize(IpcResponse{status});
}

bool ctl_run_status_changed(const std::optional<IpcResponse::Status>& last,
                            const IpcResponse::Status& now) {
    if (!last) {
        return true;
    }
    IpcResponse::Status before = *last;
    before.lease_expires_in_seconds = now.lease_expires_in_seconds;
    return before != now;
}

}  // namespace kavo
