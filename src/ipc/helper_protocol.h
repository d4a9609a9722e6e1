// The client-helper message protocol: the operation names a client sends in
// "operation", the connection state the helper reports, the connection types
// of the client and the keys of the messages. The client (XPCWrapper) and
// the helper (HelperService) both speak it from this one header, so a name
// or a number cannot drift between the two sides.
//
// Guarantees:
//  1. kHelperOperations lists every operation the helper serves; a client
//     sends no other name except kUnservedOperation, which no helper serves
//     and whose request is therefore answered without "result".
//  2. connectionRequestOperation maps every connection type to the request
//     that starts it; types without a helper request (IKEv2, values outside
//     the enum) map to nullptr.
//  3. The state is one 32-bit enum: the helper keeps it and answers it to
//     "CurrentConnectionState" in that width, and the client reads it back.
//
// Thread safety: constants and pure functions; any thread.
#pragma once

#include <cstdint>

namespace ipc {

// The helper's one name: its Mach service (the channel's socket), its launch
// label and its bundle identifier.
inline constexpr const char* kHelperServiceName = "VarnelHelper";

// --- operations (the value of kOperationKey) ---------------------------------
inline constexpr const char* kPPTPConnectionRequest = "PPTPConnectionRequest";
inline constexpr const char* kL2TPConnectionRequest = "L2TPConnectionRequest";
inline constexpr const char* kSSTPConnectionRequest = "SSTPConnectionRequest";
inline constexpr const char* kOpenVPNConnectionRequest = "OpenVPNConnectionRequest";
inline constexpr const char* kIPSecConnectionRequest = "IPSecConnectionRequest";
inline constexpr const char* kCurrentConnectionStateOperation = "CurrentConnectionState";
inline constexpr const char* kLogUpdateOperation = "LogUpdate";
inline constexpr const char* kDisconnectConnectionOperation = "DisconnectConnection";
// Sent for a connection type the helper does not serve: the helper answers
// it like any unknown operation, without "result".
inline constexpr const char* kUnservedOperation = "IntentionallyBroken";

// The operations as the helper dispatches them.
enum class HelperOperation {
  PPTPConnectionRequest,
  L2TPConnectionRequest,
  SSTPConnectionRequest,
  OpenVPNConnectionRequest,
  IPSecConnectionRequest,
  CurrentConnectionState,
  LogUpdate,
  DisconnectConnection,
};

struct HelperOperationName {
  HelperOperation operation;
  const char* name;
};

// Every operation the helper serves, with its name.
inline constexpr HelperOperationName kHelperOperations[] = {
    {HelperOperation::PPTPConnectionRequest, kPPTPConnectionRequest},
    {HelperOperation::L2TPConnectionRequest, kL2TPConnectionRequest},
    {HelperOperation::SSTPConnectionRequest, kSSTPConnectionRequest},
    {HelperOperation::OpenVPNConnectionRequest, kOpenVPNConnectionRequest},
    {HelperOperation::IPSecConnectionRequest, kIPSecConnectionRequest},
    {HelperOperation::CurrentConnectionState, kCurrentConnectionStateOperation},
    {HelperOperation::LogUpdate, kLogUpdateOperation},
    {HelperOperation::DisconnectConnection, kDisconnectConnectionOperation},
};

// --- message keys ----------------------------------------------------------------
// Every request: the operation's name.
inline constexpr const char* kOperationKey = "operation";
// Replies: the answer ("result" is ipc::kXPCResultKey) and a refusal's reason.
inline constexpr const char* kRefusalMessageKey = "message";
// Connection requests: the account dictionary's entries the helper reads,
// and what the client adds to them.
inline constexpr const char* kIPKey = "ip";
inline constexpr const char* kHostKey = "host";
inline constexpr const char* kAssignedKey = "assigned";
inline constexpr const char* kUsernameKey = "username";
inline constexpr const char* kPasswordKey = "password";
inline constexpr const char* kIPSecSecretKey = "ipsec";
inline constexpr const char* kSharedKeyKey = "sharedKey";
inline constexpr const char* kSSTPLocationKey = "sstpLocation";
inline constexpr const char* kSSTPOptionsKey = "sstpOptions";
inline constexpr const char* kOpenVPNPathKey = "openVPNPath";
inline constexpr const char* kPortListKey = "portList";
inline constexpr const char* kProxyEnabledKey = "proxyEnabled";

// --- the helper's connection state ("CurrentConnectionState") ---------------------
enum HelperConnectionState : std::int32_t {
  kHelperStateUnknown = 0,        // the helper has handled no connection yet
  kHelperStateDisconnected = 1,   // nothing runs
  kHelperStateFailed = 2,         // the last connection failed
  kHelperStateConnecting = 3,     // a connection is being set up
  kHelperStateDisconnecting = 4,  // a connection is being torn down
  kHelperStateConnected = 5,      // the connection is up
};

// --- connection types (stored per account by the client) --------------------------
enum ConnectionType : int {
  kConnectionTypePPTP = 0,
  kConnectionTypeL2TP = 1,
  kConnectionTypeSSTP = 2,
  kConnectionTypeOpenVPNUDP = 3,
  kConnectionTypeOpenVPNTCP = 4,
  kConnectionTypeOpenVPNProxy = 5,
  kConnectionTypeIPSec = 6,
  kConnectionTypeIKEv2 = 7,  // set up by the system itself; the helper has no request for it
};

// True for the three OpenVPN types, which share one request.
constexpr bool isOpenVPNConnectionType(std::int64_t type) {
  return type >= kConnectionTypeOpenVPNUDP && type <= kConnectionTypeOpenVPNProxy;
}

// The operation that starts a connection of `type`; nullptr for a type the
// helper has no request for.
constexpr const char* connectionRequestOperation(std::int64_t type) {
  switch (type) {
    case kConnectionTypePPTP:
      return kPPTPConnectionRequest;
    case kConnectionTypeL2TP:
      return kL2TPConnectionRequest;
    case kConnectionTypeSSTP:
      return kSSTPConnectionRequest;
    case kConnectionTypeOpenVPNUDP:
    case kConnectionTypeOpenVPNTCP:
    case kConnectionTypeOpenVPNProxy:
      return kOpenVPNConnectionRequest;
    case kConnectionTypeIPSec:
      return kIPSecConnectionRequest;
    default:
      return nullptr;
  }
}

}  // namespace ipc
