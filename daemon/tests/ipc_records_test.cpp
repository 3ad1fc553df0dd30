// Frames, records, strict JSON, identifiers and proofs of the service pipe.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ipc/client_records.h"
#include "ipc/frame.h"
#include "ipc/json_reader.h"
#include "ipc/proof.h"
#include "ipc/protocol_id.h"
#include "ipc/record_json.h"
#include "platform/crypto.h"
#include "platform/hex.h"

namespace kavo {
namespace {

const std::string ID_A(32, 'a');
const std::string ID_B(32, 'b');
const std::string SECRET(40, 'k');
const std::string NUL(1, '\0');

TEST(FrameTest, LengthRuleAndPrefix) {
    EXPECT_FALSE(is_valid_frame_length(0));
    EXPECT_TRUE(is_valid_frame_length(1));
    EXPECT_TRUE(is_valid_frame_length(65536));
    EXPECT_FALSE(is_valid_frame_length(65537));
    EXPECT_EQ(encode_frame_length(98), (FramePrefix{0x62, 0, 0, 0}));
    EXPECT_EQ(encode_frame_length(124), (FramePrefix{0x7C, 0, 0, 0}));
    EXPECT_EQ(decode_frame_length(FramePrefix{0x00, 0x00, 0x01, 0x00}), 65536u);
}

TEST(FrameTest, ScanNeedsMoreThenCompletesOrRefuses) {
    std::vector<std::uint8_t> bytes = {3, 0, 0};
    EXPECT_EQ(scan_frame(bytes).state, FrameScan::need_more);
    bytes.push_back(0);
    bytes.insert(bytes.end(), {'a', 'b'});
    EXPECT_EQ(scan_frame(bytes).state, FrameScan::need_more);
    bytes.push_back('c');
    const auto done = scan_frame(bytes);
    EXPECT_EQ(done.state, FrameScan::complete);
    EXPECT_EQ(done.body_length, 3u);
    EXPECT_EQ(done.frame_size, 7u);
    const std::vector<std::uint8_t> zero = {0, 0, 0, 0};
    EXPECT_EQ(scan_frame(zero).state, FrameScan::invalid_length);
    const std::vector<std::uint8_t> too_long = {0x01, 0x00, 0x01, 0x00};
    EXPECT_EQ(scan_frame(too_long).state, FrameScan::invalid_length);
}

TEST(RecordJsonTest, DaemonRecordsHaveFixedLengths) {
    EXPECT_EQ(serialize(IpcChallenge{ID_A, ID_B}),
              "{\"challenge_id\":\"" + ID_A + "\",\"challenge\":\"" + ID_B + "\"}");
    EXPECT_EQ(serialize(IpcChallenge{ID_A, ID_B}).size(), 98u);
    EXPECT_EQ(serialize(IpcServerSession{ID_A, std::string(64, 'f')}).size(), 124u);
}

TEST(RecordJsonTest, RequestsAndResponsesInTheirCanonicalForms) {
    struct Case {
        IpcRequest request;
        const char* json;
    } requests[] = {
        {{IpcRequest::AcquireLease{}}, "\"AcquireLease\""},
        {{IpcRequest::Status{}}, "\"Status\""},
        {{IpcRequest::RenewLease{"L"}}, "{\"RenewLease\":{\"lease_id\":\"L\"}}"},
        {{IpcRequest::ReleaseLease{"L"}}, "{\"ReleaseLease\":{\"lease_id\":\"L\"}}"},
        {{IpcRequest::StartCore{"L"}}, "{\"StartCore\":{\"lease_id\":\"L\"}}"},
        {{IpcRequest::StopCore{"L"}}, "{\"StopCore\":{\"lease_id\":\"L\"}}"},
    };
    for (const auto& c : requests) {
        EXPECT_EQ(canonical_request_json(c.request), c.json);
        const auto parsed = parse_request(c.json);
        ASSERT_TRUE(parsed) << c.json << ": " << parsed.error();
        EXPECT_EQ(*parsed, c.request) << c.json;
    }
    struct ResponseCase {
        IpcResponse response;
        const char* json;
    } responses[] = {
        {{IpcResponse::Ok{}}, "\"Ok\""},
        {{IpcResponse::Lease{"L", 30}},
         "{\"Lease\":{\"lease_id\":\"L\",\"expires_in_seconds\":30}}"},
        {{IpcResponse::Error{"Invalid service request"}},
         "{\"Error\":\"Invalid service request\"}"},
        {{IpcResponse::Status{false, std::nullopt, std::nullopt, std::nullopt, std::nullopt, false,
                              std::nullopt}},
         "{\"Status\":{\"running\":false,\"core_binary_name\":null,\"protocol_version\":null,"
         "\"daemon_version\":null,\"core_sha256\":null,\"lease_active\":false,"
         "\"lease_expires_in_seconds\":null}}"},
        {{IpcResponse::Status{true, "kavo_core.exe", 5, "0.2.1", "ab", true,
                              18446744073709551615u}},
         "{\"Status\":{\"running\":true,\"core_binary_name\":\"kavo_core.exe\","
         "\"protocol_version\":5,\"daemon_version\":\"0.2.1\",\"core_sha256\":\"ab\","
         "\"lease_active\":true,\"lease_expires_in_seconds\":18446744073709551615}}"},
    };
    for (const auto& c : responses) {
        EXPECT_EQ(serialize(c.response), c.json);
        const auto parsed = parse_response(c.json);
        ASSERT_TRUE(parsed) << c.json << ": " << parsed.error();
        EXPECT_EQ(*parsed, c.response) << c.json;
    }
}

TEST(RecordJsonTest, StringEscaping) {
    const std::string message = std::string("q\"b\\s/\b\t\n\f\r") + '\x01' + '\x1f' + '\x7f' +
                                "\xC3\xA9" + std::string(1, '\0');
    EXPECT_EQ(serialize(IpcResponse{IpcResponse::Error{message}}),
              "{\"Error\":\"q\\\"b\\\\s/\\b\\t\\n\\f\\r\\u0001\\u001f\x7f\xC3\xA9\\u0000\"}");
}

TEST(RecordJsonTest, StrictReaderOfSessionRequests) {
    const std::string proof(64, 'c');
    const std::string canonical = "{\"session_id\":\"" + ID_A +
                                  "\",\"request\":\"AcquireLease\",\"proof\":\"" + proof + "\"}";
    struct Case {
        const char* what;
        std::string body;
        bool accepted;
    } cases[] = {
        {"canonical", canonical, true},
        {"reordered members",
         "{\"proof\":\"" + proof + "\",\"request\":\"AcquireLease\",\"session_id\":\"" + ID_A +
             "\"}",
         true},
        {"unknown member ignored",
         "{\"session_id\":\"" + ID_A + "\",\"extra\":[1,{\"x\":null}],\"request\":\"Status\"," +
             "\"proof\":\"" + proof + "\"}",
         true},
        {"surrounding white space", " \t\r\n" + canonical + " \n", true},
        {"trailing x", canonical + "x", false},
        {"trailing vertical tab", canonical + "\v", false},
        {"NUL and garbage after", canonical + NUL + "garbage", false},
        {"NUL alone after", canonical + NUL, false},
        {"NUL inside a string",
         "{\"session_id\":\"" + ID_A + NUL + "\",\"request\":\"Status\",\"proof\":\"" + proof +
             "\"}",
         false},
        {"duplicate member",
         "{\"session_id\":\"" + ID_A + "\",\"session_id\":\"" + ID_B +
             "\",\"request\":\"Status\",\"proof\":\"" + proof + "\"}",
         false},
        {"missing proof", "{\"session_id\":\"" + ID_A + "\",\"request\":\"Status\"}", false},
        {"unknown variant",
         "{\"session_id\":\"" + ID_A + "\",\"request\":\"Reboot\",\"proof\":\"" + proof + "\"}",
         false},
        {"renew without lease_id",
         "{\"session_id\":\"" + ID_A + "\",\"request\":{\"RenewLease\":{}},\"proof\":\"" + proof +
             "\"}",
         false},
        {"not an object", "[1,2]", false},
        {"not JSON", "{", false},
        {"empty", "", false},
    };
    for (const auto& c : cases) {
        const auto parsed = parse_session_request(c.body);
        EXPECT_EQ(static_cast<bool>(parsed), c.accepted) << c.what;
    }
    // Nesting: 128 levels inside an ignored member are fine, 129 are not.
    const auto nested = [&](int depth) {
        return "{\"x\":" + std::string(depth - 1, '[') + std::string(depth - 1, ']') +
               ",\"session_id\":\"" + ID_A + "\",\"request\":\"Status\",\"proof\":\"" + proof +
               "\"}";
    };
    EXPECT_TRUE(parse_session_request(nested(128)));
    EXPECT_FALSE(parse_session_request(nested(129)));
}

TEST(RecordJsonTest, ClientProofParsing) {
    const auto parsed = parse_client_proof("{\"proof\":\"p\",\"challenge_id\":\"c\"}");
    ASSERT_TRUE(parsed) << parsed.error();
    EXPECT_EQ(parsed->challenge_id, "c");
    EXPECT_EQ(parsed->proof, "p");

    const std::string valid = serialize(IpcClientProof{ID_A, std::string(64, 'c')});
    struct Case {
        const char* what;
        std::string body;
        bool accepted;
    } cases[] = {
        {"as written", valid, true},
        {"trailing white space", valid + " \t\r\n", true},
        {"missing proof", "{\"challenge_id\":\"c\"}", false},
        {"number for a string", "{\"challenge_id\":1,\"proof\":\"p\"}", false},
        {"NUL and garbage after", valid + NUL + "garbage", false},
        {"NUL alone after", valid + NUL, false},
        {"trailing x", valid + "x", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(static_cast<bool>(parse_client_proof(c.body)), c.accepted) << c.what;
    }
}

TEST(ClientRecordsTest, DaemonRecordsReadStrictly) {
    const std::string challenge = serialize(IpcChallenge{ID_A, ID_B});
    const std::string grant = serialize(IpcServerSession{ID_B, std::string(64, 'f')});
    const std::string response =
        session_response_json(std::string(64, 'e'), serialize(IpcResponse{IpcResponse::Ok{}}));
    struct Case {
        const char* what;
        bool accepted;
        bool parsed;
    } cases[] = {
        {"challenge", true, static_cast<bool>(parse_challenge(challenge))},
        {"challenge, NUL and garbage", false,
         static_cast<bool>(parse_challenge(challenge + NUL + "garbage"))},
        {"grant", true, static_cast<bool>(parse_server_session(grant))},
        {"grant, trailing x", false, static_cast<bool>(parse_server_session(grant + "x"))},
        {"response", true, static_cast<bool>(parse_session_response(response))},
        {"response, NUL alone after", false,
         static_cast<bool>(parse_session_response(response + NUL))},
        {"response missing its proof", false,
         static_cast<bool>(parse_session_response("{\"response\":\"Ok\"}"))},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.parsed, c.accepted) << c.what;
    }
    const auto envelope = parse_session_response(response);
    ASSERT_TRUE(envelope) << envelope.error();
    EXPECT_EQ(envelope->proof, std::string(64, 'e'));
    EXPECT_EQ(envelope->response, IpcResponse{IpcResponse::Ok{}});
    EXPECT_EQ(session_request_json(ID_A, "\"Status\"", "p"),
              "{\"session_id\":\"" + ID_A + "\",\"request\":\"Status\",\"proof\":\"p\"}");
}

TEST(StrictJsonTest, ExtentOfTheTopLevelValue) {
    struct Case {
        std::string text;
        std::size_t end;
    } cases[] = {
        {"{\"a\":\"}\"}", 9},   // a closing brace inside a string
        {"\"a\\\"b\" x", 6},    // an escaped quote does not close
        {"\"a\\\\\" x", 5},     // an escaped backslash does not escape the quote
        {"  [1,[2],{}] ", 12},  // leading white space, nested brackets
        {"{\"a\":[\"]\"]}x", 11},
        {"{}}", 2},
        {"true false", 4},
        {"12\t", 2},
        {"-1e5", 4},
        {"{\"a\":1", 6},  // never closes
        {"\"open", 5},
        {"", 0},
        {" \r\n", 3},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(json_value_end(c.text), c.end) << c.text;
    }
}

TEST(StrictJsonTest, NothingButWhiteSpaceAroundTheDocument) {
    struct Case {
        const char* what;
        std::string text;
        std::string_view error;  // empty: accepted
    } cases[] = {
        {"object", "{\"a\":1}", ""},
        {"the four white-space bytes around", " \t\r\n{\"a\":1} \t\r\n", ""},
        {"scalar with white space after", "42 \n", ""},
        {"NUL and garbage after", "{}" + NUL + "garbage", JSON_NUL_BYTE_ERROR},
        {"NUL alone after", "{}" + NUL, JSON_NUL_BYTE_ERROR},
        {"NUL before", NUL + "{}", JSON_NUL_BYTE_ERROR},
        {"NUL raw inside a string", "{\"a\":\"x" + NUL + "y\"}", JSON_NUL_BYTE_ERROR},
        {"escaped NUL inside a string", "{\"a\":\"x\\u0000y\"}", ""},
        {"trailing x", "{}x", JSON_TRAILING_TEXT_ERROR},
        {"trailing x after white space", "{} x", JSON_TRAILING_TEXT_ERROR},
        {"a second document", "{}{}", JSON_TRAILING_TEXT_ERROR},
        {"one bracket too many", "[1]]", JSON_TRAILING_TEXT_ERROR},
        {"text after a string", "\"s\"x", JSON_TRAILING_TEXT_ERROR},
        {"two scalars", "1 2", JSON_TRAILING_TEXT_ERROR},
        {"trailing form feed", "{}\f", JSON_TRAILING_TEXT_ERROR},
        {"trailing vertical tab", "{}\v", JSON_TRAILING_TEXT_ERROR},
        {"trailing no-break space", "{}\xC2\xA0", JSON_TRAILING_TEXT_ERROR},
        {"byte order mark", "\xEF\xBB\xBF{}", JSON_SYNTAX_ERROR},
        {"scalar run into text", "1x", JSON_SYNTAX_ERROR},
        {"unclosed", "{\"a\":1", JSON_SYNTAX_ERROR},
    };
    for (const auto& c : cases) {
        const auto parsed = parse_strict_json(c.text);
        if (c.error.empty()) {
            EXPECT_TRUE(parsed) << c.what << ": " << (parsed ? "" : parsed.error());
        } else {
            ASSERT_FALSE(parsed) << c.what;
            EXPECT_EQ(parsed.error(), c.error) << c.what;
        }
    }
    const auto escaped = parse_strict_json("{\"a\":\"x\\u0000y\"}");
    ASSERT_TRUE(escaped);
    EXPECT_EQ((*escaped)["a"].get<std::string>(), "x" + NUL + "y");
}

TEST(ErrorResponseTest, TextBecomesValidUtf8) {
    struct Case {
        const char* what;
        std::string text;
        std::string message;
    } cases[] = {
        {"ASCII", "Failed to stage: access denied", "Failed to stage: access denied"},
        {"valid non-ASCII kept", "caf\xC3\xA9 \xE2\x82\xAC", "caf\xC3\xA9 \xE2\x82\xAC"},
        {"stray continuation byte", "a\x80z", "a\xEF\xBF\xBDz"},
        {"two bad bytes, two replacements", "\xFF\xFE", "\xEF\xBF\xBD\xEF\xBF\xBD"},
        {"sequence cut at the end", "cut \xE2\x82", "cut \xEF\xBF\xBD"},
        {"encoded surrogate", "\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(error_response(c.text), IpcResponse{IpcResponse::Error{c.message}}) << c.what;
    }
}

TEST(ProtocolIdTest, VersionFourLayout) {
    std::array<std::uint8_t, PROTOCOL_ID_BYTES> ones;
    ones.fill(0xFF);
    EXPECT_EQ(format_protocol_id(ones), "ffffffffffff4fffbfffffffffffffff");
    std::array<std::uint8_t, PROTOCOL_ID_BYTES> zeros{};
    EXPECT_EQ(format_protocol_id(zeros), "00000000000040008000000000000000");
    for (int i = 0; i < 32; ++i) {
        const auto id = new_protocol_id();
        ASSERT_TRUE(id) << id.error();
        ASSERT_EQ(id->size(), 32u);
        EXPECT_EQ((*id)[12], '4');
        EXPECT_NE(std::string("89ab").find((*id)[16]), std::string::npos) << *id;
        for (char c : *id) {
            EXPECT_TRUE((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')) << *id;
        }
    }
}

TEST(ProofTest, MessageLayoutAndVerification) {
    const std::string message = proof_message("client-auth", ID_A, ID_B, "auth-v5");
    EXPECT_EQ(message.size(), 85u);
    EXPECT_EQ(message, std::string("client-auth") + '\0' + ID_A + '\0' + ID_B + '\0' + "auth-v5");

    const std::string proof = compute_proof(SECRET, "client-auth", ID_A, ID_B, "auth-v5");
    ASSERT_EQ(proof.size(), 64u);
    std::string upper = proof;
    for (char& c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    struct Case {
        const char* what;
        std::string proof;
        bool accepted;
    } cases[] = {
        {"lowercase", proof, true},
        {"uppercase", upper, true},
        {"63 digits", proof.substr(0, 63), false},
        {"65 digits", proof + "0", false},
        {"non-hex character", proof.substr(0, 63) + "g", false},
        {"last byte differs", proof.substr(0, 63) + (proof[63] == '0' ? "1" : "0"), false},
        {"first byte differs", (proof[0] == '0' ? "1" : "0") + proof.substr(1), false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(verify_proof(SECRET, "client-auth", ID_A, ID_B, "auth-v5", c.proof), c.accepted)
            << c.what;
    }
    EXPECT_FALSE(verify_proof(SECRET + "x", "client-auth", ID_A, ID_B, "auth-v5", proof));
    EXPECT_FALSE(verify_proof(SECRET, "server-session", ID_A, ID_B, "auth-v5", proof));
}

TEST(ProofTest, SecretLongerThanTheBlockIsHashedFirst) {
    // HMAC with a 256-byte key equals HMAC with that key's SHA-256 digest.
    const std::string long_secret(256, 'z');
    const auto digest = sha256(std::string_view(long_secret));
    const std::string hashed_key(reinterpret_cast<const char*>(digest.data()), digest.size());
    const std::string proof = compute_proof(long_secret, "client-auth", ID_A, ID_B, "auth-v5");
    EXPECT_EQ(proof, compute_proof(hashed_key, "client-auth", ID_A, ID_B, "auth-v5"));
    EXPECT_TRUE(verify_proof(long_secret, "client-auth", ID_A, ID_B, "auth-v5", proof));
}

}  // namespace
}  // namespace kavo
