#include "protocol_vector.h"

#include <exception>

#include <nlohmann/json.hpp>

#include "ipc/frame.h"
#include "platform/hex.h"

namespace kavo {
namespace {

using OrderedJson = nlohmann::ordered_json;
using Json = nlohmann::json;

constexpr std::string_view ABOUT =
    "Example connections of the KAVO service pipe, written by the protocol-vectors tool from the "
    "service's own code; docs/protocol.md explains every member.";

std::string to_hex(std::string_view bytes) {
    return hex_lower(std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
}

Result<std::string> from_hex(const Json& value, std::string_view what) {
    if (!value.is_string()) {
        return fail(std::string(what) + " is not a string");
    }
    const auto bytes = decode_hex(value.get_ref<const std::string&>());
    if (!bytes) {
        return fail(std::string(what) + " is not hex");
    }
    return std::string(bytes->begin(), bytes->end());
}

Result<const Json*> member(const Json& object, std::string_view name) {
    if (!object.is_object()) {
        return fail("expected an object holding \"" + std::string(name) + "\"");
    }
    const auto found = object.find(name);
    if (found == object.end()) {
        return fail("missing member \"" + std::string(name) + "\"");
    }
    return &*found;
}

Result<std::string> text_member(const Json& object, std::string_view name) {
    KAVO_TRY(const Json* value, member(object, name));
    if (!value->is_string()) {
        return fail("\"" + std::string(name) + "\" is not a string");
    }
    return value->get<std::string>();
}

Result<std::optional<std::string>> optional_hex_member(const Json& object, std::string_view name) {
    if (!object.contains(name)) {
        return std::optional<std::string>();
    }
    KAVO_TRY(std::string bytes, from_hex(object.at(name), name));
    return std::optional<std::string>(std::move(bytes));
}

OrderedJson state_json(const VectorServiceState& state) {
    OrderedJson out = OrderedJson::object();
    out["core_sha256"] = state.core_sha256;
    if (state.lease) {
        OrderedJson lease = OrderedJson::object();
        lease["lease_id"] = state.lease->lease_id;
        lease["expires_in_ms"] = state.lease->expires_in_ms;
        out["lease"] = std::move(lease);
    } else {
        out["lease"] = nullptr;
    }
    out["core_running"] = state.core_running;
    return out;
}

Result<VectorServiceState> parse_state(const Json& object) {
    VectorServiceState state;
    KAVO_TRY(state.core_sha256, text_member(object, "core_sha256"));
    KAVO_TRY(const Json* lease, member(object, "lease"));
    if (!lease->is_null()) {
        VectorLease terms;
        KAVO_TRY(terms.lease_id, text_member(*lease, "lease_id"));
        KAVO_TRY(const Json* expires, member(*lease, "expires_in_ms"));
        if (!expires->is_number_integer()) {
            return fail("\"expires_in_ms\" is not an integer");
        }
        terms.expires_in_ms = expires->get<std::int64_t>();
        state.lease = std::move(terms);
    }
    KAVO_TRY(const Json* running, member(object, "core_running"));
    if (!running->is_boolean()) {
        return fail("\"core_running\" is not a boolean");
    }
    state.core_running = running->get<bool>();
    return state;
}

Result<VectorFrame> parse_frame(const Json& object) {
    VectorFrame frame;
    KAVO_TRY(frame.from, text_member(object, "from"));
    if (frame.from != FRAME_FROM_SERVICE && frame.from != FRAME_FROM_CLIENT) {
        return fail("a frame comes from \"" + frame.from + "\"");
    }
    KAVO_TRY(const Json* hex, member(object, "hex"));
    KAVO_TRY(const std::string whole, from_hex(*hex, "hex"));
    KAVO_TRY(frame.body, text_member(object, "body"));
    if (whole != frame_bytes(frame.body)) {
        return fail("a frame's hex is not its body behind its length");
    }
    return frame;
}

Result<ProtocolVector> parse_vector(const Json& object) {
    ProtocolVector vector;
    KAVO_TRY(vector.name, text_member(object, "name"));
    KAVO_TRY(const Json* identity, member(object, "identity_hex"));
    KAVO_TRY(vector.identity, from_hex(*identity, "identity_hex"));
    KAVO_TRY(vector.client_identity, optional_hex_member(object, "client_identity_hex"));
    if (object.contains("client_mistake")) {
        KAVO_TRY(vector.client_mistake, text_member(object, "client_mistake"));
    }
    KAVO_TRY(const Json* state, member(object, "service_state"));
    KAVO_TRY(vector.service_state, parse_state(*state));
    KAVO_TRY(const Json* random, member(object, "service_random_hex"));
    if (!random->is_array()) {
        return fail("\"service_random_hex\" is not an array");
    }
    for (const Json& draw : *random) {
        KAVO_TRY(std::string bytes, from_hex(draw, "service_random_hex"));
        vector.service_random.push_back(std::move(bytes));
    }
    KAVO_TRY(const Json* frames, member(object, "frames"));
    if (!frames->is_array()) {
        return fail("\"frames\" is not an array");
    }
    for (const Json& frame : *frames) {
        KAVO_TRY(VectorFrame parsed, parse_frame(frame));
        vector.frames.push_back(std::move(parsed));
    }
    return vector;
}

}  // namespace

std::string frame_bytes(std::string_view body) {
    const FramePrefix prefix = encode_frame_length(static_cast<std::uint32_t>(body.size()));
    std::string frame(prefix.begin(), prefix.end());
    frame += body;
    return frame;
}

std::string protocol_vectors_json(const std::vector<ProtocolVector>& vectors) {
    OrderedJson list = OrderedJson::array();
    for (const ProtocolVector& vector : vectors) {
        OrderedJson out = OrderedJson::object();
        out["name"] = vector.name;
        out["identity_hex"] = to_hex(vector.identity);
        if (vector.client_identity) {
            out["client_identity_hex"] = to_hex(*vector.client_identity);
        }
        if (vector.client_mistake) {
            out["client_mistake"] = *vector.client_mistake;
        }
        out["service_state"] = state_json(vector.service_state);
        OrderedJson random = OrderedJson::array();
        for (const std::string& draw : vector.service_random) {
            random.push_back(to_hex(draw));
        }
        out["service_random_hex"] = std::move(random);
        OrderedJson frames = OrderedJson::array();
        for (const VectorFrame& frame : vector.frames) {
            OrderedJson entry = OrderedJson::object();
            entry["from"] = frame.from;
            entry["hex"] = to_hex(frame_bytes(frame.body));
            entry["body"] = frame.body;
            frames.push_back(std::move(entry));
        }
        out["frames"] = std::move(frames);
        list.push_back(std::move(out));
    }
    OrderedJson file = OrderedJson::object();
    file["about"] = ABOUT;
    file["vectors"] = std::move(list);
    return file.dump(2) + "\n";
}

Result<std::vector<ProtocolVector>> parse_protocol_vectors(std::string_view text) {
    Json file;
    try {
        file = Json::parse(text);
    } catch (const std::exception& error) {
        return fail(std::string("not JSON: ") + error.what());
    }
    KAVO_TRY(const Json* list, member(file, "vectors"));
    if (!list->is_array()) {
        return fail("\"vectors\" is not an array");
    }
    std::vector<ProtocolVector> vectors;
    for (const Json& object : *list) {
        auto vector = parse_vector(object);
        if (!vector) {
            return fail("vector " + std::to_string(vectors.size()) + ": " + vector.error());
        }
        vectors.push_back(std::move(vector).value());
    }
    return vectors;
}

}  // namespace kavo
