#include "ipc/record_json.h"

#include <optional>
#include <type_traits>

#include "ipc/json_reader.h"
#include "ipc/json_writer.h"

namespace kavo {
namespace {

// Variants of IpcRequest that carry a lease_id, with their tags.
template <class T>
constexpr std::string_view lease_variant_name() {
    if constexpr (std::is_same_v<T, IpcRequest::RenewLease>) {
        return "RenewLease";
    } else if constexpr (std::is_same_v<T, IpcRequest::ReleaseLease>) {
        return "ReleaseLease";
    } else if constexpr (std::is_same_v<T, IpcRequest::StartCore>) {
        return "StartCore";
    } else {
        static_assert(std::is_same_v<T, IpcRequest::StopCore>);
        return "StopCore";
    }
}

void write_request(JsonWriter& out, const IpcRequest& request) {
    std::visit(
        [&out](const auto& variant) {
            using T = std::decay_t<decltype(variant)>;
            if constexpr (std::is_same_v<T, IpcRequest::AcquireLease>) {
                out.string("AcquireLease");
            } else if constexpr (std::is_same_v<T, IpcRequest::Status>) {
                out.string("Status");
            } else {
                out.raw("{").member(lease_variant_name<T>(), true).raw("{");
                out.member("lease_id", true).string(variant.lease_id).raw("}}");
            }
        },
        request.value);
}

void write_optional(JsonWriter& out, const std::optional<std::string>& value) {
    if (value) {
        out.string(*value);
    } else {
        out.null();
    }
}

template <class N>
void write_optional(JsonWriter& out, const std::optional<N>& value) {
    if (value) {
        out.unsigned_number(*value);
    } else {
        out.null();
    }
}

void write_response(JsonWriter& out, const IpcResponse& response) {
    std::visit(
        [&out](const auto& variant) {
            using T = std::decay_t<decltype(variant)>;
            if constexpr (std::is_same_v<T, IpcResponse::Ok>) {
                out.string("Ok");
            } else if constexpr (std::is_same_v<T, IpcResponse::Lease>) {
                out.raw("{").member("Lease", true).raw("{");
                out.member("lease_id", true).string(variant.lease_id);
                out.member("expires_in_seconds").unsigned_number(variant.expires_in_seconds);
                out.raw("}}");
            } else if constexpr (std::is_same_v<T, IpcResponse::Error>) {
                out.raw("{").member("Error", true).string(variant.message).raw("}");
            } else {
                static_assert(std::is_same_v<T, IpcResponse::Status>);
                out.raw("{").member("Status", true).raw("{");
                out.member("running", true).boolean(variant.running);
                out.member("core_binary_name");
                write_optional(out, variant.core_binary_name);
                out.member("protocol_version");
                write_optional(out, variant.protocol_version);
                out.member("daemon_version");
                write_optional(out, variant.daemon_version);
                out.member("core_sha256");
                write_optional(out, variant.core_sha256);
                out.member("lease_active").boolean(variant.lease_active);
                out.member("lease_expires_in_seconds");
                write_optional(out, variant.lease_expires_in_seconds);
                out.raw("}}");
            }
        },
        response.value);
}

template <class T>
Result<IpcRequest> lease_request(const JsonValue& fields) {
    KAVO_TRY_OK(expect_object(fields, lease_variant_name<T>()));
    KAVO_TRY(std::string lease_id, string_member(fields, "lease_id"));
    return IpcRequest{T{std::move(lease_id)}};
}

Result<IpcRequest> request_from(const JsonValue& value) {
    if (value.is_string()) {
        const auto& name = value.get_ref<const std::string&>();
        if (name == "AcquireLease") {
            return IpcRequest{IpcRequest::AcquireLease{}};
        }
        if (name == "Status") {
            return IpcRequest{IpcRequest::Status{}};
        }
        if (name == "RenewLease" || name == "ReleaseLease" || name == "StartCore" ||
            name == "StopCore") {
            return fail(missing_member_error("lease_id"));
        }
        return fail(unknown_variant_error(name));
    }
    KAVO_TRY(const JsonTagged tagged, single_member(value, "request"));
    if (tagged.name == "RenewLease") {
        return lease_request<IpcRequest::RenewLease>(*tagged.content);
    }
    if (tagged.name == "ReleaseLease") {
        return lease_request<IpcRequest::ReleaseLease>(*tagged.content);
    }
    if (tagged.name == "StartCore") {
        return lease_request<IpcRequest::StartCore>(*tagged.content);
    }
    if (tagged.name == "StopCore") {
        return lease_request<IpcRequest::StopCore>(*tagged.content);
    }
    if (tagged.name == "AcquireLease" || tagged.name == "Status") {
        return fail(wrong_type_error(tagged.name));
    }
    return fail(unknown_variant_error(tagged.name));
}

}  // namespace

std::string serialize(const IpcChallenge& record) {
    JsonWriter out;
    out.raw("{").member("challenge_id", true).string(record.challenge_id);
    out.member("challenge").string(record.challenge).raw("}");
    return std::move(out).take();
}

std::string serialize(const IpcClientProof& record) {
    JsonWriter out;
    out.raw("{").member("challenge_id", true).string(record.challenge_id);
    out.member("proof").string(record.proof).raw("}");
    return std::move(out).take();
}

std::string serialize(const IpcServerSession& record) {
    JsonWriter out;
    out.raw("{").member("session_id", true).string(record.session_id);
    out.member("proof").string(record.proof).raw("}");
    return std::move(out).take();
}

std::string serialize(const IpcRequest& record) {
    JsonWriter out;
    write_request(out, record);
    return std::move(out).take();
}

std::string serialize(const IpcResponse& record) {
    JsonWriter out;
    write_response(out, record);
    return std::move(out).take();
}

std::string canonical_request_json(const IpcRequest& request) {
    return serialize(request);
}

std::string session_response_json(std::string_view proof, std::string_view response_json) {
    JsonWriter out;
    out.raw("{").member("proof", true).string(proof);
    out.member("response").raw(response_json).raw("}");
    return std::move(out).take();
}

Result<IpcClientProof> parse_client_proof(std::string_view body) {
    KAVO_TRY(const JsonValue object, parse_strict_object(body, "IpcClientProof"));
    KAVO_TRY(std::string challenge_id, string_member(object, "challenge_id"));
    KAVO_TRY(std::string proof, string_member(object, "proof"));
    return IpcClientProof{std::move(challenge_id), std::move(proof)};
}

Result<IpcSessionRequest> parse_session_request(std::string_view body) {
    KAVO_TRY(const JsonValue object, parse_strict_object(body, "IpcSessionRequest"));
    KAVO_TRY(std::string session_id, string_member(object, "session_id"));
    KAVO_TRY(const JsonValue* request_value, find_member(object, "request"));
    KAVO_TRY(IpcRequest request, request_from(*request_value));
    KAVO_TRY(std::string proof, string_member(object, "proof"));
    return IpcSessionRequest{std::move(session_id), std::move(request), std::move(proof)};
}

Result<IpcRequest> parse_request(std::string_view text) {
    KAVO_TRY(const JsonValue document, parse_strict_json(text));
    return request_from(document);
}

}  // namespace kavo
