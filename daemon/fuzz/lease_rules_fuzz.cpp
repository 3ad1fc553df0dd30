// Random request sequences through the lease state, applied to a model of the
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
//   - the runtime directory the slot records is still on disk (the sweep
//     never removes the directory of the current lease's core).
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

#include "core/lease.h"
#include "ipc/status_answer.h"

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

struct ModelCore {
    bool running = true;
};

struct Model {
    std::optional<ModelCore> core;
    LeaseState state;
    // The runtime directory the slot records, by the lease id it was staged
    // for.
    std::optional<std::string> runtime_dir;
    // Runtime directories on disk, by lease id.
    std::set<std::string> runtime_dirs;
    MonotonicInstant now = MonotonicInstant{} + std::chrono::hours(1);
    // Every id granted so far; clients present these (or strangers).
    std::vector<std::string> issued;
};

// How the stop of the slot's core and directory turns out: with no core it
// always completes; a core that will not die keeps both in the slot.
bool stop_and_settle(Model& m, Input& in) {
    m.state.begin_stop();
    const bool completed = !m.core || in.bit();
    if (!completed) {
        return false;
    }
    m.core.reset();
    const bool removal_deferred = (in.byte() & 7) == 0;
    if (m.runtime_dir && !removal_deferred) {
        m.runtime_dirs.erase(*m.runtime_dir);
    }
    m.runtime_dir.reset();
    m.state.release();
    return true;
}

void check_completed_stop(const Model& m) {
    check(!m.state.record() && !m.core && !m.runtime_dir && !m.state.stop_pending());
    for (const auto& id : m.issued) {
        check(m.state.check_renew(id, m.now).has_value());
        check(m.state.check_release(id).has_value());
        check(m.state.check_start(id, m.now).has_value());
        check(m.state.check_stop(id, m.now).has_value());
    }
}

// The pipe server's reclaim and the first and third holds of an acquire.
bool reclaim_expired_lease(Model& m, Input& in) {
    if (!m.state.reclaim_due(m.now)) {
        return true;
    }
    const bool stopped = stop_and_settle(m, in);
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
    check(!m.state.record());
    const std::string lease_id = lease_id_for(m.issued.size() + 1);
    m.issued.push_back(lease_id);
    m.state.grant(lease_id, m.now);
    check(m.state.remaining_seconds(m.now) == 30u);
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
            sweep_runtime_root(
                m, m.state.record() ? std::optional(m.state.record()->lease_id) : std::nullopt);
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
    const AcquireVerdict verdict = m.state.decide_acquire(m.now, rechecked);
    check(verdict.refusal.has_value() == (verdict.decision == AcquireDecision::refuse));
    switch (verdict.decision) {
        case AcquireDecision::reclaim_and_recheck:
            check(!rechecked);
            a.phase = Acquire::reclaim_again;
            return false;
        case AcquireDecision::stop_then_grant:
            check(!m.state.live(m.now));
            if (stop_and_settle(m, in)) {
                check_completed_stop(m);
                grant(m);
            }
            return true;
        case AcquireDecision::refuse:
            if (verdict.refusal == LeaseRefusal::expired_still_reclaiming) {
                check(m.state.stop_pending());
            } else {
                check(verdict.refusal == LeaseRefusal::owned_by_another_client);
                check(m.state.live(m.now));
            }
            return true;
        case AcquireDecision::grant:
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
    if (m.state.check_renew(id, m.now)) {
        return;
    }
    check(!m.state.stop_pending() && m.state.matches(id) && m.state.live(m.now));
    m.state.renew(m.now);
    check(m.state.remaining_seconds(m.now) == 30u);
    check(m.state.live(m.now + LEASE_DURATION - nanoseconds(1)));
    check(!m.state.live(m.now + LEASE_DURATION));
}

void release_or_stop(Model& m, Input& in, bool release) {
    const std::string id = presented_id(m, in);
    if (release ? m.state.check_release(id) : m.state.check_stop(id, m.now)) {
        return;
    }
    check(m.state.matches(id));
    if (!release) {
        check(m.state.stop_pending() || m.state.live(m.now));
    }
    if (stop_and_settle(m, in)) {
        check_completed_stop(m);
    } else {
        check(m.state.stop_pending() && m.state.matches(id));
    }
}

void start(Model& m, Input& in) {
    const std::string id = presented_id(m, in);
    if (m.state.check_start(id, m.now)) {
        return;
    }
    check(!m.state.stop_pending());
    check(m.state.matches(id) && m.state.live(m.now));
    if (m.core) {
        const std::uint8_t poll = in.byte() & 3;
        if (poll == 0) {
            // The existing core cannot be inspected: it stays, stuck.
            m.state.begin_stop();
            return;
        }
        if (m.core->running) {
            return;
        }
        // The ended core is retired with its directory; the lease stays.
        m.core.reset();
        if (m.runtime_dir && in.bit()) {
            m.runtime_dirs.erase(*m.runtime_dir);
        }
        m.runtime_dir.reset();
    }
    const std::uint8_t outcome = in.byte() % 5;
    if (outcome == 0) {
        // Locating the core or creating its directory failed.
        if (stop_and_settle(m, in)) {
            check_completed_stop(m);
        }
        return;
    }
    sweep_runtime_root(m, std::nullopt);
    if (outcome == 1) {
        // Staging failed before the directory was activated.
        if (stop_and_settle(m, in)) {
            check_completed_stop(m);
        }
        return;
    }
    m.runtime_dirs.insert(id);
    m.runtime_dir = id;
    if (outcome == 2) {
        // The launch failed; nothing runs.
        if (stop_and_settle(m, in)) {
            check_completed_stop(m);
        }
        return;
    }
    m.core = ModelCore{};
    if (outcome == 3) {
        // It exited during the startup watch, or its log could not start.
        m.core->running = in.bit();
        if (stop_and_settle(m, in)) {
            check_completed_stop(m);
        }
        return;
    }
}

void status(Model& m, Input& in) {
    bool running = false;
    if (m.core) {
        if ((in.byte() & 15) == 0) {
            m.state.begin_stop();
            return;
        }
        running = m.core->running;
        if (!running) {
            // A core found ended is stopped like any other: it goes, and with
            // it the directory, the lease and a pending stop.
            m.core.reset();
            check(stop_and_settle(m, in));
            check_completed_stop(m);
        }
    }
    const IpcResponse response = status_response(
        m.state.live(m.now), m.state.remaining_seconds(m.now), running, std::string(64, 'a'));
    const auto* fields = std::get_if<IpcResponse::Status>(&response.value);
    check(fields != nullptr);
    check(fields->running == running);
    check(fields->lease_active == m.state.live(m.now));
    const auto remaining = fields->lease_expires_in_seconds;
    check(!remaining || *remaining <= 30);
    check(remaining.has_value() == (m.state.record() && m.state.record()->expires_at >= m.now));
    check(!fields->lease_active || remaining.has_value());
}

void check_invariants(const Model& m) {
    std::size_t live = 0;
    for (const auto& id : m.issued) {
        if (m.state.matches(id) && m.state.live(m.now)) {
            ++live;
        }
    }
    check(live <= 1);
    check(!m.core || m.state.record() || m.state.stop_pending());
    if (m.runtime_dir) {
        check(m.runtime_dirs.count(*m.runtime_dir) == 1);
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
