#include "ipc_bindings.h"

#include <utility>

namespace kavo::schema {

namespace {

std::vector<TsDecl> build_declarations() {
    const TsType number = TsType::number();
    const TsType string = TsType::string();
    const TsType boolean = TsType::boolean();
    const TsType unknown = TsType::unknown();

    TsDecl error_code{
        "IpcErrorCode",
        TsUnion{{"AUTHENTICATION_FAILED", "UNAUTHENTICATED", "NETWORK_ERROR",
                 "CREDENTIAL_STORE_ERROR", "SUBSCRIPTION_UNAVAILABLE", "SYSTEM_PROXY_ERROR",
                 "GEODATA_UNAVAILABLE", "CORE_UNAVAILABLE", "SERVICE_UNAVAILABLE",
                 "SERVICE_INSTALL_FAILED", "SERVICE_NOT_READY", "PORT_UNAVAILABLE",
                 "VALIDATION_ERROR", "EXTERNAL_LINK_DENIED", "STALE_OPERATION", "UNKNOWN"}}};

    TsDecl command_error{"CommandError", TsObject{{
                                             required_field("code", TsType::reference(error_code)),
                                             required_field("message", string),
                                             optional_field("stage", string),
                                             optional_field("retryable", boolean),
                                         }}};

    TsDecl apply_request{"ApplyCoreRuntimeRequest",
                         TsObject{{
                             required_field("subscriptionId", string),
                             required_field("url", string),
                             required_field("port", number),
                             required_field("allowLan", boolean),
                             required_field("tunMode", boolean),
                             required_field("customRules", string),
                             required_field("mode", string),
                             required_field("refreshSubscription", boolean),
                             required_field("reason", string),
                         }}};

    TsDecl routing_profile{"RoutingProfile",
                           TsObject{{
                               required_field("ruleTarget", TsType::nullable(string)),
                               required_field("globalTarget", TsType::nullable(string)),
                           }}};

    TsDecl runtime_snapshot{
        "RuntimeSnapshot", TsObject{{
                               required_field("generation", number),
                               required_field("subscriptionId", string),
                               required_field("runtimeMode", string),
                               required_field("tunMode", boolean),
                               required_field("proxyMode", string),
                               required_field("controllerReady", boolean),
                               required_field("proxies", unknown),
                               required_field("providers", unknown),
                               required_field("routingProfile", TsType::reference(routing_profile)),
                               required_field("usedFallback", boolean),
                           }}};

    TsDecl stop_request{"StopCoreRequest", TsObject{{
                                               required_field("expectedGeneration", number),
                                           }}};

    TsDecl health_snapshot{"CoreHealthSnapshot", TsObject{{
                                                     required_field("generation", number),
                                                     required_field("transitioning", boolean),
                                                     required_field("running", boolean),
                                                     required_field("controllerHealthy", boolean),
                                                 }}};

    TsDecl connection_entry{"RawConnectionEntry",
                            TsObject{{
                                required_field("id", string),
                                required_field("target", string),
                                required_field("outbound", string),
                                required_field("chains", TsType::array(string)),
                                required_field("upload", number),
                                required_field("download", number),
                                required_field("start", string),
                            }}};

    TsDecl connection_snapshot{
        "RawConnectionSnapshot",
        TsObject{{
            required_field("connections", TsType::array(TsType::reference(connection_entry))),
        }}};

    TsDecl traffic_snapshot{"CoreTrafficSnapshot", TsObject{{
                                                       required_field("uploadTotal", number),
                                                       required_field("downloadTotal", number),
                                                   }}};

    return {std::move(error_code),      std::move(command_error),    std::move(apply_request),
            std::move(routing_profile), std::move(runtime_snapshot), std::move(stop_request),
            std::move(health_snapshot), std::move(connection_entry), std::move(connection_snapshot),
            std::move(traffic_snapshot)};
}

}  // namespace

const std::vector<TsDecl>& ipc_declarations() {
    static const std::vector<TsDecl> declarations = build_declarations();
    return declarations;
}

std::string render_bindings() {
    std::string text(BINDINGS_HEADER);
    text += "\n\n";
    const auto& declarations = ipc_declarations();
    for (std::size_t i = 0; i < declarations.size(); ++i) {
        if (i != 0) {
            text += "\n\n";
        }
        text += render_declaration(declarations[i]);
    }
    text += '\n';
    return text;
}

}  // namespace kavo::schema
