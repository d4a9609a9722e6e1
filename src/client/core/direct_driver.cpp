#include "client/core/direct_driver.h"

#include <unistd.h>

#include <chrono>
#include <thread>

#include "client/Singletons/varnel_log.h"
#include "client/core/connection_state.h"
#include "platform/dispatch/dispatch.h"
#include "platform/foundation/format.h"
#include "platform/system/bundle.h"
#include "platform/system/notification_center.h"
#include "platform/system/paths.h"

namespace client {

namespace {

std::string text(const platform::Value& v) {
  if (v.isNone() || v.isNull()) return {};
  return v.isString() ? v.asString() : v.description();
}

void log(const std::string& line) { VarnelLog::sharedInstance().AddToLog(line); }

void runOnMainAndWait(const std::function<void()>& block) {
  if (platform::dispatch::Queue::main()->isCurrent()) {
    block();
  } else {
    platform::dispatch::Queue::main()->sync(block);
  }
}

constexpr const char* kListening = "MANAGEMENT: TCP Socket listening on";

}  // namespace

std::shared_ptr<OpenWrapper> OpenWrapper::initWithController(std::shared_ptr<void> controller,
                                                             OpenAccount::Ptr account) {
  return initWithController(std::move(controller), std::move(account), Options());
}

std::shared_ptr<OpenWrapper> OpenWrapper::initWithController(std::shared_ptr<void> controller,
                                                             OpenAccount::Ptr account,
                                                             const Options& options) {
  std::shared_ptr<OpenWrapper> wrapper(new OpenWrapper());
  wrapper->managementPort_ = options.managementPort;
  for (int i = 0; i < 3; ++i) wrapper->delays_[i] = options.disconnectDelays[i];
  wrapper->clock_ = options.clock;
  wrapper->controller_ = std::move(controller);
  wrapper->account_ = std::move(account);
  const platform::BundlePtr bundle = options.bundle ? options.bundle : platform::Bundle::main();
  std::string own = bundle ? bundle->resourcePath() + "/openvpn" : std::string();
  wrapper->executablePath_ =
      !own.empty() && ::access(own.c_str(), X_OK) == 0 ? own : "/usr/sbin/openvpn";
  return wrapper;
}

OpenWrapper::~OpenWrapper() {
  if (socket_) socket_->disconnect();
}

std::vector<std::string> OpenWrapper::openVPNArguments() const {
  const OpenAccount& a = *account_;
  const std::string config = platform::paths::applicationSupport() + "/VarnelVPN/config/";
  const std::string id = text(a.accountId());
  std::vector<std::string> args = {"--client", "--dev",         "tun",
                                   "--nobind", "--proto",       a.udp() ? "udp" : "tcp-client",
                                   "--remote", text(a.remote())};
  if (!text(a.port()).empty()) args.push_back(text(a.port()));
  if (!text(a.fragment()).empty()) args.insert(args.end(), {"--fragment", text(a.fragment())});
  if (!text(a.mss()).empty()) args.insert(args.end(), {"--mssfix", text(a.mss())});
  if (!text(a.tunMtu()).empty()) args.insert(args.end(), {"--tun-mtu", text(a.tunMtu())});
  if (!text(a.cipher()).empty()) args.insert(args.end(), {"--data-ciphers", text(a.cipher())});
  if (!text(a.auth()).empty()) args.insert(args.end(), {"--auth", text(a.auth())});
  if (text(a.tls()).size() >= 2) args.insert(args.end(), {"--tls-auth", config + id + ".tls", "1"});
  args.insert(args.end(), {"--ca", config + id + ".ca", "--cert", config + id + ".cert", "--key",
                           config + id + ".key", "--management", "127.0.0.1",
                           std::to_string(managementPort_), "--management-hold", "--verb", "3"});
  return args;
}

void OpenWrapper::Start() {
  disconnecting_ = false;
  fired_ = false;
  miConnected_ = false;
  observing_ = true;
  outputLine_.clear();
  miLine_.clear();
  std::weak_ptr<OpenWrapper> weak = weak_from_this();
  task_ = ipc::DispatchTask::create();
  task_->setLaunchPath(executablePath_);
  platform::Value args = platform::Value::mutableArray();
  for (const std::string& a : openVPNArguments()) args.append(platform::Value(a));
  task_->setArguments(args);
  log("Starting OpenVPN.");
  auto onOutput = [weak](const platform::Bytes& chunk) {
    if (auto self = weak.lock()) self->output(chunk);
  };
  try {
    task_->launchWithOutputBlock(onOutput, onOutput, nullptr, [weak] {
      platform::dispatch::Queue::main()->async([weak] {
        auto self = weak.lock();
        if (!self || self->disconnecting_ || self->fired_) return;
        log("OpenVPN ended.");
        self->FireDisconnectEvent();
      });
    });
  } catch (const std::exception&) {
    log("OpenVPN could not be started.");
    platform::dispatch::Queue::main()->async([weak] {
      if (auto self = weak.lock()) self->FireDisconnectEvent();
    });
  }
}

void OpenWrapper::output(const platform::Bytes& chunk) {
  outputLine_.append(chunk.begin(), chunk.end());
  for (std::size_t nl; (nl = outputLine_.find('\n')) != std::string::npos;) {
    std::string line = outputLine_.substr(0, nl);
    outputLine_.erase(0, nl + 1);
    const std::size_t at = line.find(kListening);
    if (!observing_ || at == std::string::npos) continue;
    std::uint16_t port = managementPort_;
    const std::size_t colon = line.rfind(':');
    if (colon != std::string::npos && colon > at) {
      long reported = std::atol(line.c_str() + colon + 1);
      if (reported > 0 && reported < 65536) port = static_cast<std::uint16_t>(reported);
    }
    MIIsUp(port);
  }
}

void OpenWrapper::MIIsUp(std::uint16_t port) {
  log("OpenVPN Management interface is up.");
  observing_ = false;
  socket_ =
      net::sockets::DispatchSocket::create(weak_from_this(), platform::dispatch::Queue::main());
  platform::Error error;
  if (socket_->connectToHost("127.0.0.1", port, &error)) {
    miConnected_ = true;
    socket_->readDataWithTimeout(5.0, 0);
  } else {
    log(platform::format("The management interface refused the connection: %@",
                         error.description()));
  }
}

void OpenWrapper::SendToMi(const std::string& message) {
  if (!socket_) return;
  socket_->writeData(platform::Bytes(message.begin(), message.end()), 5.0, 0);
}

void OpenWrapper::socketDidConnectToHost(const net::sockets::DispatchSocketPtr&, const std::string&,
                                         std::uint16_t) {
  log("MI connected.");
  SendToMi("state on\n");
  SendToMi("log on\n");
  SendToMi("hold release\n");
  SendToMi("hold off\n");
}

void OpenWrapper::socketDidReadData(const net::sockets::DispatchSocketPtr& sock,
                                    const net::sockets::SocketData& data, long) {
  miLine_.append(data.text());
  for (std::size_t nl; (nl = miLine_.find('\n')) != std::string::npos;) {
    std::string line = miLine_.substr(0, nl);
    miLine_.erase(0, nl + 1);
    while (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    log(line);
    if (line.find("STATE:") != std::string::npos && line.find("CONNECTED,") != std::string::npos &&
        !disconnecting_)
      platform::NotificationCenter::defaultCenter().post(kVPNConnectNotification);
  }
  sock->readDataWithTimeout(-1, 0);
}

void OpenWrapper::Disconnect() {
  disconnecting_ = true;
  platform::dispatch::sleepFor(clock_, platform::dispatch::seconds(delays_[0]));
  if (miConnected_ && socket_) {
    SendToMi("signal SIGTERM\nexit\n");
    socket_->disconnectAfterWriting();
    platform::dispatch::sleepFor(clock_, platform::dispatch::seconds(delays_[1]));
  } else if (task_) {
    task_->RequestTermination();  // no management interface to ask
  }
  log("Disconnection complete. Waiting 2 seconds for routes to clean up.");
  platform::dispatch::sleepFor(clock_, platform::dispatch::seconds(delays_[2]));
  std::shared_ptr<OpenWrapper> self = shared_from_this();
  runOnMainAndWait([self] { self->FireDisconnectEvent(); });
}

void OpenWrapper::FireDisconnectEvent() {
  if (fired_) return;
  fired_ = true;
  platform::NotificationCenter::defaultCenter().post(kVPNDisconnectNotification);
}

}  // namespace client
