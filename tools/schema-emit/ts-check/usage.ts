// Uses the generated bindings the way the desktop client does; compiled with
// --strict, so a change in the declarations that breaks a use fails the check.
import type {
  CommandError,
  CoreTrafficSnapshot,
  IpcErrorCode,
  RawConnectionSnapshot,
  RoutingProfile,
  RuntimeSnapshot,
} from "./generated/ipc";

// The optional fields may be left out.
export const error: CommandError = { code: "SERVICE_UNAVAILABLE", message: "down" };

// Both targets may be null.
export const routing: RoutingProfile = { ruleTarget: null, globalTarget: null };

export const snapshot: RuntimeSnapshot = {
  generation: 1,
  subscriptionId: "s",
  runtimeMode: "rule",
  tunMode: false,
  proxyMode: "rule",
  controllerReady: true,
  proxies: { any: ["json"] },
  providers: null,
  routingProfile: routing,
  usedFallback: false,
};

export const connections: RawConnectionSnapshot = {
  connections: [
    { id: "1", target: "t", outbound: "o", chains: ["a"], upload: 1, download: 2, start: "now" },
  ],
};

export const traffic: CoreTrafficSnapshot = { uploadTotal: 0, downloadTotal: 0 };

// @ts-expect-error the union of error codes is closed
export const unknownCode: IpcErrorCode = "NOT_A_CODE";
