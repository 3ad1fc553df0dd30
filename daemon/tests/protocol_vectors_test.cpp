// The example connections of docs/protocol-vectors.json, which the desktop
// client's developers check their code against, held true in both
// directions over a real OS stream. The service's connection task, set to
// each vector's state with its clock standing still and its random source
// giving the recorded bytes, is sent the client's frames and must write
// exactly the service's frames, then close. The real client is sent the
// service's frames and must write exactly the client's frames and accept
// the answer. Vectors with a client that errs on purpose say so.
#include <gtest/gtest.h>

#include <asio/co_spawn.hpp>
#include <asio/experimental/as_tuple.hpp>
#include <asio/io_context.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>
#include <cctype>
#include <exception>
#include <filesystem>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "connection_replay.h"
#include "ipc/client.h"
#include "ipc/client_records.h"
#include "ipc/frame_io.h"
#include "ipc/lease_answers.h"
#include "ipc/record_json.h"
#include "ipc/session.h"
#include "platform/local_stream.h"
#include "platform/secret.h"
#include "protocol_vector.h"
#include "protocol_vectors_file.h"
#include "test_support.h"

namespace kavo {

// Test names carry the vector's name already; the failure report says it
// once more instead of dumping the object's bytes.
void PrintTo(const ProtocolVector& vector, std::ostream* out) {
    *out << vector.name;
}

namespace {

namespace fs = std::filesystem;

// Far beyond what a frame needs, start included; only there so that a
// broken test ends.
constexpr std::chrono::milliseconds SCRIPT_READ_LIMIT{30000};

std::vector<ProtocolVector> file_vectors() {
    auto vectors = parse_protocol_vectors(protocol_vectors_file());
    return vectors ? std::move(vectors).value() : std::vector<ProtocolVector>{};
}

std::vector<std::string> bodies_from(const ProtocolVector& vector, std::string_view from) {
    std::vector<std::string> bodies;
    for (const VectorFrame& frame : vector.frames) {
        if (frame.from == from) {
            bodies.push_back(frame.body);
        }
    }
    return bodies;
}

// The variant names of IpcRequest, in the order of its alternatives.
constexpr std::string_view REQUEST_NAMES[] = {"AcquireLease", "RenewLease", "ReleaseLease",
                                              "StartCore",    "StopCore",   "Status"};

// The request of the vector's request frame; Status when the connection
// ended before one.
IpcRequest request_of(const ProtocolVector& vector) {
    const auto sent = bodies_from(vector, FRAME_FROM_CLIENT);
    if (sent.size() < 2) {
        return IpcRequest{IpcRequest::Status{}};
    }
    auto parsed = parse_session_request(sent[1]);
    return parsed ? parsed->request : IpcRequest{IpcRequest::Status{}};
}

// The answer in the vector's last service frame, when there is one.
std::optional<IpcResponse> answer_of(const ProtocolVector& vector) {
    const auto answered = bodies_from(vector, FRAME_FROM_SERVICE);
    if (answered.size() < 3) {
        return std::nullopt;
    }
    auto parsed = parse_session_response(answered[2]);
    return parsed ? std::optional<IpcResponse>(parsed->response) : std::nullopt;
}

// What one end of a scripted connection received, and how it ended.
struct ScriptRun {
    std::vector<std::string> received;
    // The peer closed the stream after the last expected frame.
    bool peer_closed = false;
};

// Plays one side of `vector`: sends its own frames byte for byte and reads
// the other side's, however they turn out. Playing the client, it then waits
// for the service to close the pipe.
asio::awaitable<ScriptRun> play(LocalStream stream, ProtocolVector vector, std::string_view side) {
    ScriptRun run;
    for (const VectorFrame& frame : vector.frames) {
        if (frame.from == side) {
            const std::string bytes = frame_bytes(frame.body);
            auto [error, written] = co_await asio::async_write(
                stream, asio::buffer(bytes), asio::experimental::as_tuple(asio::use_awaitable));
            if (error) {
                co_return run;
            }
        } else {
            auto body = co_await read_frame(stream, SCRIPT_READ_LIMIT);
            if (!body) {
                co_return run;
            }
            run.received.push_back(std::move(body).value());
        }
    }
    if (side == FRAME_FROM_CLIENT) {
        auto after = co_await read_frame(stream, SCRIPT_READ_LIMIT);
        run.peer_closed = !after && after.error() == FrameReadError::end_of_stream;
    }
    co_return run;
}

using testing::as_optional;

class ProtocolVectorsTest : public ::testing::TestWithParam<ProtocolVector>,
                            public testing::Sandbox {
  protected:
    ProtocolVectorsTest() : Sandbox(true) {}
};

std::string test_name(const ::testing::TestParamInfo<ProtocolVector>& info) {
    std::string name;
    for (const char c : info.param.name) {
        if (std::isalnum(static_cast<unsigned char>(c))) {
            name.push_back(c);
        } else if (!name.empty() && name.back() != '_') {
            name.push_back('_');
        }
    }
    while (!name.empty() && name.back() == '_') {
        name.pop_back();
    }
    return name;
}

INSTANTIATE_TEST_SUITE_P(File, ProtocolVectorsTest, ::testing::ValuesIn(file_vectors()), test_name);

TEST_P(ProtocolVectorsTest, TheServiceWritesTheServiceFrames) {
    const ProtocolVector& vector = GetParam();
    asio::io_context io;
    ReplayService service(path());
    RandomTape tape(vector.service_random);

    std::optional<Result<void>> prepared;
    asio::co_spawn(io, as_optional(service.prepare(vector.service_state)),
                   [&prepared](std::exception_ptr, std::optional<Result<void>> result) {
                       prepared = std::move(result);
                   });
    io.run();
    ASSERT_TRUE(prepared.has_value());
    ASSERT_TRUE(*prepared) << prepared->error();

    auto pair = make_local_stream_pair(io.get_executor());
    ASSERT_TRUE(pair) << pair.error();
    std::optional<ExchangeEnd> end;
    std::optional<ScriptRun> client;
    asio::co_spawn(io,
                   service.serve(std::move(pair->server), SecretBytes(vector.identity),
                                 vector.service_state.core_sha256, tape),
                   [&end](std::exception_ptr, ExchangeEnd ended) { end = ended; });
    asio::co_spawn(io, play(std::move(pair->client), vector, FRAME_FROM_CLIENT),
                   [&client](std::exception_ptr, ScriptRun run) { client = std::move(run); });
    io.restart();
    io.run();
    asio::co_spawn(io, service.shut_down(), [](std::exception_ptr) {});
    io.restart();
    io.run();

    ASSERT_TRUE(end.has_value());
    ASSERT_TRUE(client.has_value());
    EXPECT_EQ(client->received, bodies_from(vector, FRAME_FROM_SERVICE));
    EXPECT_TRUE(client->peer_closed) << "the service sends nothing after its last frame";
    EXPECT_EQ(tape.taken(), vector.service_random) << "every recorded draw, and no other";
    EXPECT_EQ(*end == ExchangeEnd::answered, answer_of(vector).has_value());
}

TEST_P(ProtocolVectorsTest, TheClientWritesTheClientFramesAndAcceptsTheAnswer) {
    const ProtocolVector& vector = GetParam();
    asio::io_context io;
    auto pair = make_local_stream_pair(io.get_executor());
    ASSERT_TRUE(pair) << pair.error();

    const IpcRequest request = request_of(vector);
    std::optional<Result<IpcResponse>> answer;
    std::optional<ScriptRun> service;
    asio::co_spawn(io,
                   as_optional(request_service(
                       std::move(pair->client),
                       SecretBytes(vector.client_identity.value_or(vector.identity)), request)),
                   [&answer](std::exception_ptr, std::optional<Result<IpcResponse>> result) {
                       answer = std::move(result);
                   });
    asio::co_spawn(io, play(std::move(pair->server), vector, FRAME_FROM_SERVICE),
                   [&service](std::exception_ptr, ScriptRun run) { service = std::move(run); });
    io.run();

    ASSERT_TRUE(service.has_value());
    ASSERT_TRUE(answer.has_value());
    const auto expected = bodies_from(vector, FRAME_FROM_CLIENT);
    // A client that spells its request otherwise errs only there: ours
    // writes the handshake alike and the same request in its canonical form.
    if (vector.client_mistake && !vector.client_identity) {
        ASSERT_EQ(service->received.size(), expected.size());
        EXPECT_EQ(service->received[0], expected[0]);
        EXPECT_NE(service->received[1], expected[1]);
        const auto ours = parse_session_request(service->received[1]);
        ASSERT_TRUE(ours) << ours.error();
        EXPECT_EQ(ours->request, request);
    } else {
        EXPECT_EQ(service->received, expected);
    }
    if (const auto response = answer_of(vector)) {
        ASSERT_TRUE(*answer) << answer->error();
        EXPECT_EQ(answer->value(), *response);
    } else {
        ASSERT_FALSE(*answer);
        EXPECT_EQ(answer->error(), CLIENT_NO_SESSION_ERROR);
    }
}

// The file holds what its readers are promised: every request answered,
// the refusals, an unauthorised request, a refused client proof, and
// identities of both extreme lengths, one beyond ASCII. It is also exactly
// what the tool writes, so a hand edit shows.
TEST(ProtocolVectorsFileTest, CoversTheProtocol) {
    const auto vectors = parse_protocol_vectors(protocol_vectors_file());
    ASSERT_TRUE(vectors) << vectors.error();
    EXPECT_EQ(protocol_vectors_json(*vectors), protocol_vectors_file());

    std::set<std::string_view> answered;
    std::set<std::string> errors;
    std::set<std::size_t> identity_sizes;
    bool non_ascii = false;
    bool refused_proof = false;
    for (const ProtocolVector& vector : *vectors) {
        identity_sizes.insert(vector.identity.size());
        for (const char c : vector.identity) {
            non_ascii = non_ascii || static_cast<unsigned char>(c) >= 0x80;
        }
        const auto response = answer_of(vector);
        if (!response) {
            refused_proof = refused_proof || (vector.frames.size() == 2 &&
                                              vector.frames[1].from == FRAME_FROM_CLIENT);
        } else if (const auto* error = std::get_if<IpcResponse::Error>(&response->value)) {
            errors.insert(error->message);
        } else {
            answered.insert(REQUEST_NAMES[request_of(vector).value.index()]);
        }
    }
    EXPECT_EQ(answered,
              std::set<std::string_view>(std::begin(REQUEST_NAMES), std::end(REQUEST_NAMES)));
    for (const std::string_view message :
         {LEASE_OWNED_BY_ANOTHER_CLIENT, LEASE_NO_LONGER_VALID, UNAUTHORIZED_REQUEST_MESSAGE}) {
        EXPECT_TRUE(errors.count(std::string(message))) << message;
    }
    EXPECT_TRUE(refused_proof);
    EXPECT_TRUE(identity_sizes.count(32));
    EXPECT_TRUE(identity_sizes.count(256));
    EXPECT_TRUE(non_ascii);
}

// The identifiers, proofs, digests and identities that docs/protocol.md
// quotes (runs of exactly 32 or 64 hex digits) are those of the file, so the
// page's worked example cannot drift from what the service does.
TEST(ProtocolVectorsFileTest, ThePageQuotesTheFile) {
    const std::string_view page = protocol_page();
    const auto vectors = parse_protocol_vectors(protocol_vectors_file());
    ASSERT_TRUE(vectors) << vectors.error();
    // The file's text, and its identities as text rather than hex.
    std::string file(protocol_vectors_file());
    for (const ProtocolVector& vector : *vectors) {
        file += "\n" + vector.identity;
    }
    std::size_t quoted = 0;
    for (std::size_t at = 0; at < page.size();) {
        const auto is_word = [&](std::size_t i) {
            return i < page.size() && std::isalnum(static_cast<unsigned char>(page[i]));
        };
        std::size_t end = at;
        while (is_word(end)) {
            ++end;
        }
        if (end == at) {
            ++at;
            continue;
        }
        const std::string_view word = page.substr(at, end - at);
        if ((word.size() == 32 || word.size() == 64) &&
            word.find_first_not_of("0123456789abcdef") == std::string_view::npos) {
            ++quoted;
            EXPECT_NE(file.find(word), std::string::npos) << word;
        }
        at = end;
    }
    EXPECT_GT(quoted, 0u) << "the page quotes the worked example";
}

}  // namespace
}  // namespace kavo
