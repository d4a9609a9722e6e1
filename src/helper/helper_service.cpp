#include "helper/helper_service.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "helper/helper_files.h"
#include "helper/helper_log.h"
#include "ipc/helper_protocol.h"
#include "ipc/xpc_parse.h"
#include "logging/log.h"
#include "platform/foundation/exception.h"
#include "platform/foundation/string_encoding.h"
#include "platform/system/file_util.h"
#include "platform/xpc/service_names.h"

namespace helper {

namespace sc = platform::sysconfig;
using ipc::XPCMessage;
using platform::Value;

namespace {

constexpr const char* kSSTPSecretsPrefix = "VarnelVPN.sstp-secrets.";

constexpr const char* kSecretKeys[] = {
    ipc::kPasswordKey, ipc::kSharedKeyKey, ipc::kIPSecSecretKey, "authUserPass", "key", "tls"};

std::string stringOf(const XPCMessage& m, const char* key) {
  return m.stringForKey(key).asString();
}

bool hasString(const XPCMessage& m, const char* key) { return m.stringForKey(key).isString(); }

bool startsWithDash(const std::string& s) { return !s.empty() && s[0] == '-'; }

// A server as sstpc takes it: a host name, an IPv4 address or a bracketed
// IPv6 address, with an optional ":port"; nothing that reads as more words.
bool isHostAndPort(const std::string& s) {
  if (s.empty() || s.size() > 255) return false;
  for (unsigned char c : s) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == '.' || c == '-' || c == '_' || c == ':' || c == '[' || c == ']';
    if (!ok) return false;
  }
  return true;
}

// `text` with every control character written as an escape ("\\n",
// "\\x01"), so that a value from a request can never start a line of its own
// in the log (the client reads the log line by line).
std::string printableText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (unsigned char c : text) {
    if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c < 0x20 || c == 0x7f) {
      static const char kHex[] = "0123456789abcdef";
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 0xf];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

// A copy of `v` whose strings, at any depth, are printableText.
Value printableValue(const Value& v) {
  if (v.isString()) return Value(printableText(v.stringView()));
  if (v.isArray()) {
    Value out = Value::mutableArray();
    for (const Value& e : v.elements()) out.append(printableValue(e));
    return out;
  }
  if (v.isDictionary()) {
    Value out = Value::mutableDictionary();
    for (const auto& [key, value] : v.pairs()) out.set(printableValue(key), printableValue(value));
    return out;
  }
  return v;
}

bool hasControl(const std::string& s) {
  for (unsigned char c : s)
    if (c < 0x20 || c == 0x7f) return true;
  return false;
}

}  // namespace

[[noreturn]] void HelperExit(int status) {
  logging::LKLog::flushLog();
  std::fflush(nullptr);
  ::_exit(status);
}

std::shared_ptr<HelperService> HelperService::create(Options options) {
  if (!options.exitProcess) options.exitProcess = [](int status) { HelperExit(status); };
  return std::shared_ptr<HelperService>(new HelperService(std::move(options)));
}

HelperService::HelperService(Options options) : options_(std::move(options)) {}

std::shared_ptr<OpenVPN> HelperService::openVPN() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return openVPN_;
}

std::shared_ptr<ipc::DispatchTask> HelperService::sstpTask() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return sstpTask_;
}

void HelperService::HelperStartup() {
  VARNEL_DCHECK_ON_QUEUE(mainQueue_);
  // A helper that ended while OpenVPN ran (crash, kill) left it running with
  // the tunnel and the VPN's DNS: end it, so that the state told to the
  // client (disconnected) is the truth.
  if (OpenVPN::endLeftoverProcess()) state_.store(ipc::kHelperStateDisconnected);
  // What an attempt of an earlier run wrote (it was killed meanwhile) goes now.
  removeAttemptFiles(true);
  ipfw_ = std::make_shared<IPFWInterface>();
  const ExecutablePolicy policy = options_.policy;
  const uid_t helperUid = ::geteuid();
  std::weak_ptr<HelperService> weak = weak_from_this();
  listener_ = ipc::XPCService::create(
      [weak](const std::shared_ptr<ipc::XPCConnection>& c) {
        if (auto self = weak.lock()) self->HelperConnectionHandler(c);
      },
      [policy, helperUid](const platform::xpc::PeerCredentials& c) {
        return policy.allowsPeer(c, helperUid);
      });
  listener_->setKeepsEndedConnections(false);
  ipc::XPCService::runMachService(kHelperServiceName);
  restrictSocket();
}

void HelperService::restrictSocket() const {
  // The socket belongs to the one user the helper serves besides root, so
  // nobody else can even connect; with several users (or none recorded) the
  // peer check alone decides. A socket in a folder that others may not pass
  // (the installation's folder of a real install, whose access list names
  // every recorded user) is left as it is: the folder decides, and the
  // socket stays open to every user it lets in, the ones recorded after this
  // helper started included.
  if (::geteuid() != 0 || options_.policy.users.size() != 1) return;
  const std::string path = platform::xpc::socketPathForService(kHelperServiceName);
  struct stat st;
  if (path.empty() || ::lstat(path.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode)) return;
  struct stat folder;
  if (::stat(platform::files::parentFolder(path).c_str(), &folder) == 0 && folder.st_uid == 0 &&
      (folder.st_mode & (S_IWGRP | S_IWOTH | S_IXOTH)) == 0)
    return;
  if (::lchown(path.c_str(), options_.policy.users[0], 0) != 0 || ::chmod(path.c_str(), 0600) != 0)
    HelperLog("The channel socket could not be restricted to its user.");
}

void HelperService::HelperConnectionHandler(const std::shared_ptr<ipc::XPCConnection>& connection) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    newestConnection_ = connection;
  }
  std::weak_ptr<HelperService> weak = weak_from_this();
  connection->setEventHandler(
      [weak](const XPCMessage& message, const std::shared_ptr<ipc::XPCConnection>& c) {
        if (auto self = weak.lock()) self->HelperMessageHandler(message, c);
      });
}

void HelperService::HelperMessageHandler(const XPCMessage& message,
                                         const std::shared_ptr<ipc::XPCConnection>& connection) {
  if (connection && !message.getXPCDictionary().get(ipc::kXPCErrorKey).isNone()) {
    // A connection ended. Only the end of the client's last open connection
    // is the client going away; a connection it replaced, a peer dropped
    // for malformed input, or one that never spoke ends nothing but itself.
    bool lastOfTheClients = false;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      const auto before = clientConnections_.size();
      std::erase(clientConnections_, connection);
      lastOfTheClients = clientConnections_.size() < before && clientConnections_.empty();
    }
    if (connection->endedByMalformedInput()) {
      HelperLog("Dropped connection %@: it sent a malformed message.", connection->description());
      return;
    }
    if (!lastOfTheClients) return;
  } else if (connection) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (std::find(clientConnections_.begin(), clientConnections_.end(), connection) ==
        clientConnections_.end())
      clientConnections_.push_back(connection);
  }
  std::optional<XPCMessage> reply = handleMessage(message);
  if (reply && connection) connection->sendMessage(*reply);
}

std::optional<XPCMessage> HelperService::handleMessage(const XPCMessage& message) {
  if (std::optional<XPCMessage> invoked = message.invoke()) return invoked;
  XPCMessage reply = XPCMessage::messageReplyForMessage(&message);
  const bool channelError = !message.getXPCDictionary().get(ipc::kXPCErrorKey).isNone();
  const std::string name = stringOf(message, ipc::kOperationKey);
  const std::optional<ipc::HelperOperation> operation = parseOperation(name);

  if (operation) {
    switch (*operation) {
      case ipc::HelperOperation::PPTPConnectionRequest:
      case ipc::HelperOperation::L2TPConnectionRequest:
      case ipc::HelperOperation::IPSecConnectionRequest: {
        const std::string refusal = startNetworkService(name, message);
        if (refusal.empty())
          reply.setBool(true, ipc::kXPCResultKey);
        else
          reply.setObject(Value(refusal), ipc::kRefusalMessageKey);
        break;
      }
      case ipc::HelperOperation::SSTPConnectionRequest: {
        const std::string refusal = startSSTP(message);
        if (refusal.empty())
          reply.setBool(true, ipc::kXPCResultKey);
        else
          reply.setObject(Value(refusal), ipc::kRefusalMessageKey);
        break;
      }
      case ipc::HelperOperation::OpenVPNConnectionRequest: {
        const std::string refusal = startOpenVPN(message);
        // A refusal the user must hear of: no "result" (the client's form for a
        // refused request) and the reason.
        if (refusal.empty())
          reply.setBool(true, ipc::kXPCResultKey);
        else
          reply.setObject(Value(refusal), ipc::kRefusalMessageKey);
        break;
      }
      case ipc::HelperOperation::CurrentConnectionState:
        reply.setObject(Value(static_cast<std::int32_t>(state_.load())), ipc::kXPCResultKey);
        break;
      case ipc::HelperOperation::LogUpdate:
        if (options_.logger) {
          if (std::optional<std::string> text = options_.logger->PopBuffer())
            reply.setObject(Value(*text), ipc::kXPCResultKey);
        }
        break;
      case ipc::HelperOperation::DisconnectConnection:
        break;  // below, with the end of the client's connection
    }
  }

  // Only the channel's own message of the client's connection ending (which
  // has no "operation") ends the helper; a peer's message without one is
  // answered like an unknown operation.
  if (channelError || operation == ipc::HelperOperation::DisconnectConnection) {
    teardown();
    if (channelError) {
      // The helper ends now: nothing of the attempt outlives it. OpenVPN,
      // asked to stop by the teardown, runs its down script on its way out
      // (the system's DNS comes back so): the scripts go once it has ended,
      // and stay only while it still runs (the next start ends it and
      // removes them).
      const std::shared_ptr<OpenVPN> vpn = openVPN();
      const bool openVPNRuns = vpn && !vpn->waitForExit(options_.openVPNExitWait);
      if (openVPNRuns) HelperLog("OpenVPN has not ended yet: its scripts stay until it has.");
      removeAttemptFiles(!openVPNRuns);
      options_.exitProcess(0);
      return std::nullopt;
    }
    reply.setBool(true, ipc::kXPCResultKey);
  }
  return reply;
}

std::optional<ipc::HelperOperation> HelperService::parseOperation(std::string_view name) {
  for (const ipc::HelperOperationName& entry : ipc::kHelperOperations)
    if (name == entry.name) return entry.operation;
  return std::nullopt;
}

std::string HelperService::redactedDescription(const XPCMessage& request) {
  Value all = ipc::XPCParse::dictionaryWithContentsOfXPCObject(request.getXPCDictionary());
  Value copy = all.isDictionary() ? all.mutableCopy() : Value::mutableDictionary();
  for (const char* key : kSecretKeys)
    if (copy.contains(key)) copy.set(key, kRedacted);
  return XPCMessage(ipc::XPCParse::newXPCObject(printableValue(copy))).description();
}

bool HelperService::transition(std::initializer_list<ipc::HelperConnectionState> from,
                               ipc::HelperConnectionState to) {
  ipc::HelperConnectionState current = state_.load();
  for (;;) {
    bool allowed = false;
    for (ipc::HelperConnectionState f : from) allowed = allowed || f == current;
    if (!allowed) return false;
    if (state_.compare_exchange_weak(current, to)) return true;
  }
}

void HelperService::stopRunning() {
  sc::NetworkConnectionPtr network;
  std::shared_ptr<OpenVPN> vpn;
  std::shared_ptr<ipc::DispatchTask> sstp;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    network = lastNetworkConnection_;
    vpn = openVPN_;
    sstp = sstpTask_;
  }
  if (network && options_.preferences) options_.preferences->DisconnectService(network);
  if (vpn) vpn->disconnect();
  if (sstp) sstp->RequestTermination();
}

void HelperService::teardown() {
  state_.store(ipc::kHelperStateDisconnecting);
  stopRunning();
  const std::uint64_t generation = generation_.load();
  std::weak_ptr<HelperService> weak = weak_from_this();
  platform::dispatch::Queue::main()->after(
      platform::dispatch::seconds(options_.settleDelay),
      [weak, generation] {
        auto self = weak.lock();
        if (self && self->isCurrent(generation))
          self->transition({ipc::kHelperStateDisconnecting}, ipc::kHelperStateDisconnected);
      },
      options_.clock);
}

std::uint64_t HelperService::beginConnection() {
  stopRunning();
  std::shared_ptr<OpenVPN> oldVPN;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    oldVPN = std::move(openVPN_);
    openVPN_.reset();
    sstpTask_.reset();
    lastNetworkConnection_.reset();
  }
  // The old OpenVPN holds the management port until it has ended.
  if (oldVPN && !oldVPN->waitForExit(12.0))
    HelperLog("The previous OpenVPN process has not ended yet.");
  else
    removeAttemptFiles(true);  // the previous attempt is over: nothing of it stays
  const std::uint64_t generation = ++generation_;
  state_.store(ipc::kHelperStateConnecting);
  return generation;
}

void HelperService::fail(std::uint64_t generation) {
  if (isCurrent(generation)) state_.store(ipc::kHelperStateFailed);
}

std::string HelperService::startNetworkService(const std::string& operation,
                                               const XPCMessage& message) {
  std::shared_ptr<SystemPreferencesHandler> prefs = options_.preferences;
  if (operation == ipc::kPPTPConnectionRequest) {
    HelperLog("PPTP connection request recieved. Creating service.");
  } else if (operation == ipc::kL2TPConnectionRequest) {
    HelperLog("L2TP connection request recieved. Creating service.");
  } else {
    const Value request =
        ipc::XPCParse::dictionaryWithContentsOfXPCObject(message.getXPCDictionary());
    HelperLog("%@ %@", printableValue(request[ipc::kAssignedKey]), kRedacted);
    HelperLog("%@", redactedDescription(message));
  }
  const std::uint64_t generation = beginConnection();
  // A value the system's network services cannot take is refused before
  // any service is written.
  std::string refusal;
  bool created = true;
  if (operation == ipc::kPPTPConnectionRequest) {
    if (prefs)
      created = prefs->CreatePPTPService(stringOf(message, ipc::kIPKey),
                                         stringOf(message, ipc::kUsernameKey),
                                         stringOf(message, ipc::kPasswordKey), &refusal);
    if (created) HelperLog("PPTP service created, connecting now.");
  } else if (operation == ipc::kL2TPConnectionRequest) {
    if (prefs)
      created = prefs->CreateL2TPService(
          stringOf(message, ipc::kIPKey), stringOf(message, ipc::kUsernameKey),
          stringOf(message, ipc::kPasswordKey), stringOf(message, ipc::kIPSecSecretKey), &refusal);
    if (created) HelperLog("L2TP service created, connecting now.");
  } else if (prefs) {
    created = prefs->CreateIPSecService(stringOf(message, ipc::kAssignedKey),
                                        stringOf(message, ipc::kSharedKeyKey), &refusal);
  }
  if (!prefs || !created) {
    fail(generation);
    return refusal;
  }
  std::weak_ptr<HelperService> weak = weak_from_this();
  // The connection is known before its first report: a disconnect that
  // comes first stops it (else the system would go on connecting).
  sc::NetworkConnectionPtr connection;
  bool started = prefs->ConnectToService(
      kServiceName,
      [weak, generation](const sc::NetworkConnectionPtr& c, sc::ConnectionStatus status, void*) {
        if (auto self = weak.lock()) self->SCNetworkStatusHandler(c, status, generation);
      },
      &connection);
  if (started && connection) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (isCurrent(generation)) lastNetworkConnection_ = connection;
  }
  if (!started) {
    HelperLog("The network service could not be started.");
    fail(generation);
  }
  return {};
}

void HelperService::SCNetworkStatusHandler(const sc::NetworkConnectionPtr& connection,
                                           sc::ConnectionStatus status, std::uint64_t generation) {
  if (!isCurrent(generation)) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    lastNetworkConnection_ = connection;
  }
  const std::string id = connection ? connection->serviceID() : std::string();
  switch (status) {
    case sc::ConnectionStatus::Disconnected: {
      // The system's reason comes first, so a client that sees the new
      // state finds it in the log.
      const std::string reason = connection ? connection->failureReason() : std::string();
      if (!reason.empty()) HelperLog("Connection %@ ended: %@", id, reason);
      // A link that ends while it was still connecting has failed.
      if (!transition({ipc::kHelperStateConnecting}, ipc::kHelperStateFailed))
        state_.store(ipc::kHelperStateDisconnected);
      HelperLog("Connection %@ is now disconnected.", id);
      break;
    }
    case sc::ConnectionStatus::Connecting:
      state_.store(ipc::kHelperStateConnecting);
      HelperLog("Connection %@ is now connecting.", id);
      break;
    case sc::ConnectionStatus::Connected:
      state_.store(ipc::kHelperStateConnected);
      HelperLog("Connection %@ is now connected.", id);
      break;
    case sc::ConnectionStatus::Disconnecting:
      state_.store(ipc::kHelperStateDisconnecting);
      HelperLog("Connection %@ is now disconnecting.", id);
      break;
    default:
      break;
  }
}

std::optional<std::string> HelperService::sstpSecretsText(const std::string& password) {
  std::string out = "password \"";
  for (char c : password) {
    if (c == '\n' || c == '\r' || c == '\0') return std::nullopt;
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out + "\"\n";
}

std::vector<std::string> HelperService::sstpArguments(const XPCMessage& request,
                                                      const std::string& secretsFile) {
  return {"--log-level",
          "2",
          "--log-stdout",
          "--cert-warn",
          "--user",
          stringOf(request, ipc::kUsernameKey),
          stringOf(request, ipc::kHostKey),
          "usepeerdns",
          "defaultroute",
          "refuse-pap",
          "refuse-eap",
          "file",
          stringOf(request, ipc::kSSTPOptionsKey),
          "file",
          secretsFile,
          "noauth",
          "mtu",
          "1400",
          "logfile",
          privatePath(kSSTPLogFileName)};
}

std::string HelperService::startSSTP(const XPCMessage& message) {
  const std::uint64_t generation = beginConnection();
  const std::string path = stringOf(message, ipc::kSSTPLocationKey);
  std::string problem;
  const int fd = options_.policy.openExecutable(path, &problem);
  if (fd < 0) {
    HelperLog("Refused to start %@: %@.", path, problem);
    fail(generation);
    return kSSTPClientRefusal;
  }
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  const std::string host = stringOf(message, ipc::kHostKey),
                    options = stringOf(message, ipc::kSSTPOptionsKey);
  const std::string user = stringOf(message, ipc::kUsernameKey);
  if (!hasString(message, ipc::kUsernameKey) || !hasString(message, ipc::kPasswordKey) ||
      host.empty() || options.empty() || startsWithDash(host) || startsWithDash(options) ||
      startsWithDash(user) || hasControl(host) || hasControl(options) || hasControl(user) ||
      !isHostAndPort(host) || privateFolder().empty()) {
    HelperLog("%@", kSSTPValuesRefusal);
    fail(generation);
    return kSSTPValuesRefusal;
  }
  // pppd runs as root and honours privileged options (plugins, scripts) from
  // this file: only the one recorded at the installation will do.
  const int optionsFd = options_.policy.openSSTPOptions(options, &problem);
  if (optionsFd < 0) {
    HelperLog("SSTP request refused: the options file %@ is not the installation's own (%@).",
              options, problem);
    fail(generation);
    return kSSTPOptionsRefusal;
  }
  ::close(optionsFd);
  std::optional<std::string> secrets = sstpSecretsText(stringOf(message, ipc::kPasswordKey));
  const std::string secretsFile = privatePath(kSSTPSecretsPrefix + std::to_string(generation));
  if (!secrets || secretsFile.empty() || !writePrivateFile(secretsFile, *secrets, 0600)) {
    HelperLog("%@", kSSTPPasswordRefusal);
    fail(generation);
    return kSSTPPasswordRefusal;
  }
  auto task = ipc::DispatchTask::create();
  task->setLaunchPath(path);
  task->setExecutableFile(fd);
  std::vector<Value> args;
  for (const std::string& a : sstpArguments(message, secretsFile)) args.emplace_back(a);
  task->setArguments(Value::array(std::move(args)));
  {
    std::lock_guard<std::mutex> lock(mutex_);
    sstpTask_ = task;
  }
  std::weak_ptr<HelperService> weak = weak_from_this();
  std::weak_ptr<ipc::DispatchTask> weakTask = task;
  try {
    task->launchWithOutputBlock(
        [weak, generation](const platform::Bytes& chunk) {
          if (auto self = weak.lock()) self->SSTPOutputHandler(chunk, generation);
        },
        nullptr,
        [weak, generation] {
          auto self = weak.lock();
          if (self && self->isCurrent(generation))
            self->transition({ipc::kHelperStateUnknown, ipc::kHelperStateDisconnected,
                              ipc::kHelperStateConnecting},
                             ipc::kHelperStateConnecting);
        },
        [weak, weakTask, generation, secretsFile] {
          ::unlink(secretsFile.c_str());
          auto self = weak.lock();
          if (!self) return;
          if (self->isCurrent(generation)) {
            // A client that ends before it ever connected has failed.
            if (!self->transition({ipc::kHelperStateConnecting, ipc::kHelperStateFailed},
                                  ipc::kHelperStateFailed))
              self->state_.store(ipc::kHelperStateDisconnected);
          }
          std::lock_guard<std::mutex> lock(self->mutex_);
          if (self->sstpTask_ && self->sstpTask_ == weakTask.lock()) self->sstpTask_.reset();
        });
  } catch (const platform::Exception& e) {
    ::unlink(secretsFile.c_str());
    HelperLog("The SSTP client could not be started: %@", e.reason());
    {
      std::lock_guard<std::mutex> lock(mutex_);
      sstpTask_.reset();
    }
    fail(generation);
  }
  return {};
}

void HelperService::SSTPOutputHandler(const platform::Bytes& chunk, std::uint64_t generation) {
  if (!isCurrent(generation)) return;
  std::string_view text(reinterpret_cast<const char*>(chunk.data()), chunk.size());
  if (!platform::isValidUTF8(text)) return;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find('\n', start);
    std::string_view piece =
        text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
    if (piece.find("Connection Established") != std::string_view::npos)
      state_.store(ipc::kHelperStateConnected);
    if (piece.find("Terminating on") != std::string_view::npos)
      state_.store(ipc::kHelperStateDisconnected);
    if (piece.find("SSTP session was established") != std::string_view::npos)
      state_.store(ipc::kHelperStateDisconnected);
    if (piece.find("Connection was aborted") != std::string_view::npos)
      state_.store(ipc::kHelperStateFailed);
    if (piece.find("Connection failed") != std::string_view::npos)
      state_.store(ipc::kHelperStateFailed);
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
}

std::string HelperService::startOpenVPN(const XPCMessage& message) {
  const std::uint64_t generation = beginConnection();
  const std::string path = stringOf(message, ipc::kOpenVPNPathKey);
  std::string problem;
  const int fd = options_.policy.openExecutable(path, &problem);
  if (fd < 0) {
    HelperLog("Refused to start %@: %@.", path, problem);
    fail(generation);
    return kOpenVPNProgramRefusal;
  }
  auto driver = OpenVPN::create({options_.openVPNPing, options_.openVPNPingRestart});
  driver->setOpenVPNPath(path);
  driver->setExecutableFile(fd);
  ::close(fd);
  const Value account =
      ipc::XPCParse::dictionaryWithContentsOfXPCObject(message.getXPCDictionary());
  driver->setAccountDictionary(account);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    openVPN_ = driver;
  }
  std::weak_ptr<HelperService> weak = weak_from_this();
  bool started = driver->startOpenVPN([weak, generation](int code) {
    if (auto self = weak.lock()) self->OpenVPNStateHandler(code, generation);
  });
  if (started) return {};
  // Nothing of a refused attempt stays behind (certificates, keys, scripts).
  removeAttemptFiles(true);
  fail(generation);
  if (driver->refusal().empty()) return {};
  return driver->refusal();
}

void HelperService::OpenVPNStateHandler(int code, std::uint64_t generation) {
  if (!isCurrent(generation)) return;
  switch (code) {
    case kOpenVPNStateConnecting:
    case kOpenVPNStateWait:
    case kOpenVPNStateReconnecting:
      // A restart (the server fell silent, or the network changed) leaves
      // Connected until OpenVPN says it is connected again.
      state_.store(ipc::kHelperStateConnecting);
      break;
    case kOpenVPNStateConnected:
      state_.store(ipc::kHelperStateConnected);
      break;
    case kOpenVPNStateExiting:
      // Ignored while disconnected, and after a failure was already told.
      transition({ipc::kHelperStateUnknown, ipc::kHelperStateConnecting,
                  ipc::kHelperStateDisconnecting, ipc::kHelperStateConnected},
                 ipc::kHelperStateDisconnecting);
      break;
    case kOpenVPNStateProcessExit:
      // What the attempt wrote (its certificates, keys, scripts) ends with it.
      removeAttemptFiles(true);
      // An OpenVPN that ends before it ever connected (and before it said
      // it was exiting) has failed.
      if (!transition({ipc::kHelperStateConnecting, ipc::kHelperStateFailed},
                      ipc::kHelperStateFailed))
        state_.store(ipc::kHelperStateDisconnected);
      break;
    default:
      break;
  }
}

}  // namespace helper
