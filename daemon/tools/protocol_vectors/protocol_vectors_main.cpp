// protocol-vectors: writes docs/protocol-vectors.json, the example
// connections of the service pipe for the desktop client's developers. Each
// one is a real connection: the service's own connection task, set to the
// vector's state with its clock standing still and its random bytes derived
// from the vector's name, talks to the real client (or to a client that errs
// on purpose) through a relay that records every frame. Nothing is typed by
// hand, and the same code gives the same file.
//
//     build/native/bin/protocol-vectors docs/protocol-vectors.json
//
// Needs the stand-in core beside it (the build puts it there); runs in a
// ProgramData of its own under the temporary directory.
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>

#include "connection_replay.h"
#include "ipc/client.h"
#include "ipc/client_records.h"
#include "ipc/frame_io.h"
#include "ipc/lease_answers.h"
#include "ipc/record_json.h"
#include "ipc/session.h"
#include "platform/crypto.h"
#include "platform/hex.h"
#include "platform/local_stream.h"
#include "platform/secret.h"
#include "protocol_vector.h"

namespace kavo {
namespace {

namespace fs = std::filesystem;

// The relay waits this long for each frame: a start takes its startup watch.
constexpr std::chrono::milliseconds RELAY_READ_LIMIT{30000};
constexpr std::size_t DRAWS_PER_VECTOR = 8;

const std::string SHORT_IDENTITY = "3f9a1c7e5b2d4086e1f3a5c7b9d0e2f4";
const std::string LEASE_ID = "5d2c8e41a7f34b0c9e6a1d3f8b2c4e70";

// 256 bytes of UTF-8 text, much of it outside ASCII.
std::string long_identity() {
    const std::string phrase = "Schlüssel für den KAVO-Dienst → 鍵 · ";
    std::string identity;
    while (identity.size() + phrase.size() <= 256) {
        identity += phrase;
    }
    identity.append(256 - identity.size(), '.');
    return identity;
}

std::string other_identity(std::string identity) {
    identity.back() = identity.back() == '0' ? '1' : '0';
    return identity;
}

std::string digest_of(std::string_view text) {
    return hex_lower(sha256(text));
}

// Random-looking and the same on every run: the first 16 bytes of
// SHA-256(name "/" index).
std::vector<std::string> derived_draws(const std::string& name) {
    std::vector<std::string> draws;
    for (std::size_t i = 0; i < DRAWS_PER_VECTOR; ++i) {
        const Sha256Digest digest = sha256(name + "/" + std::to_string(i));
        draws.emplace_back(digest.begin(), digest.begin() + PROTOCOL_ID_BYTES);
    }
    return draws;
}

enum class ClientKind {
    real,
    // Signs a spelling of the request other than its canonical form.
    signs_other_spelling,
};

struct Scenario {
    std::string name;
    std::string identity;
    VectorServiceState state;
    IpcRequest request;
    // What the client got: "Ok", "Lease", "Status", "Status running leased"
    // and so on, an Error's message, or the client's own error text.
    std::string expected;
    std::optional<std::string> client_identity = {};
    ClientKind client = ClientKind::real;
    std::optional<std::string> client_mistake = {};
    // The request as the mistaken client spells and signs it.
    std::string spelling = {};
};

std::string summary(const Result<IpcResponse>& answer) {
    if (!answer) {
        return answer.error();
    }
    return std::visit(
        [](const auto& variant) -> std::string {
            using T = std::decay_t<decltype(variant)>;
            if constexpr (std::is_same_v<T, IpcResponse::Ok>) {
                return "Ok";
            } else if constexpr (std::is_same_v<T, IpcResponse::Lease>) {
                return "Lease";
            } else if constexpr (std::is_same_v<T, IpcResponse::Error>) {
                return variant.message;
            } else {
                std::string text = "Status";
                text += variant.running ? " running" : "";
                text += variant.lease_active ? " leased" : "";
                return text;
            }
        },
        answer.value().value);
}

// Passes frames between the two ends, the service first, and records them.
asio::awaitable<std::vector<VectorFrame>> relay(LocalStream service_end, LocalStream client_end) {
    std::vector<VectorFrame> frames;
    LocalStream* from = &service_end;
    LocalStream* to = &client_end;
    bool service_speaks = true;
    for (;;) {
        auto body = co_await read_frame(*from, RELAY_READ_LIMIT);
        if (!body) {
            break;
        }
        frames.push_back(
            {std::string(service_speaks ? FRAME_FROM_SERVICE : FRAME_FROM_CLIENT), *body});
        if (!co_await write_frame(*to, *body)) {
            break;
        }
        std::swap(from, to);
        service_speaks = !service_speaks;
    }
    asio::error_code ignored;
    service_end.close(ignored);
    client_end.close(ignored);
    co_return frames;
}

// A client that gets the handshake right and then signs `spelling`, the
// request written otherwise than canonically; it checks the answer as any
// client must.
asio::awaitable<Result<IpcResponse>> mistaken_client(LocalStream stream, std::string secret,
                                                     std::string spelling) {
    auto challenge_body = co_await read_frame(stream);
    if (!challenge_body) {
        co_return fail(std::string(CLIENT_NO_CHALLENGE_ERROR));
    }
    KAVO_CO_TRY(const IpcChallenge challenge, parse_challenge(*challenge_body));
    KAVO_CO_TRY_OK(co_await write_frame(stream, serialize(answer_challenge(secret, challenge))));
    auto grant_body = co_await read_frame(stream);
    if (!grant_body) {
        co_return fail(std::string(CLIENT_NO_SESSION_ERROR));
    }
    KAVO_CO_TRY(const IpcServerSession grant, parse_server_session(*grant_body));
    if (!verify_session_grant(secret, challenge, grant)) {
        co_return fail(std::string(CLIENT_BAD_SESSION_ERROR));
    }
    const std::string proof = sign_request(secret, challenge, grant.session_id, spelling);
    KAVO_CO_TRY_OK(
        co_await write_frame(stream, session_request_json(grant.session_id, spelling, proof)));
    auto response_body = co_await read_frame(stream);
    if (!response_body) {
        co_return fail(std::string(CLIENT_NO_RESPONSE_ERROR));
    }
    KAVO_CO_TRY(IpcSessionResponse response, parse_session_response(*response_body));
    if (!verify_response(secret, challenge, grant.session_id, serialize(response.response),
                         response.proof)) {
        co_return fail(std::string(CLIENT_BAD_RESPONSE_ERROR));
    }
    co_return std::move(response.response);
}

// co_spawn hands back a default value along with an exception, which a
// Result does not have.
template <class T>
asio::awaitable<std::optional<T>> as_optional(asio::awaitable<T> task) {
    co_return co_await std::move(task);
}

// A directory of its own under the temporary directory, with ProgramData
// pointing into it, removed with everything in it when the object goes.
class ScratchRoot {
  public:
    ScratchRoot() {
        std::random_device seed;
        const fs::path base = fs::temp_directory_path();
        for (;;) {
            path_ = base / ("kavo-protocol-vectors-" + std::to_string(seed()));
            if (fs::create_directory(path_)) {
                break;
            }
        }
        fs::create_directories(path_ / "ProgramData");
        ::setenv("ProgramData", (path_ / "ProgramData").c_str(), 1);
    }
    ~ScratchRoot() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    ScratchRoot(const ScratchRoot&) = delete;
    ScratchRoot& operator=(const ScratchRoot&) = delete;

    const fs::path& path() const { return path_; }

  private:
    fs::path path_;
};

Result<ProtocolVector> record(const Scenario& scenario) {
    ProtocolVector vector;
    vector.name = scenario.name;
    vector.identity = scenario.identity;
    vector.client_identity = scenario.client_identity;
    vector.client_mistake = scenario.client_mistake;
    vector.service_state = scenario.state;

    const ScratchRoot root;
    asio::io_context io;
    ReplayService service(root.path());
    RandomTape tape(derived_draws(scenario.name));

    std::optional<Result<void>> prepared;
    asio::co_spawn(io, as_optional(service.prepare(scenario.state)),
                   [&prepared](std::exception_ptr, std::optional<Result<void>> result) {
                       prepared = std::move(result);
                   });
    io.run();
    if (!prepared || !*prepared) {
        return fail("cannot prepare the service: " + (prepared ? prepared->error() : ""));
    }

    auto service_pair = make_local_stream_pair(io.get_executor());
    auto client_pair = make_local_stream_pair(io.get_executor());
    if (!service_pair || !client_pair) {
        return fail(std::string(service_pair ? client_pair.error() : service_pair.error()));
    }
    std::optional<std::vector<VectorFrame>> frames;
    std::optional<Result<IpcResponse>> answer;
    asio::co_spawn(io,
                   service.serve(std::move(service_pair->server), SecretBytes(vector.identity),
                                 vector.service_state.core_sha256, tape),
                   [](std::exception_ptr, ExchangeEnd) {});
    asio::co_spawn(io, relay(std::move(service_pair->client), std::move(client_pair->server)),
                   [&frames](std::exception_ptr, std::vector<VectorFrame> recorded) {
                       frames = std::move(recorded);
                   });
    const std::string secret = scenario.client_identity.value_or(scenario.identity);
    auto client =
        scenario.client == ClientKind::real
            ? request_service(std::move(client_pair->client), SecretBytes(secret), scenario.request)
            : mistaken_client(std::move(client_pair->client), secret, scenario.spelling);
    asio::co_spawn(io, as_optional(std::move(client)),
                   [&answer](std::exception_ptr, std::optional<Result<IpcResponse>> result) {
                       answer = std::move(result);
                   });
    io.restart();
    io.run();
    asio::co_spawn(io, service.shut_down(), [](std::exception_ptr) {});
    io.restart();
    io.run();

    if (!answer) {
        return fail("the client never finished");
    }
    if (const std::string got = summary(*answer); got != scenario.expected) {
        return fail("the client got \"" + got + "\", expected \"" + scenario.expected + "\"");
    }
    if (!frames) {
        return fail("the relay recorded nothing");
    }
    vector.frames = std::move(*frames);
    vector.service_random = tape.taken();
    return vector;
}

IpcRequest renew(std::string id) {
    return IpcRequest{IpcRequest::RenewLease{std::move(id)}};
}

std::vector<Scenario> scenarios() {
    const std::string digest = digest_of("kavo_core.exe");
    const std::string long_id = long_identity();
    const VectorServiceState idle{digest, std::nullopt, false};
    auto leased = [&digest](std::int64_t expires_in_ms, bool core_running = false) {
        return VectorServiceState{digest, VectorLease{LEASE_ID, expires_in_ms}, core_running};
    };
    const IpcRequest acquire{IpcRequest::AcquireLease{}};
    const IpcRequest status{IpcRequest::Status{}};

    std::vector<Scenario> list = {
        {"Status, no lease", SHORT_IDENTITY, idle, status, "Status"},
        {"AcquireLease, granted", SHORT_IDENTITY, idle, acquire, "Lease"},
        {"RenewLease of the live lease", SHORT_IDENTITY, leased(12000), renew(LEASE_ID), "Ok"},
        {"StartCore under the live lease", SHORT_IDENTITY, leased(25000),
         IpcRequest{IpcRequest::StartCore{LEASE_ID}}, "Ok"},
        {"Status, the core running under a lease with 27.5 s left, 256-byte identity", long_id,
         leased(27500, true), status, "Status running leased"},
        {"StopCore, which also ends the lease", SHORT_IDENTITY, leased(20000, true),
         IpcRequest{IpcRequest::StopCore{LEASE_ID}}, "Ok"},
        {"ReleaseLease, 256-byte identity", long_id, leased(9000),
         IpcRequest{IpcRequest::ReleaseLease{LEASE_ID}}, "Ok"},
        {"AcquireLease refused: another client owns the lease", SHORT_IDENTITY, leased(15000),
         acquire, std::string(LEASE_OWNED_BY_ANOTHER_CLIENT)},
        {"RenewLease refused: the lease expired 1.5 s ago", SHORT_IDENTITY, leased(-1500),
         renew(LEASE_ID), std::string(LEASE_NO_LONGER_VALID)},
    };
    Scenario unauthorized{"Unauthorized: the request proof covers a non-canonical spelling",
                          SHORT_IDENTITY, leased(12000), renew(LEASE_ID),
                          std::string(UNAUTHORIZED_REQUEST_MESSAGE)};
    unauthorized.client = ClientKind::signs_other_spelling;
    unauthorized.spelling = "{ \"RenewLease\": { \"lease_id\": \"" + LEASE_ID + "\" } }";
    unauthorized.client_mistake =
        "The request proof covers the request as the client spelled it, with spaces, instead of "
        "its canonical form; the service re-serialises the request, the proof does not verify, "
        "and the request is not executed.";
    list.push_back(std::move(unauthorized));

    Scenario wrong_proof{"Wrong client proof: the connection ends without a further frame",
                         SHORT_IDENTITY, idle, status, std::string(CLIENT_NO_SESSION_ERROR)};
    wrong_proof.client_identity = other_identity(SHORT_IDENTITY);
    wrong_proof.client_mistake =
        "The client answers the challenge with a secret other than the identity "
        "(client_identity_hex); the service closes the pipe without sending anything.";
    list.push_back(std::move(wrong_proof));
    return list;
}

int run(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: protocol-vectors OUTPUT.json\n";
        return 2;
    }
    std::vector<ProtocolVector> vectors;
    for (const Scenario& scenario : scenarios()) {
        auto vector = record(scenario);
        if (!vector) {
            std::cerr << "protocol-vectors: " << scenario.name << ": " << vector.error() << "\n";
            return 1;
        }
        vectors.push_back(std::move(vector).value());
    }
    const std::string text = protocol_vectors_json(vectors);
    auto read_back = parse_protocol_vectors(text);
    if (!read_back || *read_back != vectors) {
        std::cerr << "protocol-vectors: the file does not read back as written\n";
        return 1;
    }
    std::ofstream out(argv[1], std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (!out.good()) {
        std::cerr << "protocol-vectors: cannot write " << argv[1] << "\n";
        return 1;
    }
    std::cout << "wrote " << vectors.size() << " vectors to " << argv[1] << "\n";
    return 0;
}

}  // namespace
}  // namespace kavo

int main(int argc, char** argv) {
    try {
        return kavo::run(argc, argv);
    } catch (const std::exception& error) {
        std::cerr << "protocol-vectors: " << error.what() << "\n";
        return 1;
    }
}
