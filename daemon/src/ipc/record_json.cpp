#include "ipc/record_json.h"

#include <limits>
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

// A record must be an object; the name is used in the error when it is not.
Result<const JsonValue*> as_object(const JsonValue& value, std::string_view name) {
    if (!value.is_object()) {
        return fail(wrong_type_error(name));
    }
    return &value;
}

// The single member of a variant given as an object.
struct Tagged {
    std::string name;
    const JsonValue* content;
};

Result<Tagged> single_member(const JsonValue& value, std::string_view what) {
    if (!value.is_object() || value.size() != 1) {
        return fail(wrong_type_error(what));
    }
    return Tagged{value.begin().key(), &value.begin().value()};
}

Result<std::optional<std::string>> optional_string_member(const JsonValue& object,
                                                          std::string_view name) {
    auto member = find_member(object, name);
    if (!member) {
        return fail(std::move(member).error());
    }
    if ((*member)->is_null()) {
        return std::optional<std::string>();
    }
    if (!(*member)->is_string()) {
        return fail(wrong_type_error(name));
    }
    return std::optional<std::string>((*member)->get_ref<const std::string&>());
}

Result<std::optional<std::uint64_t>> optional_unsigned_member(const JsonValue& object,
                                                              std::string_view name,
                                                              std::uint64_t max) {
    auto member = find_member(object, name);
    if (!member) {
        return fail(std::move(member).error());
    }
    if ((*member)->is_null()) {
        return std::optional<std::uint64_t>();
    }
    if (!(*member)->is_number_unsigned() || (*member)->get<std::uint64_t>() > max) {
        return fail(wrong_type_error(name));
    }
    return std::optional<std::uint64_t>((*member)->get<std::uint64_t>());
}

template <class T>
Result<IpcRequest> lease_request(const JsonValue& fields) {
    auto object = as_object(fields, lease_variant_name<T>());
    if (!object) {
        return fail(std::move(object).error());
    }
    auto lease_id = string_member(fields, "lease_id");
    if (!lease_id) {
        return fail(std::move(lease_id).error());
    }
    return IpcRequest{T{std::move(lease_id).value()}};
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
    auto tagged = single_member(value, "request");
    if (!tagged) {
        return fail(std::move(tagged).error());
    }
    const std::string& name = tagged->name;
    if (name == "RenewLease") {
        return lease_request<IpcRequest::RenewLease>(*tagged->content);
    }
    if (name == "ReleaseLease") {
        return lease_request<IpcRequest::ReleaseLease>(*tagged->content);
    }
    if (name == "StartCore") {
        return lease_request<IpcRequest::StartCore>(*tagged->content);
    }
    if (name == "StopCore") {
        return lease_request<IpcRequest::StopCore>(*tagged->content);
    }
    if (name == "AcquireLease" || name == "Status") {
        return fail(wrong_type_error(name));
    }
    return fail(unknown_variant_error(name));
}

Result<IpcResponse> lease_response(const JsonValue& fields) {
    auto object = as_object(fields, "Lease");
    if (!object) {
        return fail(std::move(object).error());
    }
    auto lease_id = string_member(fields, "lease_id");
    if (!lease_id) {
        return fail(std::move(lease_id).error());
    }
    auto expires = unsigned_member(fields, "expires_in_seconds");
    if (!expires) {
        return fail(std::move(expires).error());
    }
    return IpcResponse{IpcResponse::Lease{std::move(lease_id).value(), *expires}};
}

Result<IpcResponse> status_response(const JsonValue& fields) {
    auto object = as_object(fields, "Status");
    if (!object) {
        return fail(std::move(object).error());
    }
    IpcResponse::Status status;
    auto running = bool_member(fields, "running");
    if (!running) {
        return fail(std::move(running).error());
    }
    status.running = *running;
    auto core_binary_name = optional_string_member(fields, "core_binary_name");
    if (!core_binary_name) {
        return fail(std::move(core_binary_name).error());
    }
    status.core_binary_name = std::move(core_binary_name).value();
    auto protocol_version = optional_unsigned_member(fields, "protocol_version",
                                                     std::numeric_limits<std::uint32_t>::max());
    if (!protocol_version) {
        return fail(std::move(protocol_version).error());
    }
    if (*protocol_version) {
        status.protocol_version = static_cast<std::uint32_t>(**protocol_version);
    }
    auto daemon_version = optional_string_member(fields, "daemon_version");
    if (!daemon_version) {
        return fail(std::move(daemon_version).error());
    }
    status.daemon_version = std::move(daemon_version).value();
    auto core_sha256 = optional_string_member(fields, "core_sha256");
    if (!core_sha256) {
        return fail(std::move(core_sha256).error());
    }
    status.core_sha256 = std::move(core_sha256).value();
    auto lease_active = bool_member(fields, "lease_active");
    if (!lease_active) {
        return fail(std::move(lease_active).error());
    }
    status.lease_active = *lease_active;
    auto expires = optional_unsigned_member(fields, "lease_expires_in_seconds",
                                            std::numeric_limits<std::uint64_t>::max());
    if (!expires) {
        return fail(std::move(expires).error());
    }
    status.lease_expires_in_seconds = *expires;
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
    auto tagged = single_member(value, "response");
    if (!tagged) {
        return fail(std::move(tagged).error());
    }
    const std::string& name = tagged->name;
    if (name == "Lease") {
        return lease_response(*tagged->content);
    }
    if (name == "Error") {
        if (!tagged->content->is_string()) {
            return fail(wrong_type_error(name));
        }
        return IpcResponse{IpcResponse::Error{tagged->content->get<std::string>()}};
    }
    if (name == "Status") {
        return status_response(*tagged->content);
    }
    if (name == "Ok") {
        return fail(wrong_type_error(name));
    }
    return fail(unknown_variant_error(name));
}

// Parses a body that must be an object; `read` turns it into the record.
template <class Read>
auto parse_record(std::string_view body, std::string_view name, Read read)
    -> decltype(read(std::declval<const JsonValue&>())) {
    auto document = parse_strict_json(body);
    if (!document) {
        return fail(std::move(document).error());
    }
    auto object = as_object(*document, name);
    if (!object) {
        return fail(std::move(object).error());
    }
    return read(*document);
}

// Two string members, the shape of three of the records.
template <class Record>
Result<Record> two_strings(const JsonValue& object, std::string_view first,
                           std::string_view second) {
    auto a = string_member(object, first);
    if (!a) {
        return fail(std::move(a).error());
    }
    auto b = string_member(object, second);
    if (!b) {
        return fail(std::move(b).error());
    }
    return Record{std::move(a).value(), std::move(b).value()};
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

std::string session_request_json(std::string_view session_id, std::string_view request_json,
                                 std::string_view proof) {
    JsonWriter out;
    out.raw("{").member("session_id", true).string(session_id);
    out.member("request").raw(request_json);
    out.member("proof").string(proof).raw("}");
    return std::move(out).take();
}

std::string session_response_json(std::string_view proof, std::string_view response_json) {
    JsonWriter out;
    out.raw("{").member("proof", true).string(proof);
    out.member("response").raw(response_json).raw("}");
    return std::move(out).take();
}

Result<IpcChallenge> parse_challenge(std::string_view body) {
    return parse_record(body, "IpcChallenge", [](const JsonValue& object) {
        return two_strings<IpcChallenge>(object, "challenge_id", "challenge");
    });
}

Result<IpcClientProof> parse_client_proof(std::string_view body) {
    return parse_record(body, "IpcClientProof", [](const JsonValue& object) {
        return two_strings<IpcClientProof>(object, "challenge_id", "proof");
    });
}

Result<IpcServerSession> parse_server_session(std::string_view body) {
    return parse_record(body, "IpcServerSession", [](const JsonValue& object) {
        return two_strings<IpcServerSession>(object, "session_id", "proof");
    });
}

Result<IpcSessionRequest> parse_session_request(std::string_view body) {
    return parse_record(
        body, "IpcSessionRequest", [](const JsonValue& object) -> Result<IpcSessionRequest> {
            auto session_id = string_member(object, "session_id");
            if (!session_id) {
                return fail(std::move(session_id).error());
            }
            auto request_value = find_member(object, "request");
            if (!request_value) {
                return fail(std::move(request_value).error());
            }
            auto request = request_from(**request_value);
            if (!request) {
                return fail(std::move(request).error());
            }
            auto proof = string_member(object, "proof");
            if (!proof) {
                return fail(std::move(proof).error());
            }
            return IpcSessionRequest{std::move(session_id).value(), std::move(request).value(),
                                     std::move(proof).value()};
        });
}

Result<IpcSessionResponse> parse_session_response(std::string_view body) {
    return parse_record(
        body, "IpcSessionResponse", [](const JsonValue& object) -> Result<IpcSessionResponse> {
            auto proof = string_member(object, "proof");
            if (!proof) {
                return fail(std::move(proof).error());
            }
            auto response_value = find_member(object, "response");
            if (!response_value) {
                return fail(std::move(response_value).error());
            }
            auto response = response_from(**response_value);
            if (!response) {
                return fail(std::move(response).error());
            }
            return IpcSessionResponse{std::move(proof).value(), std::move(response).value()};
        });
}

Result<IpcRequest> parse_request(std::string_view text) {
    auto document = parse_strict_json(text);
    if (!document) {
        return fail(std::move(document).error());
    }
    return request_from(*document);
}

Result<IpcResponse> parse_response(std::string_view text) {
    auto document = parse_strict_json(text);
    if (!document) {
        return fail(std::move(document).error());
    }
    return response_from(*document);
}

}  // namespace kavo
