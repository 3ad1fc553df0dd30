#include "ipc/request_handler.h"

#include <optional>
#include <string_view>
#include <utility>
#include <variant>

#include "core/lease.h"
#include "core/managed_core.h"
#include "core/protected_dirs.h"
#include "core/supervisor.h"
#include "ipc/lease_answers.h"
#include "ipc/protocol_id.h"
#include "ipc/status_answer.h"

namespace kavo {

// Every lambda handed to the pool below is named before the co_await: gcc 12
// destroys a closure that is a temporary inside a co_await expression twice.

namespace {

// Every handled kind of request has its own overload; a kind without one
// does not compile.
template <class... Handlers>
struct Dispatch : Handlers... {
    using Handlers::operator()...;
};

IpcResponse refused(LeaseRefusal refusal) {
    switch (refusal) {
        case LeaseRefusal::expired_still_reclaiming:
            return error_response(EXPIRED_LEASE_STILL_RECLAIMING);
        case LeaseRefusal::owned_by_another_client:
            return error_response(LEASE_OWNED_BY_ANOTHER_CLIENT);
        case LeaseRefusal::still_reclaiming:
            return error_response(LEASE_STILL_RECLAIMING);
        case LeaseRefusal::no_longer_valid:
            return error_response(LEASE_NO_LONGER_VALID);
        case LeaseRefusal::start_needs_active_lease:
            return error_response(START_NEEDS_ACTIVE_LEASE);
        case LeaseRefusal::stop_needs_active_lease:
            break;
    }
    return error_response(STOP_NEEDS_ACTIVE_LEASE);
}

// A new lease, in the hold that decided it. `stop_first`: something is still
// recorded that nobody else would stop (an expired lease granted while an
// earlier one was being reclaimed, or a stop left pending with no lease by a
// failed poll); its core is stopped before anyone gets a new lease.
asio::awaitable<IpcResponse> grant_lease(CoreSlot::Access& access, bool stop_first,
                                         const RandomSource& random) {
    if (stop_first) {
        const bool stopped = co_await stop_and_settle(access);
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
    access.grant(*lease_id);
    co_return IpcResponse{IpcResponse::Lease{std::move(lease_id).value(),
                                             static_cast<std::uint64_t>(LEASE_DURATION.count())}};
}

asio::awaitable<IpcResponse> acquire_lease(std::shared_ptr<CoreSlot> slot, RandomSource random) {
    const auto reclaimed = co_await reclaim_expired_lease(slot);
    if (!reclaimed) {
        co_return error_response(EXPIRED_LEASE_NOT_RECLAIMED);
    }

    // The id to keep is read in the same hold as the sweep: a copy taken
    // earlier could name a lease that has gone since, and the sweep would
    // remove the directory of a core started under its successor.
    {
        CoreSlot::Access access = co_await slot->lock();
        std::optional<std::string> keep;
        if (const auto& lease = access.lease().record()) {
            keep = lease->lease_id;
        }
        auto sweep = [keep = std::move(keep)] { sweep_runtime_root(keep); };
        // A sweep that fails leaves its leftovers to the next one.
        static_cast<void>(co_await access.pool().run(std::move(sweep)));
    }

    for (bool rechecked = false;; rechecked = true) {
        {
            CoreSlot::Access access = co_await slot->lock();
            const AcquireVerdict verdict = access.lease().decide_acquire(access.now(), rechecked);
            if (verdict.refusal) {
                co_return refused(*verdict.refusal);
            }
            if (verdict.decision != AcquireDecision::reclaim_and_recheck) {
                const bool stop_first = verdict.decision == AcquireDecision::stop_then_grant;
                co_return co_await grant_lease(access, stop_first, random);
            }
        }
        // The reclaim takes the mutex itself; the decision is taken again
        // under a fresh hold, and this happens at most once.
        const auto reclaimed_again = co_await reclaim_expired_lease(slot);
        if (!reclaimed_again) {
            co_return error_response(EXPIRED_LEASE_NOT_RECLAIMED);
        }
    }
}

asio::awaitable<IpcResponse> renew_lease(std::shared_ptr<CoreSlot> slot, std::string lease_id) {
    CoreSlot::Access access = co_await slot->lock();
    if (const auto refusal = access.lease().check_renew(lease_id, access.now())) {
        co_return refused(*refusal);
    }
    access.renew();
    co_return IpcResponse{IpcResponse::Ok{}};
}

asio::awaitable<IpcResponse> release_lease(std::shared_ptr<CoreSlot> slot, std::string lease_id) {
    CoreSlot::Access access = co_await slot->lock();
    if (const auto refusal = access.lease().check_release(lease_id)) {
        co_return refused(*refusal);
    }
    const bool stopped = co_await stop_and_settle(access);
    co_return stopped ? IpcResponse{IpcResponse::Ok{}} : error_response(LEASE_NOT_RELEASED_SAFELY);
}

asio::awaitable<IpcResponse> start_core_request(RequestContext context, std::string lease_id) {
    CoreSlot::Access access = co_await context.slot->lock();
    if (const auto refusal = access.lease().check_start(lease_id, access.now())) {
        co_return refused(*refusal);
    }
    auto started = co_await start_core(access, std::move(context.core_dir), std::move(lease_id),
                                       std::move(context.start_hooks));
    if (!started) {
        co_return error_response(started.error());
    }
    co_return IpcResponse{IpcResponse::Ok{}};
}

asio::awaitable<IpcResponse> stop_core_request(std::shared_ptr<CoreSlot> slot,
                                               std::string lease_id) {
    CoreSlot::Access access = co_await slot->lock();
    if (const auto refusal = access.lease().check_stop(lease_id, access.now())) {
        co_return refused(*refusal);
    }
    const bool stopped = co_await stop_and_settle(access);
    co_return stopped ? IpcResponse{IpcResponse::Ok{}} : error_response(CORE_NOT_STOPPED_SAFELY);
}

asio::awaitable<IpcResponse> status(std::shared_ptr<CoreSlot> slot, std::string core_digest) {
    CoreSlot::Access access = co_await slot->lock();
    bool running = false;
    if (ManagedCore* core = access.core()) {
        const auto polled = core->poll();
        if (!polled) {
            // The core stays recorded; only a stop can deal with it now.
            // When nobody holds a lease, the next acquire does that stop.
            access.mark_stuck();
            std::string message(INSPECT_CORE_FAILED);
            message += polled.error().text;
            co_return error_response(message);
        }
        running = !polled->has_value();
        if (!running) {
            // A core found ended goes, and so do its runtime directory, the
            // lease, live or not, and a pending stop.
            static_cast<void>(co_await stop_and_settle(access));
        }
    }
    const MonotonicInstant now = access.now();
    co_return status_response(access.lease().live(now), access.lease().remaining_seconds(now),
                              running, std::move(core_digest));
}

}  // namespace

asio::awaitable<IpcResponse> handle_request(IpcRequest request, RequestContext context) {
    // Named before the co_await, as the closures above are.
    auto handled = std::visit(
        Dispatch{
            [&](IpcRequest::AcquireLease&) {
                return acquire_lease(std::move(context.slot), std::move(context.random));
            },
            [&](IpcRequest::RenewLease& renew) {
                return renew_lease(std::move(context.slot), std::move(renew.lease_id));
            },
            [&](IpcRequest::ReleaseLease& release) {
                return release_lease(std::move(context.slot), std::move(release.lease_id));
            },
            [&](IpcRequest::StartCore& start) {
                std::string lease_id = std::move(start.lease_id);
                return start_core_request(std::move(context), std::move(lease_id));
            },
            [&](IpcRequest::StopCore& stop) {
                return stop_core_request(std::move(context.slot), std::move(stop.lease_id));
            },
            [&](IpcRequest::Status&) {
                return status(std::move(context.slot), std::move(context.core_digest));
            },
        },
        request.value);
    co_return co_await std::move(handled);
}

}  // namespace kavo
