// Clients that drive a real daemon over the service's own pipe, shared by the
// soak and fault tests of both backends: the Linux foreground daemon and the
// service installed under the service control manager. What the clients see
// goes into a ledger, which the tests check against the lease rules.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <iosfwd>
#include <map>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <asio/awaitable.hpp>

#include "ipc/records.h"

namespace kavo::soak {

using Clock = std::chrono::steady_clock;

// A figure the environment may set (a soak's length, say); `fallback` when
// it is unset or empty.
std::size_t tunable(const char* name, std::size_t fallback);

// One request over a connection of its own, with the client's view of when
// it went out and when its answer came back.
struct Answer {
    Clock::time_point sent;
    Clock::time_point answered;
    std::optional<IpcResponse> response;
    // Why there is no response.
    std::string failure;

    bool is_ok() const;
    // The message of an Error answer; null for any other.
    const std::string* error() const;
};

// What the clients saw of one lease. It was granted at some moment between
// `asked` and `granted`, and it still existed when the daemon handled a
// request sent at `held_until` that named it and was answered Ok.
struct LeaseRecord {
    Clock::time_point asked;
    Clock::time_point granted;
    Clock::time_point held_until;
};

// The answers every client gives back: tallies, leases and broken rules.
class Ledger {
  public:
    void tally(const Answer& answer);
    void vanished(const char* how);
    void session();
    void granted(const std::string& id, const Answer& answer);
    // An Ok answer to a request naming `id`.
    void held(const std::string& id, const Answer& answer);
    void broken(std::string what);

    // Pairs of leases that certainly existed at the same moment: the second
    // was asked for after the first was granted, and granted before the
    // first was still shown to exist.
    std::vector<std::string> overlaps() const;

    std::uint64_t requests() const;
    std::uint64_t sessions() const;
    std::size_t leases() const;
    std::map<std::string, std::uint64_t> outcomes() const;
    std::vector<std::string> broken() const;

  private:
    mutable std::mutex mutex_;
    std::uint64_t requests_ = 0;
    std::uint64_t sessions_ = 0;
    std::map<std::string, std::uint64_t> outcomes_;
    std::map<std::string, LeaseRecord> leases_;
    std::vector<std::string> broken_;
};

// Answers that only a fault of the daemon produces: anything but these.
bool expected_outcome(const std::string& kind);

// The soak's crowd: clients running random sessions against the daemon that
// knows `secret`, until `length` has passed.
class Soak {
  public:
    Soak(Clock::duration length, std::string secret);

    Ledger ledger;

    // Over at the deadline once more than one lease has gone round with a
    // started core; on a machine too busy for that, the run goes on for up
    // to its length again.
    bool over() const;
    std::size_t abandoned() const;

    // Runs `clients` clients, seeded from `seed` on, on four threads until
    // the soak is over.
    void run(std::size_t clients, std::uint32_t seed);

    // The callers name the request rather than build it: gcc 12 destroys
    // some temporaries twice when they are made inside a co_await expression
    // of a coroutine that branches around it.
    enum class Kind { acquire, renew, release, start, stop, status };

  private:
    bool may_abandon();
    asio::awaitable<Answer> request(Kind kind, const std::string* id = nullptr);
    asio::awaitable<void> vanish(std::mt19937& random, const std::string& lease_id);
    asio::awaitable<void> give_back(const std::string& id, bool stop);
    asio::awaitable<void> lease_session(std::mt19937& random);
    asio::awaitable<void> client(std::uint32_t seed);

    Clock::time_point start_;
    Clock::time_point deadline_;
    Clock::duration length_;
    std::atomic<std::size_t> started_{0};
    const std::string secret_;
    mutable std::mutex mutex_;
    std::optional<Clock::time_point> last_abandon_;
    std::size_t abandoned_ = 0;
    const std::string no_lease_;
};

// Watches the runtime directories under `runtime_root` for live cores while
// a soak runs.
class CoreWatch {
  public:
    explicit CoreWatch(std::filesystem::path runtime_root);
    ~CoreWatch();
    CoreWatch(const CoreWatch&) = delete;
    CoreWatch& operator=(const CoreWatch&) = delete;

    void finish();
    const std::set<std::uint32_t>& seen() const { return seen_; }
    std::size_t most_alive() const { return most_alive_; }
    std::size_t looks() const { return looks_; }

  private:
    void look();

    std::filesystem::path root_;
    std::atomic<bool> done_{false};
    std::set<std::uint32_t> seen_;
    std::size_t most_alive_ = 0;
    std::size_t looks_ = 0;
    std::thread thread_;
};

// Runs `soak` with `clients` clients from `seed` on while `watch` looks on,
// then waits for the daemon to be idle again (a lease left to expire is
// reclaimed within a cycle of its expiry) and for every core seen to end: a
// failure for each that does not. How long the run itself took, in seconds.
double run_until_idle(Soak& soak, CoreWatch& watch, std::string_view secret, std::size_t clients,
                      std::uint32_t seed);

// The soak's figures as lines for the test's output, and a failure for every
// rule it saw broken: an answer only a fault gives, a renewal or Status that
// denied a held lease, an ended lease accepted again, two leases at once, two
// cores at once. True when the soak did what it is for (leases went round
// and cores ran).
bool report_and_check(const Soak& soak, const CoreWatch& watch, std::size_t clients,
                      std::size_t seconds, std::uint32_t seed, double ran, std::ostream& out);

// One Status exchange through the real client code, or nothing.
std::optional<IpcResponse::Status> status_of(std::string_view secret);
// Whether Status shows no core and no lease.
bool idle(std::string_view secret);

// One exchange whose every frame goes out a byte at a time, spread over
// `span` for the length and as long again for the body; the verified answer,
// or nothing when the daemon cut the connection.
std::optional<IpcResponse> slow_exchange(std::string_view secret, IpcRequest request,
                                         Clock::duration span);

// `count` clients that connect and say nothing after the challenge, with one
// real Status client among them.
struct SilentCrowd {
    std::size_t challenged = 0;
    // Ended by the daemon: the next read found the end of the stream.
    std::size_t cut = 0;
    // Got something else than their end.
    std::size_t other = 0;
    // How long after its connect began each was cut, shortest first.
    std::vector<Clock::duration> held;
    std::optional<Answer> real;
    // How many silent connections were open when the real client was served.
    std::size_t open_when_served = 0;
};
SilentCrowd silent_crowd(std::string_view secret, std::size_t count);

// The slow client's three runs, each a failure where it goes wrong: a Status
// and an acquire sent within the read limits are served (the Status naming
// `core_sha256`), and a Status stretched past them is cut off unanswered.
void check_slow_clients(std::string_view secret, const std::string& core_sha256);

// A silent crowd of `count` as the daemon must treat it, each a failure
// where it does not: every one challenged and cut, none before half its read
// limit, nothing else sent, and the real client served. The figures go to
// `out`.
void check_silent_crowd(std::string_view secret, std::size_t count, std::ostream& out);

}  // namespace kavo::soak
