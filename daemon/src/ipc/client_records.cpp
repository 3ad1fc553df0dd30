#include "ipc/client_records.h"

#include <cstdint>
#include <limits>
#include <optional>

#include "ipc/json_reader.h"
#include "ipc/json_writer.h"

namespace kavo {
namespace {

Result<IpcResponse> lease_response(const JsonValue& fields) {
    KAVO_TRY_OK(expect_object(fields, "Lease"));
    KAVO_TRY(std::string lease_id, string_member(fields, "lease_id"));
    KAVO_TRY(const std::uint64_t expires, unsigned_member(fields, "expires_in_seconds"));
    return IpcResponse{IpcResponse::Lease{std::move(lease_id), expires}};
}

Result<IpcResponse> status_response(const JsonValue& fields) {
    KAVO_TRY_OK(expect_object(fields, "Status"));
    IpcResponse::Status status;
    KAVO_TRY(status.running, bool_member(fields, "running"));
    KAVO_TRY(status.core_binary_name, optional_string_member(fields, "core_binary_name"));
    KAVO_TRY(const auto protocol_version,
             optional_unsigned_member(fields, "protocol_version",
                                      std::numeric_limits<std::uint32_t>::max()));
    if (protocol_version) {
        status.protocol_version = static_cast<std::uint32_t>(*protocol_version);
    }
    KAVO_TRY(status.daemon_version, optional_string_member(fields, "daemon_version"));
    KAVO_TRY(status.core_sha256, optional_string_member(fields, "core_sha256"));
    KAVO_TRY(status.lease_active, bool_member(fields, "lease_active"));
    KAVO_TRY(status.lease_expires_in_seconds,
             optional_unsigned_member(fields, "lease_expires_in_seconds",
                                      std::numeric_limits<std::uint64_t>::max()));
    return IpcResponse{std::move(status)};
}

Result<IpcResponse> response_from(const JsonValue& value) {
    if (value.is_string()) {
        const auto& name = value.get_ref<const std::string&>();
        if (name == "Ok") {
            return IpcResponse{IpcResponse::Ok{}};
        }
        if (name == "Lease" || name == "Error" || name == "Status") {
            return fail(wrong_type_error(name));
        }
        return fail(unknown_variant_error(name));
    }
    KAVO_TRY(const JsonTagged tagged, single_member(value, "response"));
    if (tagged.name == "Lease") {
        return lease_response(*tagged.content);
    }
    if (tagged.name == "Error") {
        if (!tagged.content->is_string()) {
            return fail(wrong_type_error(tagged.name));
        }
        return IpcResponse{IpcResponse::Error{tagged.content->get<std::string>()}};
    }
    if (tagged.name == "Status") {
        return status_response(*tagged.content);
    }
    if (tagged.name == "Ok") {
        return fail(wrong_type_error(tagged.name));
    }
    return fail(unknown_variant_error(tagged.name));
}

}  // namespace

std::string session_request_json(std::string_view session_id, std::string_view request_json,
                                 std::string_view proof) {
    JsonWriter out;
    out.raw("{").member("session_id", true).string(session_id);
    out.member("request").raw(request_json);
    out.member("proof").string(proof).raw("}");
    return std::move(out).take();
}

Result<IpcChallenge> parse_challenge(std::string_view body) {
    KAVO_TRY(const JsonValue object, parse_strict_object(body, "IpcChallenge"));
    KAVO_TRY(std::string challenge_id, string_member(object, "challenge_id"));
    KAVO_TRY(std::string challenge, string_member(object, "challenge"));
    return IpcChallenge{std::move(challenge_id), std::move(challenge)};
}

Result<IpcServerSession> parse_server_session(std::string_view body) {
    KAVO_TRY(const JsonValue object, parse_strict_object(body, "IpcServerSession"));
    KAVO_TRY(std::string session_id, string_member(object, "session_id"));
    KAVO_TRY(std::string proof, string_member(object, "proof"));
    return IpcServerSession{std::move(session_id), std::move(proof)};
}

Result<IpcSessionResponse> parse_session_response(std::string_view body) {
    KAVO_TRY(const JsonValue object, parse_strict_object(body, "IpcSessionResponse"));
    KAVO_TRY(std::string proof, string_member(object, "proof"));
    KAVO_TRY(const JsonValue* response_value, find_member(object, "response"));
    KAVO_TRY(IpcResponse response, response_from(*response_value));
    return IpcSessionResponse{std::move(proof), std::move(response)};
}

Result<IpcResponse> parse_response(std::string_view text) {
    KAVO_TRY(const JsonValue document, parse_strict_json(text));
    return response_from(document);
}

}  // namespace kavo
