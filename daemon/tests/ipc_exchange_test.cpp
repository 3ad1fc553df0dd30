// One whole exchange on the service pipe, daemon and client over a real OS
// byte stream: a socket pair on Linux, a named pipe on Windows.
#include <gtest/gtest.h>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/io_context.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>
#include <chrono>
#include <optional>
#include <string>

#include "ipc/client.h"
#include "ipc/client_records.h"
#include "ipc/exchange.h"
#include "ipc/frame.h"
#include "ipc/frame_io.h"
#include "ipc/record_json.h"
#include "ipc/session.h"
#include "platform/local_stream.h"

namespace kavo {
namespace {

const std::string SECRET = "an identity secret of more than thirty-two bytes";

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

// Runs the daemon's side of one connection against `client_side` and
// returns how the daemon's side ended.
template <class Client>
ExchangeEnd run_exchange(FixedHandler& handler, Client client_side) {
    asio::io_context io;
    auto pair = make_local_stream_pair(io.get_executor());
    EXPECT_TRUE(pair) << (pair ? "" : pair.error());
    if (!pair) {
        return ExchangeEnd::challenge_not_sent;
    }
    std::optional<ExchangeEnd> end;
    LocalStream server = std::move(pair->server);
    LocalStream client = std::move(pair->client);
    asio::co_spawn(
        io,
        [&]() -> asio::awaitable<void> {
            end = co_await serve_exchange(server, SECRET, handler.get());
        },
        asio::detached);
    asio::co_spawn(io, client_side(client), asio::detached);
    io.run();
    EXPECT_TRUE(end.has_value());
    return end.value_or(ExchangeEnd::challenge_not_sent);
}

// The client's half of a handshake done by hand, so tests can misbehave.
struct ManualSession {
    IpcChallenge challenge;
    IpcServerSession grant;
};

asio::awaitable<std::optional<ManualSession>> manual_handshake(LocalStream& stream) {
    auto body = co_await read_frame(stream);
    if (!body) {
        co_return std::nullopt;
    }
    auto challenge = parse_challenge(*body);
    if (!challenge) {
        co_return std::nullopt;
    }
    const auto answer = answer_challenge(SECRET, *challenge);
    if (!co_await write_frame(stream, serialize(answer))) {
        co_return std::nullopt;
    }
    auto grant_body = co_await read_frame(stream);
    if (!grant_body) {
        co_return std::nullopt;
    }
    auto grant = parse_server_session(*grant_body);
    if (!grant || !verify_session_grant(SECRET, *challenge, *grant)) {
        co_return std::nullopt;
    }
    co_return ManualSession{*challenge, *grant};
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

std::string signed_request(const ManualSession& session, const IpcRequest& request,
                           const std::string& session_id) {
    const std::string json = canonical_request_json(request);
    return session_request_json(session_id, json,
                                sign_request(SECRET, session.challenge, session_id, json));
}

std::string error_of(const std::optional<IpcResponse>& response) {
    if (!response)
        return "<no response>";
    if (auto* error = std::get_if<IpcResponse::Error>(&response->value))
        return error->message;
    return "<not an error>";
}

TEST(IpcExchangeTest, ClientGetsTheHandlersAnswer) {
    FixedHandler handler{IpcResponse{IpcResponse::Lease{std::string(32, 'e'), 30}}, {}};
    std::optional<Result<IpcResponse>> got;
    const auto end = run_exchange(handler, [&](LocalStream& client) -> asio::awaitable<void> {
        got = co_await request_service(client, SECRET, IpcRequest{IpcRequest::AcquireLease{}});
    });
    EXPECT_EQ(end, ExchangeEnd::answered);
    ASSERT_TRUE(got && *got) << (got ? got->error() : "no result");
    EXPECT_EQ(got->value(), handler.response);
    ASSERT_TRUE(handler.seen);
    EXPECT_EQ(*handler.seen, IpcRequest{IpcRequest::AcquireLease{}});
}

TEST(IpcExchangeTest, ErrorTextWithQuoteAndLineFeedVerifiesEscaped) {
    FixedHandler handler{IpcResponse{IpcResponse::Error{"say \"no\"\nplease"}}, {}};
    std::optional<Result<IpcResponse>> got;
    run_exchange(handler, [&](LocalStream& client) -> asio::awaitable<void> {
        got = co_await request_service(client, SECRET, IpcRequest{IpcRequest::Status{}});
    });
    ASSERT_TRUE(got && *got) << (got ? got->error() : "no result");
    EXPECT_EQ(got->value(), handler.response);
}

TEST(IpcExchangeTest, RequestChecks) {
    struct Case {
        const char* what;
        // Builds the request body from the live session.
        std::string (*body)(const ManualSession&);
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
        {"another session_id",
         [](const ManualSession& s) {
             return signed_request(s, IpcRequest{IpcRequest::Status{}}, std::string(32, '0'));
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
        {"trailing x",
         [](const ManualSession& s) {
             return signed_request(s, IpcRequest{IpcRequest::Status{}}, s.grant.session_id) + "x";
         },
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
        const auto end = run_exchange(handler, [&](LocalStream& client) -> asio::awaitable<void> {
            auto session = co_await manual_handshake(client);
            if (session) {
                got = co_await send_body(client, *session, c.body(*session));
            }
        });
        EXPECT_EQ(end, ExchangeEnd::answered) << c.what;
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

TEST(IpcExchangeTest, SessionIdOfAnEarlierConnectionIsRefused) {
    std::string earlier_session_id;
    {
        FixedHandler handler{IpcResponse{IpcResponse::Ok{}}, {}};
        run_exchange(handler, [&](LocalStream& client) -> asio::awaitable<void> {
            auto session = co_await manual_handshake(client);
            if (session) {
                earlier_session_id = session->grant.session_id;
                co_await send_body(
                    client, *session,
                    signed_request(*session, IpcRequest{IpcRequest::Status{}}, earlier_session_id));
            }
        });
    }
    ASSERT_EQ(earlier_session_id.size(), 32u);
    FixedHandler handler{IpcResponse{IpcResponse::Ok{}}, {}};
    std::optional<IpcResponse> got;
    run_exchange(handler, [&](LocalStream& client) -> asio::awaitable<void> {
        auto session = co_await manual_handshake(client);
        if (session) {
            got = co_await send_body(
                client, *session,
                signed_request(*session, IpcRequest{IpcRequest::Status{}}, earlier_session_id));
        }
    });
    EXPECT_EQ(error_of(got), "Unauthorized service request");
    EXPECT_FALSE(handler.seen);
}

TEST(IpcExchangeTest, ClientAnswerChecks) {
    struct Case {
        const char* what;
        IpcClientProof (*answer)(const IpcChallenge&);
        bool granted;
    } cases[] = {
        {"uppercase proof",
         [](const IpcChallenge& c) {
             auto answer = answer_challenge(SECRET, c);
             for (char& ch : answer.proof)
                 ch = static_cast<char>(std::toupper(ch));
             return answer;
         },
         true},
        {"wrong challenge_id",
         [](const IpcChallenge& c) {
             auto answer = answer_challenge(SECRET, c);
             answer.challenge_id = std::string(32, 'f');
             return answer;
         },
         false},
        {"wrong secret", [](const IpcChallenge& c) { return answer_challenge(SECRET + "!", c); },
         false},
    };
    for (const auto& c : cases) {
        FixedHandler handler{IpcResponse{IpcResponse::Ok{}}, {}};
        bool granted = false;
        bool closed = false;
        const auto end = run_exchange(handler, [&](LocalStream& client) -> asio::awaitable<void> {
            auto body = co_await read_frame(client);
            if (!body)
                co_return;
            EXPECT_EQ(body->size(), 98u);
            auto challenge = parse_challenge(*body);
            if (!challenge)
                co_return;
            co_await write_frame(client, serialize(c.answer(*challenge)));
            auto grant = co_await read_frame(client);
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
        EXPECT_EQ(granted, c.granted) << c.what;
        if (!c.granted) {
            EXPECT_TRUE(closed) << c.what << ": closed without a reply";
            EXPECT_EQ(end, ExchangeEnd::proof_refused) << c.what;
        }
    }
}

TEST(IpcExchangeTest, SilentOrStalledClientsAreCutOffAfterTwoSeconds) {
    struct Case {
        const char* what;
        std::string sent;  // what the client sends after the challenge
    } cases[] = {
        {"silent client", ""},
        {"stalls after the length prefix", std::string("\x10\x00\x00\x00", 4)},
        {"stalls inside the prefix", std::string("\x10\x00", 2)},
    };
    for (const auto& c : cases) {
        FixedHandler handler{IpcResponse{IpcResponse::Ok{}}, {}};
        std::optional<std::chrono::steady_clock::duration> waited;
        const auto end = run_exchange(handler, [&](LocalStream& client) -> asio::awaitable<void> {
            auto body = co_await read_frame(client);
            if (!body)
                co_return;
            if (!c.sent.empty()) {
                co_await asio::async_write(client, asio::buffer(c.sent), asio::use_awaitable);
            }
            const auto start = std::chrono::steady_clock::now();
            auto next = co_await read_frame(client);
            EXPECT_FALSE(next) << c.what;
            waited = std::chrono::steady_clock::now() - start;
        });
        EXPECT_EQ(end, ExchangeEnd::proof_not_read) << c.what;
        ASSERT_TRUE(waited) << c.what;
        EXPECT_GE(*waited, std::chrono::milliseconds(1900)) << c.what;
    }
}

TEST(IpcExchangeTest, FrameLengthsAtTheLimit) {
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
