// This file is generated from Tolan IPC DTOs. Do not edit manually.

export type IpcErrorCode = "AUTHENTICATION_FAILED" | "UNAUTHENTICATED" | "NETWORK_ERROR" | "CREDENTIAL_STORE_ERROR" | "SUBSCRIPTION_UNAVAILABLE" | "SYSTEM_PROXY_ERROR" | "GEODATA_UNAVAILABLE" | "CORE_UNAVAILABLE" | "SERVICE_UNAVAILABLE" | "SERVICE_INSTALL_FAILED" | "SERVICE_NOT_READY" | "PORT_UNAVAILABLE" | "VALIDATION_ERROR" | "EXTERNAL_LINK_DENIED" | "STALE_OPERATION" | "UNKNOWN";

export type CommandError = { code: IpcErrorCode, message: string, stage?: string, retryable?: boolean, };

export type ApplyCoreRuntimeRequest = { subscriptionId: string, url: string, port: number, allowLan: boolean, tunMode: boolean, customRules: string, mode: string, refreshSubscription: boolean, reason: string, };

export type RoutingProfile = { ruleTarget: string | null, globalTarget: string | null, };

export type RuntimeSnapshot = { generation: number, subscriptionId: string, runtimeMode: string, tunMode: boolean, proxyMode: string, controllerReady: boolean, proxies: unknown, providers: unknown, routingProfile: RoutingProfile, usedFallback: boolean, };

export type StopCoreRequest = { expectedGeneration: number, };

export type CoreHealthSnapshot = { generation: number, transitioning: boolean, running: boolean, controllerHealthy: boolean, };

export type RawConnectionEntry = { id: string, target: string, outbound: string, chains: Array<string>, upload: number, download: number, start: string, };

export type RawConnectionSnapshot = { connections: Array<RawConnectionEntry>, };

export type CoreTrafficSnapshot = { uploadTotal: number, downloadTotal: number, };
