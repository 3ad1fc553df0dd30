#include "soak/soak_clients.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <ostream>
#include <span>
#include <sstream>
#include <type_traits>
#include <variant>

#include <gtest/gtest.h>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>

#include "core/lease.h"
#include "ipc/client.h"
#include "ipc/client_records.h"
#include "ipc/frame.h"
#include "ipc/frame_io.h"
#include "ipc/lease_answers.h"
#include "ipc/record_json.h"
#include "ipc/session.h"
#include "manual_client.h"
#include "platform/pipe_connect.h"
#include "platform/process_info.h"
#include "platform/secret.h"
#include "service/service_pipe.h"
#include "test_support.h"

namespace kavo::soak {

namespace fs = std::filesystem;

std::size_t tunable(const char* name, std::size_t fallback) {
    const char* text = std::getenv(name);
    if (text == nullptr || *text == '\0') {
        return fallback;
    }
    return static_cast<std::size_t>(std::stoull(text));
}

namespace {

using testing::run_on_threads;

asio::awaitable<void> pause_for(Clock::duration how_long) {
    asio::steady_timer timer(co_await asio::this_coro::executor, how_long);
    co_await timer.async_wait(asio::use_awaitable);
}

// gcc 12 pairs Asio's coroutine frame allocation with the frame's own
// operator delete and reports a mismatch once request_service is awaited
// here; the pairing is Asio's and correct.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
// `retry` is how long the client looks for a free instance of the name:
// by default as long as a desktop client does.
asio::awaitable<Answer> ask(std::string_view secret, IpcRequest request,
                            PipeRetryPolicy retry = {}) {
    Answer answer;
    answer.sent = Clock::now();
    std::string name(PIPE_NAME);
    auto connected = co_await connect_pipe(std::move(name), retry);
    if (!connected) {
        answer.answered = Clock::now();
        answer.failure = "connect: " + connected.error().error.text;
        co_return answer;
    }
    auto response = co_await request_service(std::move(connected.value().stream),
                                             SecretBytes(secret), std::move(request));
    answer.answered = Clock::now();
    if (response) {
        answer.response = std::move(response).value();
    } else {
        answer.failure = response.error();
    }
    co_return answer;
}
#pragma GCC diagnostic pop

asio::awaitable<Answer> ask_status(std::string_view secret, PipeRetryPolicy retry = {}) {
    IpcRequest status{IpcRequest::Status{}};
    co_return co_await ask(secret, std::move(status), retry);
}

std::vector<std::uint8_t> frame_bytes(std::string_view body) {
    const FramePrefix prefix = encode_frame_length(static_cast<std::uint32_t>(body.size()));
    std::vector<std::uint8_t> bytes(prefix.begin(), prefix.end());
    bytes.insert(bytes.end(), body.begin(), body.end());
    return bytes;
}

asio::awaitable<bool> send_bytes(LocalStream& stream, std::span<const std::uint8_t> bytes) {
    auto [error, written] =
        co_await asio::async_write(stream, asio::buffer(bytes.data(), bytes.size()),
                                   asio::experimental::as_tuple(asio::use_awaitable));
    co_return !error && written == bytes.size();
}

using testing::manual_handshake;
using testing::signed_request;

}  // namespace

// ---------------------------------------------------------------------------
// The soak.

bool Answer::is_ok() const {
    return response && std::holds_alternative<IpcResponse::Ok>(response->value);
}

const std::string* Answer::error() const {
    if (!response) {
        return nullptr;
    }
    const auto* error = std::get_if<IpcResponse::Error>(&response->value);
    return error ? &error->message : nullptr;
}

void Ledger::tally(const Answer& answer) {
    std::string kind;
    if (!answer.response) {
        kind = "no answer: " + answer.failure;
    } else if (const std::string* message = answer.error()) {
        kind = "Error: " + *message;
    } else {
        kind = std::visit(
            [](const auto& value) -> std::string {
                using T = std::decay_t<decltype(value)>;
                if constexpr (std::is_same_v<T, IpcResponse::Ok>) {
                    return "Ok";
                } else if constexpr (std::is_same_v<T, IpcResponse::Lease>) {
                    return "Lease";
                } else {
                    return "Status";
                }
            },
            answer.response->value);
    }
    const std::lock_guard lock(mutex_);
    ++requests_;
    ++outcomes_[kind];
}

void Ledger::vanished(const char* how) {
    const std::lock_guard lock(mutex_);
    ++requests_;
    ++outcomes_[std::string("vanished: ") + how];
}

void Ledger::session() {
    const std::lock_guard lock(mutex_);
    ++sessions_;
}

void Ledger::granted(const std::string& id, const Answer& answer) {
    const std::lock_guard lock(mutex_);
    if (!leases_.emplace(id, LeaseRecord{answer.sent, answer.answered, answer.answered}).second) {
        broken_.push_back("lease " + id + " was granted twice");
    }
}

void Ledger::held(const std::string& id, const Answer& answer) {
    const std::lock_guard lock(mutex_);
    auto& lease = leases_.at(id);
    lease.held_until = std::max(lease.held_until, answer.sent);
}

void Ledger::broken(std::string what) {
    const std::lock_guard lock(mutex_);
    broken_.push_back(std::move(what));
}

std::vector<std::string> Ledger::overlaps() const {
    const std::lock_guard lock(mutex_);
    std::vector<std::string> found;
    for (const auto& [first_id, first] : leases_) {
        for (const auto& [second_id, second] : leases_) {
            if (first_id != second_id && second.asked >= first.granted &&
                second.granted <= first.held_until) {
                found.push_back(second_id + " granted while " + first_id + " was held");
            }
        }
    }
    return found;
}

std::uint64_t Ledger::requests() const {
    const std::lock_guard lock(mutex_);
    return requests_;
}

std::uint64_t Ledger::sessions() const {
    const std::lock_guard lock(mutex_);
    return sessions_;
}

std::size_t Ledger::leases() const {
    const std::lock_guard lock(mutex_);
    return leases_.size();
}

std::map<std::string, std::uint64_t> Ledger::outcomes() const {
    const std::lock_guard lock(mutex_);
    return outcomes_;
}

std::vector<std::string> Ledger::broken() const {
    const std::lock_guard lock(mutex_);
    return broken_;
}

// Answers that only a fault of the daemon produces: anything but these.
bool expected_outcome(const std::string& kind) {
    static const std::set<std::string> expected = {
        "Ok",
        "Lease",
        "Status",
        "Error: " + std::string(LEASE_OWNED_BY_ANOTHER_CLIENT),
        "Error: " + std::string(LEASE_NO_LONGER_VALID),
        "Error: " + std::string(START_NEEDS_ACTIVE_LEASE),
    };
    return expected.count(kind) != 0 || kind.rfind("vanished: ", 0) == 0 ||
           kind.rfind("no answer: ", 0) == 0;
}

// A lease left to expire holds every other client off for the whole lease
// time, so the clients do it rarely, and only while the run lasts long
// enough to see the expiry reclaimed.
constexpr auto ABANDON_SPACING = std::chrono::seconds(90);
constexpr auto ABANDON_NEEDS_LEFT = LEASE_DURATION + std::chrono::seconds(10);

Soak::Soak(Clock::duration length, std::string secret)
    : start_(Clock::now()),
      deadline_(start_ + length),
      length_(length),
      secret_(std::move(secret)) {}

bool Soak::over() const {
    const auto now = Clock::now();
    if (now < deadline_) {
        return false;
    }
    return (ledger.leases() > 1 && started_ > 1) || now >= deadline_ + length_;
}

bool Soak::may_abandon() {
    const std::lock_guard lock(mutex_);
    const auto now = Clock::now();
    if (deadline_ - now < ABANDON_NEEDS_LEFT ||
        (last_abandon_ && now - *last_abandon_ < ABANDON_SPACING)) {
        return false;
    }
    last_abandon_ = now;
    ++abandoned_;
    return true;
}

std::size_t Soak::abandoned() const {
    const std::lock_guard lock(mutex_);
    return abandoned_;
}

namespace {

IpcRequest request_of(Soak::Kind kind, const std::string& id) {
    using Kind = Soak::Kind;
    switch (kind) {
        case Kind::acquire:
            return {IpcRequest::AcquireLease{}};
        case Kind::renew:
            return {IpcRequest::RenewLease{id}};
        case Kind::release:
            return {IpcRequest::ReleaseLease{id}};
        case Kind::start:
            return {IpcRequest::StartCore{id}};
        case Kind::stop:
            return {IpcRequest::StopCore{id}};
        case Kind::status:
            break;
    }
    return {IpcRequest::Status{}};
}

}  // namespace

asio::awaitable<Answer> Soak::request(Kind kind, const std::string* id) {
    IpcRequest built = request_of(kind, id ? *id : no_lease_);
    Answer answer = co_await ask(secret_, std::move(built));
    ledger.tally(answer);
    co_return answer;
}

// A client that goes away in the middle of an exchange.
asio::awaitable<void> Soak::vanish(std::mt19937& random, const std::string& lease_id) {
    std::string name(PIPE_NAME);
    auto connected = co_await connect_pipe(std::move(name));
    if (!connected) {
        ledger.vanished("could not even connect");
        co_return;
    }
    LocalStream& stream = connected.value().stream;
    switch (std::uniform_int_distribution<int>(0, 3)(random)) {
        case 0:
            ledger.vanished("at once");
            break;
        case 1:
            if (co_await read_frame(stream)) {
                const std::uint8_t half_a_length[2] = {0x40, 0x00};
                co_await send_bytes(stream, half_a_length);
            }
            ledger.vanished("half a length");
            break;
        case 2:
            if (auto challenge = co_await read_frame(stream)) {
                if (auto parsed = parse_challenge(*challenge)) {
                    const auto bytes = frame_bytes(serialize(answer_challenge(secret_, *parsed)));
                    co_await send_bytes(stream, std::span(bytes).first(bytes.size() / 2));
                }
            }
            ledger.vanished("half an answer to the challenge");
            break;
        default: {
            const auto send_whole = [&stream](std::string body) -> asio::awaitable<bool> {
                co_return static_cast<bool>(co_await write_frame(stream, body));
            };
            if (auto session = co_await manual_handshake(stream, secret_, send_whole)) {
                const IpcRequest request =
                    request_of(lease_id.empty() ? Kind::status : Kind::renew, lease_id);
                const auto bytes = frame_bytes(signed_request(secret_, *session, request));
                co_await send_bytes(stream, std::span(bytes).first(bytes.size() / 2));
            }
            ledger.vanished("half a request");
            break;
        }
    }
}

// Ends a held lease, asking again while no answer comes.
asio::awaitable<void> Soak::give_back(const std::string& id, bool stop) {
    for (int attempt = 0; attempt < 3; ++attempt) {
        const Answer answer = co_await request(stop ? Kind::stop : Kind::release, &id);
        if (answer.is_ok()) {
            ledger.held(id, answer);
        }
        if (answer.response) {
            co_return;
        }
    }
}

// The same false report of gcc 12 as for ask() above, once the sessions
// that await it are awaited in turn.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
asio::awaitable<void> Soak::lease_session(std::mt19937& random) {
    const Answer acquired = co_await request(Kind::acquire);
    if (!acquired.response) {
        co_return;
    }
    const auto* lease = std::get_if<IpcResponse::Lease>(&acquired.response->value);
    if (!lease) {
        co_return;
    }
    const std::string id = lease->lease_id;
    ledger.granted(id, acquired);
    ledger.session();

    std::uniform_int_distribution<int> percent(0, 99);
    bool started = false;
    if (percent(random) < 70) {
        const Answer start = co_await request(Kind::start, &id);
        if (start.is_ok()) {
            ledger.held(id, start);
            started = true;
            ++started_;
        } else if (start.error()) {
            // A failed start ends the lease with it.
            co_return;
        }
    }
    if (may_abandon()) {
        // Never renewed, never released: the daemon reclaims it.
        co_return;
    }
    // The lease certainly lives until the lease time after the latest
    // grant or renewal was sent; only a refusal before then is wrong.
    auto live_until = acquired.sent + LEASE_DURATION;
    const auto hold_until =
        Clock::now() +
        std::chrono::milliseconds(std::uniform_int_distribution<int>(300, 3000)(random));
    while (Clock::now() < hold_until && !over()) {
        co_await pause_for(
            std::chrono::milliseconds(std::uniform_int_distribution<int>(100, 800)(random)));
        const int roll = percent(random);
        if (roll < 50) {
            const Answer renewed = co_await request(Kind::renew, &id);
            if (renewed.is_ok()) {
                ledger.held(id, renewed);
                live_until = renewed.sent + LEASE_DURATION;
            } else if (renewed.response && renewed.answered < live_until) {
                ledger.broken("renew of the held lease " + id +
                              " refused: " + serialize(*renewed.response));
            }
        } else if (roll < 90) {
            const Answer status = co_await request(Kind::status);
            const auto* seen = testing::record_of<IpcResponse::Status>(status.response);
            if (seen && !seen->lease_active && status.answered < live_until) {
                ledger.broken("Status showed no lease while " + id + " was held");
            }
        } else {
            co_await vanish(random, id);
        }
    }
    co_await give_back(id, started && percent(random) < 50);

    // The ended lease must stay ended.
    if (percent(random) < 20) {
        const bool renew = percent(random) < 50;
        const Answer stale = co_await request(renew ? Kind::renew : Kind::start, &id);
        if (stale.is_ok()) {
            ledger.broken("the ended lease " + id + " was accepted again");
        }
    }
}

asio::awaitable<void> Soak::client(std::uint32_t seed) {
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> percent(0, 99);
    while (!over()) {
        const int roll = percent(random);
        if (roll < 6) {
            co_await vanish(random, no_lease_);
        } else if (roll < 35) {
            const Answer status = co_await request(Kind::status);
            if (status.response &&
                !std::holds_alternative<IpcResponse::Status>(status.response->value)) {
                ledger.broken("Status answered " + serialize(*status.response));
            }
        } else {
            co_await lease_session(random);
        }
        co_await pause_for(
            std::chrono::milliseconds(std::uniform_int_distribution<int>(50, 500)(random)));
    }
}

#pragma GCC diagnostic pop

void Soak::run(std::size_t clients, std::uint32_t seed) {
    asio::io_context context;
    for (std::size_t i = 0; i < clients; ++i) {
        asio::co_spawn(context, client(seed + static_cast<std::uint32_t>(i)), asio::detached);
    }
    run_on_threads(context, 4);
}

CoreWatch::CoreWatch(fs::path runtime_root) : root_(std::move(runtime_root)) {
    thread_ = std::thread([this] {
        while (!done_) {
            look();
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
}

CoreWatch::~CoreWatch() {
    finish();
}

void CoreWatch::finish() {
    done_ = true;
    if (thread_.joinable()) {
        thread_.join();
    }
}

void CoreWatch::look() {
    std::set<std::uint32_t> alive;
    std::error_code error;
    for (fs::directory_iterator it(root_, error), end; !error && it != end; it.increment(error)) {
        const std::uint32_t pid = testing::core_pid_in(it->path() / "pids");
        if (pid != 0) {
            seen_.insert(pid);
            if (process_is_running(pid)) {
                alive.insert(pid);
            }
        }
    }
    // A second look at each: two cores that both still run now ran at the
    // same moment, not merely one after the other during the first look.
    std::erase_if(alive, [](std::uint32_t pid) { return !process_is_running(pid); });
    most_alive_ = std::max(most_alive_, alive.size());
    ++looks_;
}

bool report_and_check(const Soak& soak, const CoreWatch& watch, std::size_t clients,
                      std::size_t seconds, std::uint32_t seed, double ran, std::ostream& out) {
    const auto outcomes = soak.ledger.outcomes();
    std::uint64_t unexpected = 0;
    out << "soak: " << clients << " clients, " << seconds << " s (ran " << ran << " s), seed "
        << seed << "\n"
        << "  lease sessions " << soak.ledger.sessions() << ", leases granted "
        << soak.ledger.leases() << ", left to expire " << soak.abandoned() << "\n"
        << "  exchanges " << soak.ledger.requests() << ", "
        << static_cast<double>(soak.ledger.requests()) / ran << " per second\n";
    for (const auto& [kind, count] : outcomes) {
        out << "  " << count << " x " << kind << "\n";
        if (!expected_outcome(kind)) {
            unexpected += count;
        }
    }
    out << "  cores seen " << watch.seen().size() << ", most alive at once " << watch.most_alive()
        << " over " << watch.looks() << " looks\n";

    EXPECT_EQ(unexpected, 0u) << "answers that only a fault gives";
    for (const auto& broken : soak.ledger.broken()) {
        ADD_FAILURE() << broken;
    }
    for (const auto& overlap : soak.ledger.overlaps()) {
        ADD_FAILURE() << overlap;
    }
    EXPECT_LE(watch.most_alive(), 1u) << "two cores ran at once";
    return soak.ledger.leases() > 1 && watch.seen().size() > 1;
}

std::optional<IpcResponse::Status> status_of(std::string_view secret) {
    asio::io_context context;
    std::optional<Answer> answer;
    asio::co_spawn(
        context, [&]() -> asio::awaitable<void> { answer = co_await ask_status(secret); },
        asio::detached);
    context.run();
    if (!answer || !answer->response) {
        return std::nullopt;
    }
    const auto* status = std::get_if<IpcResponse::Status>(&answer->response->value);
    return status ? std::optional(*status) : std::nullopt;
}

bool idle(std::string_view secret) {
    const auto seen = status_of(secret);
    return seen && !seen->running && !seen->lease_active && !seen->lease_expires_in_seconds;
}

namespace {

// A frame written one byte at a time: the length's four bytes spread over
// `span`, then the body's bytes over another `span`. Each byte has its own
// moment counted from the start, so late wake-ups do not add up.
asio::awaitable<bool> send_frame_slowly(LocalStream& stream, std::string_view body,
                                        Clock::duration span) {
    const auto bytes = frame_bytes(body);
    auto executor = co_await asio::this_coro::executor;
    asio::steady_timer timer(executor);
    const auto send_spread = [&](std::size_t first, std::size_t count) -> asio::awaitable<bool> {
        const auto start = Clock::now();
        for (std::size_t i = 0; i < count; ++i) {
            timer.expires_at(start + span * static_cast<long>(i) /
                                         static_cast<long>(std::max<std::size_t>(count - 1, 1)));
            co_await timer.async_wait(asio::use_awaitable);
            if (!co_await send_bytes(stream, std::span(bytes).subspan(first + i, 1))) {
                co_return false;
            }
        }
        co_return true;
    };
    if (!co_await send_spread(0, FRAME_PREFIX_LEN)) {
        co_return false;
    }
    co_return co_await send_spread(FRAME_PREFIX_LEN, bytes.size() - FRAME_PREFIX_LEN);
}

}  // namespace

std::optional<IpcResponse> slow_exchange(std::string_view secret, IpcRequest request,
                                         Clock::duration span) {
    asio::io_context context;
    std::optional<IpcResponse> response;
    asio::co_spawn(
        context,
        [&]() -> asio::awaitable<void> {
            std::string name(PIPE_NAME);
            auto connected = co_await connect_pipe(std::move(name));
            if (!connected) {
                co_return;
            }
            LocalStream& stream = connected.value().stream;
            const auto send_slowly = [&](std::string body) -> asio::awaitable<bool> {
                co_return co_await send_frame_slowly(stream, body, span);
            };
            const auto session = co_await manual_handshake(stream, secret, send_slowly);
            if (!session) {
                co_return;
            }
            std::string envelope = signed_request(secret, *session, request);
            if (!co_await send_slowly(std::move(envelope))) {
                co_return;
            }
            auto body = co_await read_frame(stream);
            if (!body) {
                co_return;
            }
            auto answer = parse_session_response(*body);
            if (answer && verify_response(secret, session->challenge, session->grant.session_id,
                                          serialize(answer->response), answer->proof)) {
                response = std::move(answer->response);
            }
        },
        asio::detached);
    context.run();
    return response;
}

SilentCrowd silent_crowd(std::string_view secret, std::size_t count) {
    struct Silent {
        bool challenged = false;
        bool cut = false;
        bool other = false;
        Clock::duration held{};
    };
    std::vector<Silent> silent(count);
    std::atomic<std::size_t> open{0};
    SilentCrowd crowd;
    const auto hang_limit =
        std::chrono::duration_cast<std::chrono::milliseconds>(testing::HANG_LIMIT);
    {
        asio::io_context context;
        const auto quiet = [&](Silent& one) -> asio::awaitable<void> {
            std::string name(PIPE_NAME);
            // The service's read limit starts after the connection exists,
            // so the time since the connect began is never shorter than it;
            // the time since the challenge arrived may be, on a busy machine.
            const auto asked_at = Clock::now();
            // Generous: under a crowd this large a client may wait long for
            // an instance of its own.
            auto connected = co_await connect_pipe(std::move(name), PipeRetryPolicy{hang_limit});
            if (!connected) {
                co_return;
            }
            LocalStream& stream = connected.value().stream;
            ++open;
            if (co_await read_frame(stream, hang_limit)) {
                one.challenged = true;
                auto next = co_await read_frame(stream, hang_limit);
                one.cut = !next && next.error() == FrameReadError::end_of_stream;
                one.other = !one.cut;
                one.held = Clock::now() - asked_at;
            }
            --open;
        };
        for (std::size_t i = 0; i < count / 2; ++i) {
            asio::co_spawn(context, quiet(silent[i]), asio::detached);
        }
        asio::co_spawn(
            context,
            [&]() -> asio::awaitable<void> {
                // As patient as the silent ones: on a loaded machine the
                // service may take long to put up the next instance.
                crowd.real = co_await ask_status(secret, PipeRetryPolicy{hang_limit});
                crowd.open_when_served = open;
            },
            asio::detached);
        for (std::size_t i = count / 2; i < count; ++i) {
            asio::co_spawn(context, quiet(silent[i]), asio::detached);
        }
        run_on_threads(context, 4);
    }
    for (const auto& one : silent) {
        crowd.challenged += one.challenged ? 1 : 0;
        crowd.cut += one.cut ? 1 : 0;
        crowd.other += one.other ? 1 : 0;
        if (one.challenged) {
            crowd.held.push_back(one.held);
        }
    }
    std::sort(crowd.held.begin(), crowd.held.end());
    return crowd;
}

double run_until_idle(Soak& soak, CoreWatch& watch, std::string_view secret, std::size_t clients,
                      std::uint32_t seed) {
    const auto started = Clock::now();
    soak.run(clients, seed);
    const double ran = std::chrono::duration<double>(Clock::now() - started).count();
    EXPECT_TRUE(
        testing::eventually([&] { return idle(secret); }, LEASE_DURATION + testing::HANG_LIMIT))
        << "a lease or a core outlived the soak";
    watch.finish();
    for (const std::uint32_t core : watch.seen()) {
        EXPECT_TRUE(testing::eventually([&] { return !process_is_running(core); }))
            << "core " << core << " is still running";
    }
    return ran;
}

void check_slow_clients(std::string_view secret, const std::string& core_sha256) {
    const auto within = FRAME_READ_TIMEOUT * 3 / 4;
    const auto beyond = FRAME_READ_TIMEOUT * 3 / 2;
    const auto served = slow_exchange(secret, {IpcRequest::Status{}}, within);
    ASSERT_TRUE(served);
    const auto* seen = std::get_if<IpcResponse::Status>(&served->value);
    ASSERT_NE(seen, nullptr) << serialize(*served);
    EXPECT_EQ(seen->core_sha256, core_sha256);

    const auto lease = slow_exchange(secret, {IpcRequest::AcquireLease{}}, within);
    ASSERT_TRUE(lease);
    EXPECT_TRUE(std::holds_alternative<IpcResponse::Lease>(lease->value)) << serialize(*lease);

    EXPECT_EQ(slow_exchange(secret, {IpcRequest::Status{}}, beyond), std::nullopt);
}

void check_silent_crowd(std::string_view secret, std::size_t count, std::ostream& out) {
    const SilentCrowd crowd = silent_crowd(secret, count);
    ASSERT_TRUE(crowd.real);
    ASSERT_TRUE(crowd.real->response) << crowd.real->failure;
    EXPECT_TRUE(std::holds_alternative<IpcResponse::Status>(crowd.real->response->value));
    EXPECT_EQ(crowd.challenged, count);
    EXPECT_EQ(crowd.other, 0u) << "silent connections got something else than their end";
    EXPECT_EQ(crowd.cut, count);
    ASSERT_FALSE(crowd.held.empty());
    // None was cut before its read limit had passed (give or take the
    // granularity of a system timer).
    EXPECT_GE(crowd.held.front(), FRAME_READ_TIMEOUT * 9 / 10);
    const auto ms = [](Clock::duration d) {
        return std::chrono::duration_cast<std::chrono::milliseconds>(d).count();
    };
    out << "silent connections cut " << crowd.cut << " of " << count
        << ", held since the connect began " << ms(crowd.held.front()) << " ms (least), "
        << ms(crowd.held[crowd.held.size() / 2]) << " ms (median), " << ms(crowd.held.back())
        << " ms (most); the real client was served while " << crowd.open_when_served
        << " of them were open\n";
}

}  // namespace kavo::soak
