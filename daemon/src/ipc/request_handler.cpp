#include "ipc/request_handler.h"

#include <optional>
#include <string_view>
#include <utility>
#include <variant>

#include "core/managed_core.h"
#include "core/protected_dirs.h"
#include "core/supervisor.h"
#include "ipc/lease_rules.h"
#include "ipc/protocol_id.h"
#include "platform/diagnostics.h"

namespace kavo {

// Every lambda handed to the pool below is named before the co_await: gcc 12
// destroys a closure that is a temporary inside a co_await expression twice.

namespace {

// Moves the value out and leaves the optional empty.
template <class T>
std::optional<T> take(std::optional<T>& from) {
    std::optional<T> taken = std::move(from);
    from.reset();
    return taken;
}

// What the lease rules read of the slot. Valid while the lease record is
// left as it is.
LeaseSlotView rules_view(CoreSlot::Access& slot) {
    LeaseSlotView view;
    view.stop_pending = slot.stop_pending();
    if (slot.lease()) {
        view.lease = LeaseTerms{slot.lease()->lease_id, slot.lease()->expires_at};
    }
    return view;
}

IpcResponse ok_response() {
    return IpcResponse{IpcResponse::Ok{}};
}

// The lease's runtime directory, taken out of the record for a stop.
std::optional<NativeString> take_runtime_dir(CoreSlot::Access& slot) {
    return slot.lease() ? take(slot.lease()->runtime_dir) : std::nullopt;
}

// A new lease, in the hold that decided it. `stop_first`: something is still
// recorded that nobody else would stop (an expired lease granted while an
// earlier one was being reclaimed, or a stop left pending with no lease by a
// failed poll); its core is stopped before anyone gets a new lease.
asio::awaitable<IpcResponse> grant_lease(CoreSlot::Access& access, bool stop_first,
                                         const RandomSource& random) {
    if (stop_first) {
        const bool stopped = co_await stop_and_settle(access, take_runtime_dir(access));
        if (!stopped) {
            co_return error_response(EXPIRED_LEASE_NOT_RECLAIMED);
        }
    }
    auto lease_id = new_protocol_id(random);
    if (!lease_id) {
        co_return error_response(lease_id.error());
    }
    // The clock is read at the grant, not at the decision: a stop in between
    // may have taken any time, and the lease gets its whole duration.
    access.lease() = ServiceLease{*lease_id, std::nullopt, lease_expiry_from(access.now())};
    co_return lease_granted_response(std::move(lease_id).value());
}

asio::awaitable<IpcResponse> acquire_lease(std::shared_ptr<CoreSlot> slot, RandomSource random) {
    if (!co_await reclaim_expired_lease(slot)) {
        co_return error_response(EXPIRED_LEASE_NOT_RECLAIMED);
    }

    // The id to keep is read in the same hold as the sweep: a copy taken
    // earlier could name a lease that has gone since, and the sweep would
    // remove the directory of a core started under its successor.
    {
        CoreSlot::Access access = co_await slot->lock();
        std::optional<std::string> keep;
        if (access.lease()) {
            keep = access.lease()->lease_id;
        }
        auto sweep = [keep = std::move(keep)] { sweep_runtime_root(keep); };
        // A sweep that fails leaves its leftovers to the next one.
        static_cast<void>(co_await access.pool().run(std::move(sweep)));
    }

    for (bool rechecked = false;; rechecked = true) {
        {
            CoreSlot::Access access = co_await slot->lock();
            const MonotonicInstant now = access.now();
            const AcquireDecision decision = decide_acquire(rules_view(access), now, rechecked);
            if (const auto refusal = acquire_refusal(decision)) {
                co_return error_response(*refusal);
            }
            if (decision != AcquireDecision::reclaim_and_recheck) {
                co_return co_await grant_lease(access, decision == AcquireDecision::stop_then_grant,
                                               random);
            }
        }
        // The reclaim takes the mutex itself; the decision is taken again
        // under a fresh hold, and this happens at most once.
        if (!co_await reclaim_expired_lease(slot)) {
            co_return error_response(EXPIRED_LEASE_NOT_RECLAIMED);
        }
    }
}

asio::awaitable<IpcResponse> renew_lease(std::shared_ptr<CoreSlot> slot, std::string lease_id) {
    CoreSlot::Access access = co_await slot->lock();
    const MonotonicInstant now = access.now();
    if (const Admission admission = admit_renew(rules_view(access), lease_id, now);
        !admission.admitted()) {
        co_return error_response(*admission.refusal);
    }
    access.lease()->expires_at = lease_expiry_from(now);
    co_return ok_response();
}

asio::awaitable<IpcResponse> release_lease(std::shared_ptr<CoreSlot> slot, std::string lease_id) {
    CoreSlot::Access access = co_await slot->lock();
    if (const Admission admission = admit_release(rules_view(access), lease_id);
        !admission.admitted()) {
        co_return error_response(*admission.refusal);
    }
    const bool stopped = co_await stop_and_settle(access, take_runtime_dir(access));
    co_return release_response(stopped);
}

asio::awaitable<IpcResponse> start_core_request(RequestContext context, std::string lease_id) {
    CoreSlot::Access access = co_await context.slot->lock();
    if (const Admission admission = admit_start(rules_view(access), lease_id, access.now());
        !admission.admitted()) {
        co_return error_response(*admission.refusal);
    }
    auto started = co_await start_core(access, std::move(context.core_dir), std::move(lease_id),
                                       std::move(context.start_hooks));
    if (!started) {
        co_return error_response(started.error());
    }
    co_return ok_response();
}

asio::awaitable<IpcResponse> stop_core_request(std::shared_ptr<CoreSlot> slot,
                                               std::string lease_id) {
    CoreSlot::Access access = co_await slot->lock();
    if (const Admission admission = admit_stop(rules_view(access), lease_id, access.now());
        !admission.admitted()) {
        co_return error_response(*admission.refusal);
    }
    const bool stopped = co_await stop_and_settle(access, take_runtime_dir(access));
    co_return stop_core_response(stopped);
}

// A core found ended: it goes, and so do the lease, whether or not it was
// live, its runtime directory and a pending stop.
asio::awaitable<void> retire_ended_core(CoreSlot::Access& access) {
    auto retire = [core = take(access.core()), runtime_dir = take_runtime_dir(access)]() mutable {
        // Whatever the core left behind ends with its job, and its log
        // pumps let go of the log, before the directory is removed.
        static_cast<void>(core->release_runtime_dir(CORE_LOG_DRAIN_BOUND));
        core.reset();
        return runtime_dir ? remove_runtime_dir(*runtime_dir) : true;
    };
    // Work that threw took the core with it all the same; its directory is
    // then left to the next sweep.
    const auto retired = co_await access.pool().run(std::move(retire));
    const bool removed = retired && *retired;
    access.lease().reset();
    access.stop_pending() = false;
    if (!removed) {
        // The directory stays until the next sweep.
        write_error_line(DEFERRED_RUNTIME_CLEANUP);
    }
}

asio::awaitable<IpcResponse> status(std::shared_ptr<CoreSlot> slot, std::string core_digest) {
    CoreSlot::Access access = co_await slot->lock();
    bool running = false;
    if (access.core()) {
        const auto polled = access.core()->poll();
        if (!polled) {
            // The core stays recorded; only a stop can deal with it now.
            // When nobody holds a lease, the next acquire does that stop.
            access.stop_pending() = true;
            std::string message(INSPECT_CORE_FAILED);
            message += polled.error().text;
            co_return error_response(message);
        }
        running = !polled->has_value();
        if (!running) {
            co_await retire_ended_core(access);
        }
    }
    std::optional<LeaseTerms> lease = rules_view(access).lease;
    co_return status_response(lease, access.now(), running, std::move(core_digest));
}

}  // namespace

asio::awaitable<IpcResponse> handle_request(IpcRequest request, RequestContext context) {
    auto& value = request.value;
    if (std::holds_alternative<IpcRequest::AcquireLease>(value)) {
        co_return co_await acquire_lease(std::move(context.slot), std::move(context.random));
    }
    if (auto* renew = std::get_if<IpcRequest::RenewLease>(&value)) {
        co_return co_await renew_lease(std::move(context.slot), std::move(renew->lease_id));
    }
    if (auto* release = std::get_if<IpcRequest::ReleaseLease>(&value)) {
        co_return co_await release_lease(std::move(context.slot), std::move(release->lease_id));
    }
    if (auto* start = std::get_if<IpcRequest::StartCore>(&value)) {
        std::string lease_id = std::move(start->lease_id);
        co_return co_await start_core_request(std::move(context), std::move(lease_id));
    }
    if (auto* stop = std::get_if<IpcRequest::StopCore>(&value)) {
        co_return co_await stop_core_request(std::move(context.slot), std::move(stop->lease_id));
    }
    co_return co_await status(std::move(context.slot), std::move(context.core_digest));
}

asio::awaitable<ExchangeEnd> run_connection(LocalStream stream, NativeString core_dir,
                                            SecretBytes identity, std::string core_digest,
                                            std::shared_ptr<CoreSlot> slot,
                                            ConnectionOptions options) {
    // The handler holds the copies; each request gets copies of its own.
    RequestHandler handler =
        [context = RequestContext{std::move(core_dir), std::move(core_digest), std::move(slot),
                                  options.random, std::move(options.start_hooks)}](
            IpcRequest request) { return handle_request(std::move(request), context); };
    ExchangeOptions exchange;
    exchange.random = std::move(options.random);
    co_return co_await serve_exchange(std::move(stream), std::move(identity), std::move(handler),
                                      std::move(exchange));
}

}  // namespace kavo
