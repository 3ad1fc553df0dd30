// Random request sequences through the lease rules, applied to a model of the
// core slot the way the request handlers apply them. The input decides which
// request comes next, who sends it, how far the monotonic clock moves, and
// how each stop, start and poll of the core turns out; acquires run their
// separate holds of the mutex interleaved with everything else. After every
// step the model must keep its invariants:
//   - at most one issued lease id is live, and a grant never replaces a lease
//     that is recorded;
//   - no start is admitted while a stop is pending;
//   - after a completed stop nothing of the lease is left: no record, no core,
//     no id that any request still accepts; a core is only ever recorded
//     with a lease or with a stop pending;
//   - a renewed lease has exactly 30 whole seconds left at the renewal;
//   - the runtime directory a lease records is still on disk (the sweep
//     never removes the directory of the current lease).
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "ipc/lease_rules.h"

namespace {

using namespace kavo;
using std::chrono::nanoseconds;

void check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

// Reads the input a byte at a time; zeros once it runs out.
class Input {
  public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool done() const { return at_ >= size_; }
    std::uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
    bool bit() { return (byte() & 1) != 0; }

  private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

struct ModelLease {
    std::string lease_id;
    bool has_runtime_dir = false;
    MonotonicInstant expires_at;
};

struct ModelCore {
    bool running = true;
};

struct Model {
    std::optional<ModelCore> core;
    std::optional<ModelLease> lease;
    bool stop_pending = false;
    // Runtime directories on disk, by lease id.
    std::set<std::string> runtime_dirs;
    MonotonicInstant now = MonotonicInstant{} + std::chrono::hours(1);
    // Every id granted so far; clients present these (or strangers).
    std::vector<std::string> issued;

    LeaseSlotView view() const {
        LeaseSlotView slot;
        slot.stop_pending = stop_pending;
        if (lease) {
            slot.lease = LeaseTerms{lease->lease_id, lease->expires_at};
        }
        return slot;
    }
    std::optional<LeaseTerms> terms() const { return view().lease; }
};

// How the stop of a core turns out: with no core it always completes; a core
// that will not die hands everything back.
bool stop_and_settle(Model& m, std::optional<std::string> runtime_dir, Input& in) {
    m.stop_pending = true;
    const bool completed = !m.core || in.bit();
    if (!completed) {
        if (m.lease && runtime_dir) {
            m.lease->has_runtime_dir = true;
        }
        return false;
    }
    m.core.reset();
    const bool removal_deferred = (in.byte() & 7) == 0;
    if (runtime_dir && !removal_deferred) {
        m.runtime_dirs.erase(*runtime_dir);
    }
    m.lease.reset();
    m.stop_pending = false;
    return true;
}

// Takes the runtime directory out of the lease for a stop.
std::optional<std::string> take_runtime_dir(Model& m) {
    if (!m.lease || !m.lease->has_runtime_dir) {
        return std::nullopt;
    }
    m.lease->has_runtime_dir = false;
    return m.lease->lease_id;
}

void check_completed_stop(const Model& m) {
    check(!m.lease && !m.core && !m.stop_pending);
    const LeaseSlotView slot = m.view();
    for (const auto& id : m.issued) {
        check(!admit_renew(slot, id, m.now).admitted());
        check(!admit_release(slot, id).admitted());
        check(!admit_start(slot, id, m.now).admitted());
        check(!admit_stop(slot, id, m.now).admitted());
    }
}

// The pipe server's reclaim and the first and third holds of an acquire.
bool reclaim_expired_lease(Model& m, Input& in) {
    if (m.stop_pending || !m.lease || lease_live(m.terms(), m.now)) {
        return true;
    }
    const bool stopped = stop_and_settle(m, take_runtime_dir(m), in);
    if (stopped) {
        check_completed_stop(m);
    }
    return stopped;
}

void sweep_runtime_root(Model& m, std::optional<std::string> keep) {
    std::set<std::string> kept;
    if (keep && m.runtime_dirs.count(*keep)) {
        kept.insert(*keep);
    }
    m.runtime_dirs = std::move(kept);
}

std::string lease_id_for(std::size_t n) {
    static constexpr char DIGITS[] = "0123456789abcdef";
    std::string id(32, '0');
    for (std::size_t i = 0; i < 32 && n != 0; ++i, n >>= 4) {
        id[31 - i] = DIGITS[n & 15];
    }
    return id;
}

void grant(Model& m) {
    // Never in place of a recorded lease, so never of a live one.
    check(!m.lease);
    ModelLease lease;
    lease.lease_id = lease_id_for(m.issued.size() + 1);
    lease.expires_at = lease_expiry_from(m.now);
    m.issued.push_back(lease.lease_id);
    m.lease = std::move(lease);
    check(lease_remaining_seconds(m.terms(), m.now) == 30u);
}

// An acquire in flight: which of its holds comes next.
struct Acquire {
    enum Phase { reclaim, sweep, decide, reclaim_again, decide_again } phase = reclaim;
};

// Runs the next hold of `a`; true once the acquire has answered.
bool step_acquire(Model& m, Acquire& a, Input& in) {
    switch (a.phase) {
        case Acquire::reclaim:
            if (!reclaim_expired_lease(m, in)) {
                return true;
            }
            a.phase = Acquire::sweep;
            return false;
        case Acquire::sweep:
            // The id to keep is copied in the same hold as the sweep.
            sweep_runtime_root(m, m.lease ? std::optional(m.lease->lease_id) : std::nullopt);
            a.phase = Acquire::decide;
            return false;
        case Acquire::reclaim_again:
            if (!reclaim_expired_lease(m, in)) {
                return true;
            }
            a.phase = Acquire::decide_again;
            return false;
        case Acquire::decide:
        case Acquire::decide_again:
            break;
    }
    const bool rechecked = a.phase == Acquire::decide_again;
    const AcquireDecision decision = decide_acquire(m.view(), m.now, rechecked);
    switch (decision) {
        case AcquireDecision::reclaim_and_recheck:
            check(!rechecked);
            a.phase = Acquire::reclaim_again;
            return false;
        case AcquireDecision::stop_then_grant:
            check(!m.lease || !lease_live(m.terms(), m.now));
            if (stop_and_settle(m, take_runtime_dir(m), in)) {
                check_completed_stop(m);
                grant(m);
            }
            return true;
        case AcquireDecision::still_reclaiming:
            check(m.stop_pending && acquire_refusal(decision).has_value());
            return true;
        case AcquireDecision::owned_by_another_client:
            check(lease_live(m.terms(), m.now) && acquire_refusal(decision).has_value());
            return true;
        case AcquireDecision::grant:
            check(!acquire_refusal(decision));
            grant(m);
            return true;
    }
    return true;
}

// The id a client presents: one issued earlier (most often the latest) or a
// stranger's.
std::string presented_id(const Model& m, Input& in) {
    const std::uint8_t pick = in.byte();
    if (m.issued.empty() || pick == 0xff) {
        return lease_id_for(0xdead0000u + pick);
    }
    if (pick < 0x80) {
        return m.issued.back();
    }
    return m.issued[pick % m.issued.size()];
}

void renew(Model& m, Input& in) {
    const std::string id = presented_id(m, in);
    const Admission admission = admit_renew(m.view(), id, m.now);
    if (!admission.admitted()) {
        return;
    }
    check(!m.stop_pending && lease_matches(m.terms(), id) && lease_live(m.terms(), m.now));
    m.lease->expires_at = lease_expiry_from(m.now);
    check(lease_remaining_seconds(m.terms(), m.now) == 30u);
    check(lease_live(m.terms(), m.now + LEASE_DURATION - nanoseconds(1)));
    check(!lease_live(m.terms(), m.now + LEASE_DURATION));
}

void release_or_stop(Model& m, Input& in, bool release) {
    const std::string id = presented_id(m, in);
    const Admission admission =
        release ? admit_release(m.view(), id) : admit_stop(m.view(), id, m.now);
    if (!admission.admitted()) {
        return;
    }
    check(lease_matches(m.terms(), id));
    if (!release) {
        check(m.stop_pending || lease_live(m.terms(), m.now));
    }
    if (stop_and_settle(m, take_runtime_dir(m), in)) {
        check_completed_stop(m);
    } else {
        check(m.stop_pending && lease_matches(m.terms(), id));
    }
}

void start(Model& m, Input& in) {
    const std::string id = presented_id(m, in);
    if (!admit_start(m.view(), id, m.now).admitted()) {
        return;
    }
    check(!m.stop_pending);
    check(lease_matches(m.terms(), id) && lease_live(m.terms(), m.now));
    if (m.core) {
        const std::uint8_t poll = in.byte() & 3;
        if (poll == 0) {
            // The existing core cannot be inspected: it stays, starts stop.
            m.stop_pending = true;
            return;
        }
        if (m.core->running) {
            return;
        }
        m.core.reset();
    }
    const std::uint8_t outcome = in.byte() % 5;
    if (outcome == 0) {
        // Locating the core or creating its directory failed.
        if (stop_and_settle(m, std::nullopt, in)) {
            check_completed_stop(m);
        }
        return;
    }
    sweep_runtime_root(m, std::nullopt);
    if (outcome == 1) {
        // Staging failed before the directory was activated.
        if (stop_and_settle(m, std::nullopt, in)) {
            check_completed_stop(m);
        }
        return;
    }
    m.runtime_dirs.insert(id);
    if (outcome == 2) {
        // The launch failed; nothing runs.
        if (stop_and_settle(m, id, in)) {
            check_completed_stop(m);
        }
        return;
    }
    m.core = ModelCore{};
    if (outcome == 3) {
        // It exited during the startup watch, or its log could not start.
        m.core->running = in.bit();
        if (stop_and_settle(m, id, in)) {
            check_completed_stop(m);
        }
        return;
    }
    m.lease->has_runtime_dir = true;
}

void status(Model& m, Input& in) {
    bool running = false;
    if (m.core) {
        if ((in.byte() & 15) == 0) {
            m.stop_pending = true;
            return;
        }
        running = m.core->running;
        if (!running) {
            const auto dir = m.lease && m.lease->has_runtime_dir ? std::optional(m.lease->lease_id)
                                                                 : std::nullopt;
            m.core.reset();
            m.lease.reset();
            if (dir && !in.bit()) {
                m.runtime_dirs.erase(*dir);
            }
            m.stop_pending = false;
        }
    }
    const IpcResponse response = status_response(m.terms(), m.now, running, std::string(64, 'a'));
    const auto* fields = std::get_if<IpcResponse::Status>(&response.value);
    check(fields != nullptr);
    check(fields->running == running);
    check(fields->lease_active == lease_live(m.terms(), m.now));
    const auto remaining = fields->lease_expires_in_seconds;
    check(!remaining || *remaining <= 30);
    check(remaining.has_value() == (m.lease && m.lease->expires_at >= m.now));
    check(!fields->lease_active || remaining.has_value());
}

void check_invariants(const Model& m) {
    std::size_t live = 0;
    for (const auto& id : m.issued) {
        if (lease_matches(m.terms(), id) && lease_live(m.terms(), m.now)) {
            ++live;
        }
    }
    check(live <= 1);
    check(!m.core || m.lease || m.stop_pending);
    if (m.lease && m.lease->has_runtime_dir) {
        check(m.runtime_dirs.count(m.lease->lease_id) == 1);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Input in(data, size);
    Model m;
    std::vector<Acquire> acquires;
    for (int steps = 0; !in.done() && steps < 4096; ++steps) {
        const std::uint8_t op = in.byte();
        switch (op % 10) {
            case 0: {
                // The clock moves on: up to about 40 s, finely at the low end.
                const std::uint8_t a = in.byte();
                const std::uint8_t b = in.byte();
                const auto step = (a & 0x80) ? std::chrono::milliseconds(((a & 0x7f) << 8 | b) * 2)
                                             : std::chrono::milliseconds(b);
                m.now += step;
                break;
            }
            case 1:
                if (acquires.size() < 3) {
                    acquires.emplace_back();
                }
                break;
            case 2:
                if (!acquires.empty()) {
                    const std::size_t which = in.byte() % acquires.size();
                    if (step_acquire(m, acquires[which], in)) {
                        acquires.erase(acquires.begin() + static_cast<std::ptrdiff_t>(which));
                    }
                }
                break;
            case 3:
                renew(m, in);
                break;
            case 4:
                release_or_stop(m, in, true);
                break;
            case 5:
                release_or_stop(m, in, false);
                break;
            case 6:
                start(m, in);
                break;
            case 7:
                status(m, in);
                break;
            case 8:
                reclaim_expired_lease(m, in);
                break;
            case 9:
                // The core ends by itself.
                if (m.core) {
                    m.core->running = false;
                }
                break;
        }
        check_invariants(m);
    }
    return 0;
}
