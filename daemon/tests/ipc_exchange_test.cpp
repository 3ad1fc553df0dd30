// One whole exchange on the service pipe, daemon and client over a real OS
// byte stream: a socket pair on Linux, a named pipe on Windows. Every exchange
// runs on a context driven by one thread and by several.
#include <gtest/gtest.h>

#include <algorithm>
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>
#include <asio/strand.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>
#include <chrono>
#include <exception>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "ipc/client.h"
#include "ipc/client_records.h"
#include "ipc/exchange.h"
#include "ipc/frame.h"
#include "ipc/frame_io.h"
#include "ipc/record_json.h"
#include "ipc/session.h"
#include "manual_client.h"
#include "platform/local_stream.h"
#include "platform/secret.h"
#include "test_support.h"

namespace kavo {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

constexpr std::string_view SECRET = "an identity secret of more than thirty-two bytes";

// A bound on waits that only keeps a broken test from hanging.
constexpr milliseconds TEST_DEADLINE{20000};

// Timing checks assert the lower bound tightly; the upper bound only shows
// that the cut-off happened at all, so load cannot fail it.
milliseconds generous_upper_bound(milliseconds lower) {
    return std::max(4 * lower, milliseconds(2000));
}

// A handler that answers every request with a fixed response and remembers
// what it was asked.
struct FixedHandler {
    IpcResponse response;
    std::optional<IpcRequest> seen;

    RequestHandler get() {
        return [this](IpcRequest request) -> asio::awaitable<IpcResponse> {
            seen = std::move(request);
            co_return response;
        };
    }
};

using testing::error_of;
using testing::run_on_threads;

struct DaemonRun {
    std::optional<ExchangeEnd> end;
    // From before the exchange was started to its end, seen by the daemon.
    steady_clock::duration elapsed{};
};

using testing::ManualSession;

asio::awaitable<std::optional<ManualSession>> manual_handshake(LocalStream& stream) {
    co_return co_await testing::manual_handshake(stream, SECRET);
}

// Sends a request body and returns the response the daemon signed, after
// checking its proof over the exact bytes of the envelope's "response".
asio::awaitable<std::optional<IpcResponse>> send_body(LocalStream& stream,
                                                      const ManualSession& session,
                                                      const std::string& body) {
    if (!co_await write_frame(stream, body)) {
        co_return std::nullopt;
    }
    auto reply = co_await read_frame(stream);
    if (!reply) {
        co_return std::nullopt;
    }
    auto envelope = parse_session_response(*reply);
    if (!envelope) {
        co_return std::nullopt;
    }
    const std::string response_json = serialize(envelope->response);
    if (reply->find(response_json) == std::string::npos ||
        !verify_response(SECRET, session.challenge, session.grant.session_id, response_json,
                         envelope->proof)) {
        co_return std::nullopt;
    }
    co_return envelope->response;
}

// Whether the daemon closed the stream without sending anything more.
asio::awaitable<bool> closed_silently(LocalStream& stream) {
    auto next = co_await read_frame(stream, TEST_DEADLINE);
    co_return !next && next.error() == FrameReadError::end_of_stream;
}

std::string signed_request(const ManualSession& session, const IpcRequest& request,
                           const std::string& session_id) {
    return testing::signed_request(SECRET, session, request, session_id);
}

// A status request, signed as the session requires.
std::string status_request(const ManualSession& session) {
    return signed_request(session, IpcRequest{IpcRequest::Status{}}, session.grant.session_id);
}

class IpcExchangeTest : public ::testing::TestWithParam<int> {
  protected:
    // Runs the daemon's side of one connection against `client_side`.
    // Neither task is awaited and both ends of the stream, like the secret,
    // are gone from this frame before the context runs: each task must own
    // what it uses.
    template <class Client>
    DaemonRun run_exchange(FixedHandler& handler, Client client_side,
                           milliseconds read_limit = FRAME_READ_TIMEOUT) {
        return run_exchange(handler.get(), std::move(client_side), read_limit);
    }

    template <class Client>
    DaemonRun run_exchange(RequestHandler handler, Client client_side,
                           milliseconds read_limit = FRAME_READ_TIMEOUT) {
        asio::io_context io(GetParam());
        DaemonRun run;
        {
            auto pair = make_local_stream_pair(io.get_executor());
            EXPECT_TRUE(pair) << (pair ? "" : pair.error());
            if (!pair) {
                return run;
            }
            const auto started = steady_clock::now();
            asio::co_spawn(
                io,
                serve_exchange(std::move(pair->server), SecretBytes(SECRET), std::move(handler),
                               ExchangeOptions{.read_limit = read_limit}),
                [&run, started](std::exception_ptr error, ExchangeEnd end) {
                    EXPECT_FALSE(error);
                    run.elapsed = steady_clock::now() - started;
                    run.end = end;
                });
            asio::co_spawn(asio::make_strand(io), client_side(std::move(pair->client)),
                           asio::detached);
        }
        run_on_threads(io, GetParam());
        EXPECT_TRUE(run.end.has_value());
        return run;
    }
};

INSTANTIATE_TEST_SUITE_P(Threads, IpcExchangeTest, ::testing::Values(1, 4),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return "threads_" + std::to_string(info.param);
                         });

// The answer comes only once the request has been carried out, which may
// take longer than the service's own read limit (a start behind another
// request's stop): the client's limit for it is its own, and the challenge
// and the grant keep a short one.
TEST_P(IpcExchangeTest, TheClientWaitsForTheAnswerLongerThanForTheHandshake) {
    const milliseconds slower_than_a_frame_read = FRAME_READ_TIMEOUT + milliseconds(1000);
    const RequestHandler slow =
        [slower_than_a_frame_read](IpcRequest) -> asio::awaitable<IpcResponse> {
        asio::steady_timer pause(co_await asio::this_coro::executor, slower_than_a_frame_read);
        co_await pause.async_wait(asio::use_awaitable);
        co_return IpcResponse{IpcResponse::Ok{}};
    };
    struct Case {
        const char* what;
        ClientTimeouts timeouts;
        std::optional<std::string> error;  // nothing: answered
    } cases[] = {
        {"the client's own limits", ClientTimeouts{}, std::nullopt},
        {"an answer limit shorter than the request",
         ClientTimeouts{CLIENT_HANDSHAKE_READ_TIMEOUT, milliseconds(200)},
         std::string(CLIENT_NO_RESPONSE_ERROR)},
    };
    for (const auto& c : cases) {
        std::optional<Result<IpcResponse>> got;
        run_exchange(slow, [&](LocalStream client) -> asio::awaitable<void> {
            // Named: gcc 12 destroys a temporary inside a co_await twice.
            IpcRequest request{IpcRequest::StartCore{"L"}};
            SecretBytes secret(SECRET);
            got = co_await request_service(std::move(client), std::move(secret), std::move(request),
                                           c.timeouts);
        });
        ASSERT_TRUE(got.has_value()) << c.what;
        if (c.error) {
            ASSERT_FALSE(*got) << c.what;
            EXPECT_EQ(got->error(), *c.error) << c.what;
        } else {
            ASSERT_TRUE(*got) << c.what << ": " << got->error();
            EXPECT_EQ(got->value(), IpcResponse{IpcResponse::Ok{}}) << c.what;
        }
    }
    EXPECT_LT(CLIENT_HANDSHAKE_READ_TIMEOUT, CLIENT_ANSWER_READ_TIMEOUT);
}

asio::awaitable<void> ask_status(LocalStream client, ClientTimeouts timeouts,
                                 std::optional<Result<IpcResponse>>& got) {
    IpcRequest request{IpcRequest::Status{}};
    got = co_await request_service(std::move(client), SecretBytes(SECRET), std::move(request),
                                   timeouts);
}

// A service that has not sent its challenge within the handshake's limit is
// given up on, however long the answer could have taken.
TEST_P(IpcExchangeTest, AChallengeThatDoesNotComeEndsTheExchange) {
    asio::io_context io(GetParam());
    auto pair = make_local_stream_pair(io.get_executor());
    ASSERT_TRUE(pair) << pair.error();
    // The service's end stays open and silent until the client gives up.
    LocalStream silent = std::move(pair->server);
    std::optional<Result<IpcResponse>> got;
    asio::co_spawn(
        io,
        ask_status(std::move(pair->client), ClientTimeouts{milliseconds(200), TEST_DEADLINE}, got),
        asio::detached);
    run_on_threads(io, GetParam());
    ASSERT_TRUE(got.has_value());
    ASSERT_FALSE(*got);
    EXPECT_EQ(got->error(), CLIENT_NO_CHALLENGE_ERROR);
}

TEST_P(IpcExchangeTest, ErrorTextsReachTheClientVerified) {
    struct Case {
        const char* what;
        IpcResponse answered;  // what the handler returns
        std::string received;  // the message the client reads
    } cases[] = {
        {"quote and line feed, escaped", IpcResponse{IpcResponse::Error{"say \"no\"\nplease"}},
         "say \"no\"\nplease"},
        {"invalid UTF-8 put in by hand", IpcResponse{IpcResponse::Error{"bad \xFF\xFE end"}},
         "bad \xEF\xBF\xBD\xEF\xBF\xBD end"},
        {"cut sequence through error_response", error_response("cut \xE2\x82"), "cut \xEF\xBF\xBD"},
    };
    for (const auto& c : cases) {
        FixedHandler handler{c.answered, {}};
        std::optional<Result<IpcResponse>> got;
        run_exchange(handler, [&](LocalStream client) -> asio::awaitable<void> {
            got = co_await request_service(std::move(client), SecretBytes(SECRET),
                                           IpcRequest{IpcRequest::Status{}});
        });
        ASSERT_TRUE(got && *got) << c.what << ": " << (got ? got->error() : "no result");
        EXPECT_EQ(got->value(), IpcResponse{IpcResponse::Error{c.received}}) << c.what;
    }
}

TEST_P(IpcExchangeTest, RequestChecks) {
    // The session id that an earlier connection was granted.
    std::string earlier;
    FixedHandler first{IpcResponse{IpcResponse::Ok{}}, {}};
    run_exchange(first, [&](LocalStream client) -> asio::awaitable<void> {
        if (auto session = co_await manual_handshake(client)) {
            earlier = session->grant.session_id;
            co_await send_body(client, *session, status_request(*session));
        }
    });
    ASSERT_EQ(earlier.size(), 32u);
    struct Case {
        const char* what;
        // Builds the request body from the live session.
        std::function<std::string(const ManualSession&)> body;
        const char* error;  // nullptr: the handler answers
    } cases[] = {
        {"canonical request",
         [](const ManualSession& s) {
             return signed_request(s, IpcRequest{IpcRequest::RenewLease{"L"}}, s.grant.session_id);
         },
         nullptr},
        {"members reordered, trailing line feed",
         [](const ManualSession& s) {
             const std::string json = canonical_request_json(IpcRequest{IpcRequest::Status{}});
             return "{\"proof\":\"" + sign_request(SECRET, s.challenge, s.grant.session_id, json) +
                    "\",\"request\":" + json + ",\"session_id\":\"" + s.grant.session_id + "\"}\n";
         },
         nullptr},
        {"proof over non-canonical bytes",
         [](const ManualSession& s) {
             const std::string spaced = "{ \"RenewLease\" : { \"lease_id\" : \"L\" } }";
             return "{\"session_id\":\"" + s.grant.session_id + "\",\"request\":" + spaced +
                    ",\"proof\":\"" +
                    sign_request(SECRET, s.challenge, s.grant.session_id, spaced) + "\"}";
         },
         "Unauthorized service request"},
        {"the session_id of an earlier connection",
         [&](const ManualSession& s) {
             return signed_request(s, IpcRequest{IpcRequest::Status{}}, earlier);
         },
         "Unauthorized service request"},
        {"proof of 63 digits",
         [](const ManualSession& s) {
             const std::string json = canonical_request_json(IpcRequest{IpcRequest::Status{}});
             return session_request_json(
                 s.grant.session_id, json,
                 sign_request(SECRET, s.challenge, s.grant.session_id, json).substr(0, 63));
         },
         "Unauthorized service request"},
        {"trailing x", [](const ManualSession& s) { return status_request(s) + "x"; },
         "Invalid service request"},
        {"NUL and garbage after a signed request",
         [](const ManualSession& s) {
             return status_request(s) + std::string(1, '\0') + "garbage";
         },
         "Invalid service request"},
        {"NUL alone after a signed request",
         [](const ManualSession& s) { return status_request(s) + std::string(1, '\0'); },
         "Invalid service request"},
        {"not JSON", [](const ManualSession&) { return std::string("{{{"); },
         "Invalid service request"},
        {"renew without lease_id",
         [](const ManualSession& s) {
             return "{\"session_id\":\"" + s.grant.session_id +
                    "\",\"request\":{\"RenewLease\":{}},\"proof\":\"" + std::string(64, '0') +
                    "\"}";
         },
         "Invalid service request"},
    };
    for (const auto& c : cases) {
        FixedHandler handler{IpcResponse{IpcResponse::Ok{}}, {}};
        std::optional<IpcResponse> got;
        const auto run = run_exchange(handler, [&](LocalStream client) -> asio::awaitable<void> {
            auto session = co_await manual_handshake(client);
            if (session) {
                got = co_await send_body(client, *session, c.body(*session));
            }
        });
        EXPECT_EQ(run.end, ExchangeEnd::answered) << c.what;
        ASSERT_TRUE(got) << c.what;
        if (c.error) {
            EXPECT_EQ(error_of(got), c.error) << c.what;
            EXPECT_FALSE(handler.seen) << c.what << ": the handler must not run";
        } else {
            EXPECT_EQ(*got, IpcResponse{IpcResponse::Ok{}}) << c.what;
            EXPECT_TRUE(handler.seen) << c.what;
        }
    }
}

TEST_P(IpcExchangeTest, ClientAnswerChecks) {
    struct Case {
        const char* what;
        // The body of the client's answer to the live challenge.
        std::string (*answer)(const IpcChallenge&);
        ExchangeEnd refusal;  // answered: the session is granted
    } cases[] = {
        {"uppercase proof",
         [](const IpcChallenge& c) {
             auto answer = answer_challenge(SECRET, c);
             for (char& ch : answer.proof)
                 ch = static_cast<char>(std::toupper(ch));
             return serialize(answer);
         },
         ExchangeEnd::answered},
        {"surrounding white space",
         [](const IpcChallenge& c) {
             return " \t" + serialize(answer_challenge(SECRET, c)) + "\r\n";
         },
         ExchangeEnd::answered},
        {"wrong challenge_id",
         [](const IpcChallenge& c) {
             auto answer = answer_challenge(SECRET, c);
             answer.challenge_id = std::string(32, 'f');
             return serialize(answer);
         },
         ExchangeEnd::proof_refused},
        {"wrong secret",
         [](const IpcChallenge& c) {
             return serialize(answer_challenge(std::string(SECRET) + "!", c));
         },
         ExchangeEnd::proof_refused},
        {"NUL and garbage after a valid answer",
         [](const IpcChallenge& c) {
             return serialize(answer_challenge(SECRET, c)) + std::string(1, '\0') + "garbage";
         },
         ExchangeEnd::proof_not_parsed},
        {"NUL alone after a valid answer",
         [](const IpcChallenge& c) {
             return serialize(answer_challenge(SECRET, c)) + std::string(1, '\0');
         },
         ExchangeEnd::proof_not_parsed},
        {"trailing x after a valid answer",
         [](const IpcChallenge& c) { return serialize(answer_challenge(SECRET, c)) + "x"; },
         ExchangeEnd::proof_not_parsed},
    };
    for (const auto& c : cases) {
        FixedHandler handler{IpcResponse{IpcResponse::Ok{}}, {}};
        bool granted = false;
        bool closed = false;
        const auto run = run_exchange(handler, [&](LocalStream client) -> asio::awaitable<void> {
            auto body = co_await read_frame(client);
            if (!body)
                co_return;
            EXPECT_EQ(body->size(), 98u);
            auto challenge = parse_challenge(*body);
            if (!challenge)
                co_return;
            co_await write_frame(client, c.answer(*challenge));
            auto grant = co_await read_frame(client, TEST_DEADLINE);
            if (grant) {
                EXPECT_EQ(grant->size(), 124u);
                auto session = parse_server_session(*grant);
                granted = session && verify_session_grant(SECRET, *challenge, *session);
                co_await write_frame(client, "{}");
                co_await read_frame(client);
            } else {
                closed = grant.error() == FrameReadError::end_of_stream;
            }
        });
        const bool expect_grant = c.refusal == ExchangeEnd::answered;
        EXPECT_EQ(granted, expect_grant) << c.what;
        if (!expect_grant) {
            EXPECT_TRUE(closed) << c.what << ": closed without a reply";
            EXPECT_EQ(run.end, c.refusal) << c.what;
        }
    }
}

// The rule with a short limit: a client that stops sending is dropped
// without a reply once the limit runs out, at any step.
TEST_P(IpcExchangeTest, StalledClientsAreCutOffAtTheReadLimit) {
    struct Case {
        const char* what;
        bool handshake_first;  // stall only after the session is granted
        std::string sent;      // bytes sent before stalling
        ExchangeEnd end;
    } cases[] = {
        {"silent after the challenge", false, "", ExchangeEnd::proof_not_read},
        // Where inside a frame a read may stall is the frame reader's own
        // test; here, that a stall past the prefix is cut off too.
        {"stalls after the prefix", false, std::string("\x10\x00\x00\x00", 4),
         ExchangeEnd::proof_not_read},
        {"silent after the grant", true, "", ExchangeEnd::request_not_read},
        {"stalls after the request's prefix", true, std::string("\x10\x00\x00\x00", 4),
         ExchangeEnd::request_not_read},
    };
    for (const auto& c : cases) {
        // The limit applies to every read, the client's answer to the
        // challenge included: a stall after the grant gets a limit that a
        // loaded machine's handshake keeps within.
        const milliseconds limit{c.handshake_first ? 1000 : 200};
        FixedHandler handler{IpcResponse{IpcResponse::Ok{}}, {}};
        bool closed = false;
        const auto run = run_exchange(
            handler,
            [&](LocalStream client) -> asio::awaitable<void> {
                if (c.handshake_first) {
                    if (!co_await manual_handshake(client))
                        co_return;
                } else if (!co_await read_frame(client)) {
                    co_return;
                }
                if (!c.sent.empty()) {
                    co_await asio::async_write(client, asio::buffer(c.sent), asio::use_awaitable);
                }
                closed = co_await closed_silently(client);
            },
            limit);
        EXPECT_EQ(run.end, c.end) << c.what;
        EXPECT_TRUE(closed) << c.what;
        EXPECT_FALSE(handler.seen) << c.what;
        EXPECT_GE(run.elapsed, limit) << c.what;
        EXPECT_LT(run.elapsed, generous_upper_bound(limit)) << c.what;
    }
}

// Timing where the limit is applied: on the reading side, from the start of
// the read (for the body: from the arrival of the prefix) to the give-up.
TEST(FrameReadTest, LimitCountsFromWhereEachReadStarts) {
    const milliseconds limit{500};
    const milliseconds prefix_delay{150};
    struct Case {
        const char* what;
        milliseconds delay;  // before the client sends anything
        std::string sent;
        milliseconds at_least;
        bool own_limit = true;  // false: the reader's default limit
    } cases[] = {
        {"nothing sent", milliseconds(0), "", limit},
        {"nothing sent, the default limit", milliseconds(0), "", milliseconds(2000), false},
        {"half a prefix", milliseconds(0), std::string("\x10\x00", 2), limit},
        {"prefix and part of the body", milliseconds(0), std::string("\x10\x00\x00\x00xyz", 7),
         limit},
        // The body gets a fresh limit from the prefix's arrival, not what is
        // left of the first one.
        {"late prefix, no body", prefix_delay, std::string("\x10\x00\x00\x00", 4),
         prefix_delay + limit},
    };
    for (const auto& c : cases) {
        asio::io_context io;
        auto pair = make_local_stream_pair(io.get_executor());
        ASSERT_TRUE(pair) << pair.error();
        std::optional<Result<std::string, FrameReadError>> got;
        steady_clock::duration elapsed{};
        // Started first, so the client's delay counts from after the read began.
        asio::co_spawn(
            io,
            [&]() -> asio::awaitable<void> {
                const auto started = steady_clock::now();
                if (c.own_limit) {
                    got = co_await read_frame(pair->server, limit);
                } else {
                    got = co_await read_frame(pair->server);
                }
                elapsed = steady_clock::now() - started;
            },
            asio::detached);
        asio::co_spawn(
            io,
            [&]() -> asio::awaitable<void> {
                if (c.delay.count() > 0) {
                    asio::steady_timer timer(io, c.delay);
                    co_await timer.async_wait(asio::use_awaitable);
                }
                if (!c.sent.empty()) {
                    co_await asio::async_write(pair->client, asio::buffer(c.sent),
                                               asio::use_awaitable);
                }
            },
            asio::detached);
        io.run();
        ASSERT_TRUE(got) << c.what;
        ASSERT_FALSE(*got) << c.what;
        EXPECT_EQ(got->error(), FrameReadError::timed_out) << c.what;
        EXPECT_GE(elapsed, c.at_least) << c.what;
        EXPECT_LT(elapsed, generous_upper_bound(c.at_least)) << c.what;
    }
}

TEST(FrameReadTest, FrameLengthsAtTheLimit) {
    struct Case {
        std::uint32_t length;
        bool body_read;
    } cases[] = {{65536, true}, {65537, false}, {0, false}};
    for (const auto& c : cases) {
        asio::io_context io;
        auto pair = make_local_stream_pair(io.get_executor());
        ASSERT_TRUE(pair) << pair.error();
        std::optional<Result<std::string, FrameReadError>> got;
        asio::co_spawn(
            io, [&]() -> asio::awaitable<void> { got = co_await read_frame(pair->server); },
            asio::detached);
        asio::co_spawn(
            io,
            [&]() -> asio::awaitable<void> {
                const FramePrefix prefix = encode_frame_length(c.length);
                std::string frame(reinterpret_cast<const char*>(prefix.data()), prefix.size());
                frame.append(c.length == 65536 ? 65536 : 16, 'x');
                co_await asio::async_write(pair->client, asio::buffer(frame), asio::use_awaitable);
            },
            asio::detached);
        io.run();
        ASSERT_TRUE(got) << c.length;
        ASSERT_EQ(static_cast<bool>(*got), c.body_read) << c.length;
        if (c.body_read) {
            EXPECT_EQ((*got)->size(), 65536u);
        } else {
            EXPECT_EQ(got->error(), FrameReadError::invalid_length) << c.length;
        }
    }
}

}  // namespace
}  // namespace kavo
