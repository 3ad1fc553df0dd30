#include "core/managed_core.h"

#include <utility>

namespace kavo {

ManagedCore::ManagedCore(ChildProcess process, ProcessJob job)
    : process_(std::move(process)), job_(std::move(job)) {}

ManagedCore::ManagedCore(ManagedCore&& other) noexcept
    : process_(std::move(other.process_)),
      job_(std::move(other.job_)),
      log_pumps_(std::move(other.log_pumps_)) {
    // A moved-from core owns nothing and ends nothing.
    other.process_.reset();
    other.job_.reset();
    other.log_pumps_.reset();
}

ManagedCore& ManagedCore::operator=(ManagedCore&& other) noexcept {
    if (this != &other) {
        // The core held so far ends when `replaced` goes.
        ManagedCore replaced(std::move(*this));
        process_ = std::move(other.process_);
        job_ = std::move(other.job_);
        log_pumps_ = std::move(other.log_pumps_);
        other.process_.reset();
        other.job_.reset();
        other.log_pumps_.reset();
    }
    return *this;
}

ManagedCore::~ManagedCore() {
    if (process_) {
        // A core that cannot be ended here is left to its job, closed below.
        static_cast<void>(end());
    }
    // The process's handles (and any pipe still in it), then the job, which
    // ends whatever the core left behind.
    process_.reset();
    log_pumps_.reset();
    job_.reset();
}

bool ManagedCore::end() {
    const auto polled = process_->poll();
    if (!polled) {
        return false;
    }
    if (polled->has_value()) {
        return true;
    }
    if (auto terminated = process_->terminate(1); !terminated) {
        // Windows refuses to terminate a process that has just ended: that
        // is an end too, as long as the process still answers a poll.
        if (terminated.error().kind != OsErrorKind::access_denied) {
            return false;
        }
        const auto again = process_->poll();
        if (!again || !again->has_value()) {
            return false;
        }
    }
    // The core's standard input is not redirected: no handle to close first.
    return process_->wait().has_value();
}

bool ManagedCore::release_runtime_dir(std::chrono::milliseconds bound) {
    bool emptied = true;
    if (job_) {
        // Closing alone would end them too, but on Windows only some time
        // after the close: the directory must not go before they have.
        emptied = job_->end_all(CORE_JOB_EMPTY_BOUND);
        job_->close();
    }
    const bool drained = !log_pumps_ || log_pumps_->wait_for(bound);
    return emptied && drained;
}

}  // namespace kavo
