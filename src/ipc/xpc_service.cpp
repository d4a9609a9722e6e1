#include "ipc/xpc_service.h"

#include <pwd.h>
#include <unistd.h>

#include <algorithm>

#include "ipc/xpc_log.h"
#include "platform/foundation/exception.h"
#include "platform/foundation/format.h"
#include "platform/runloop/run_loop.h"
#include "platform/system/bundle.h"
#include "platform/system/notification_center.h"
#include "platform/system/operation_queue.h"
#include "platform/system/paths.h"
#include "platform/system/property_list.h"
#include "platform/xpc/connection.h"
#include "platform/xpc/service_names.h"

namespace ipc {

using platform::dispatch::Queue;
using platform::dispatch::QueuePtr;

namespace {

std::mutex gMutex;
std::vector<std::weak_ptr<XPCService>> gServices;
std::vector<std::shared_ptr<platform::xpc::Listener>> gListeners;

// Whether any live service admits the peer.
bool admittedByAnyService(const platform::xpc::PeerCredentials& credentials) {
  std::vector<std::shared_ptr<XPCService>> services;
  {
    std::lock_guard<std::mutex> lock(gMutex);
    std::erase_if(gServices, [](const std::weak_ptr<XPCService>& w) { return w.expired(); });
    for (const auto& w : gServices)
      if (auto s = w.lock()) services.push_back(std::move(s));
  }
  // The checks run outside the lock: they may take time (reading files).
  return std::any_of(services.begin(), services.end(),
                     [&](const std::shared_ptr<XPCService>& s) { return s->admits(credentials); });
}

std::string mainBundleIdentifier() {
  auto bundle = platform::Bundle::main();
  std::string id = bundle ? bundle->bundleIdentifier() : "";
  return id.empty() ? platform::xpc::mainServiceName() : id;
}

// On the main queue, once per accepted peer that some live service admits
// (the listener's filter refused the others before anything was made for
// them, and counted them).
void handlePeer(const std::shared_ptr<platform::xpc::Connection>& peer) {
  auto connection = XPCConnection::create(peer);
  // Counted as unserved until a service has taken it: a burst of
  // connections waiting to be handed over stays bounded.
  connection->holdUnservedPlace(peer->unservedPlace());
  platform::NotificationCenter::defaultCenter().post(kXPCConnectionReceivedNotification,
                                                     connection);
}

}  // namespace

std::shared_ptr<XPCService> XPCService::create(ConnectionHandler handler, PeerCheck check) {
  auto service = std::shared_ptr<XPCService>(new XPCService());
  service->handler_ = std::move(handler);
  service->check_ = std::move(check);
  std::weak_ptr<XPCService> weak = service;
  service->observer_ = platform::NotificationCenter::defaultCenter().addObserver(
      kXPCConnectionReceivedNotification, nullptr, platform::OperationQueue::mainQueue(),
      [weak](const platform::Notification& n) {
        auto self = weak.lock();
        auto c = n.objectAs<XPCConnection>();
        // Each service takes only the peers its own check admits.
        if (self && c && self->admits(c->connection()->credentials())) self->handleConnection(c);
      });
  std::lock_guard<std::mutex> lock(gMutex);
  gServices.push_back(service);
  return service;
}

XPCService::~XPCService() {
  platform::NotificationCenter::defaultCenter().removeObserver(observer_);
}

bool XPCService::admits(const platform::xpc::PeerCredentials& credentials) const {
  // check_ never changes after creation: no lock needed.
  return check_ && credentials.valid && check_(credentials);
}

void XPCService::handleConnection(const std::shared_ptr<XPCConnection>& connection) {
  ConnectionHandler h;
  bool letGo;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    // Connections that have ended for good are let go when asked, so a
    // stream of short connections does not pile up: each one as it ends,
    // and here any that ended before it could be watched.
    letGo = !keepsEndedConnections_;
    if (letGo) {
      std::erase_if(connections_,
                    [](const std::shared_ptr<XPCConnection>& c) { return c->isInvalid(); });
    }
    connections_.push_back(connection);
    h = handler_;
  }
  if (letGo) {
    std::weak_ptr<XPCService> weak = weak_from_this();
    const XPCConnection* ended = connection.get();
    connection->setEndObserver([weak, ended] {
      auto self = weak.lock();
      if (!self) return;
      std::lock_guard<std::mutex> lock(self->mutex_);
      auto& list = self->connections_;
      std::erase_if(list,
                    [ended](const std::shared_ptr<XPCConnection>& c) { return c.get() == ended; });
      // The room a burst of connections took goes with them.
      if (list.capacity() > 64 && list.size() < list.capacity() / 4) list.shrink_to_fit();
    });
  }
  if (h) h(connection);
  connection->releaseUnservedPlace();
}

XPCService::ConnectionHandler XPCService::connectionHandler() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return handler_;
}

void XPCService::setConnectionHandler(ConnectionHandler handler) {
  std::lock_guard<std::mutex> lock(mutex_);
  handler_ = std::move(handler);
}

void XPCService::setKeepsEndedConnections(bool keep) {
  std::lock_guard<std::mutex> lock(mutex_);
  keepsEndedConnections_ = keep;
}

std::vector<std::shared_ptr<XPCConnection>> XPCService::connections() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return connections_;
}

void XPCService::runMachService() { runMachService(mainBundleIdentifier()); }

void XPCService::runMachService(const std::string& name) { runMachService(name, 0, 0); }

void XPCService::runMachService(const std::string& name, std::size_t unservedPeersPerUser,
                                std::size_t unservedPeersPerProcess) {
  platform::Error error;
  auto listener = platform::xpc::Listener::createMachService(name, Queue::main(), &error);
  if (!listener) {
    channelLog(platform::format("Cannot listen on %@: %@", name, error.localizedDescription()));
    throw platform::Exception("Unable to create mach service.", "connection == NULL");
  }
  listener->setPeerHandler(handlePeer);
  listener->setPeerFilter(admittedByAnyService);
  listener->setUnservedLimitPerUser(unservedPeersPerUser, unservedPeersPerProcess);
  listener->resume();
  std::lock_guard<std::mutex> lock(gMutex);
  gListeners.push_back(listener);
}

void XPCService::runService() {
  runMachService();
  platform::runloop::RunLoop::main().run();
  std::exit(0);
}

void XPCService::runServiceWithConnectionHandler(ConnectionHandler handler, PeerCheck check) {
  // Held here: runService never returns.
  static std::shared_ptr<XPCService> service;
  service = create(std::move(handler), std::move(check));
  runService();
}

XPCService::PeerCheck XPCService::admitEveryPeerForTesting() {
  return [](const platform::xpc::PeerCredentials& c) { return c.valid; };
}

XPCService::PeerCheck XPCService::peerCheckFor(PeerRequirement r) {
  return [r](const platform::xpc::PeerCredentials& c) {
    if (!c.valid) return false;
    if (std::find(r.uids.begin(), r.uids.end(), c.uid) != r.uids.end()) return true;
    if (std::find(r.gids.begin(), r.gids.end(), c.gid) != r.gids.end()) return true;
    return !c.executable.empty() && std::find(r.executables.begin(), r.executables.end(),
                                              c.executable) != r.executables.end();
  };
}

void XPCService::stopListenersForTesting() {
  std::vector<std::shared_ptr<platform::xpc::Listener>> listeners;
  {
    std::lock_guard<std::mutex> lock(gMutex);
    listeners.swap(gListeners);
  }
  for (auto& l : listeners) l->cancel();
}

void XPCPerformSelector(const std::shared_ptr<XPCConnection>& connection, const Object& target,
                        const std::string& selector, const Object& argument,
                        XPCConnection::ReturnValueHandler handler) {
  if (connection) {
    connection->sendSelector(selector, target, argument, std::move(handler));
    return;
  }
  // Copies through the channel conversions, so the operation sees what a
  // peer would.
  Object targetCopy = XPCParse::objectWithXPCObject(XPCParse::newXPCObject(target));
  Object argumentCopy = XPCParse::objectWithXPCObject(XPCParse::newXPCObject(argument));
  QueuePtr back = Queue::current();
  if (!back) back = Queue::global();
  Queue::global()->async([=] {
    XPCMessage m = XPCMessage::messageWithSelector(selector, targetCopy, argumentCopy);
    Object result;
    platform::Error error;
    if (auto reply = m.invoke()) {
      result = reply->invocationReturnValue(&error);
    } else {
      error = platform::Error(
          kXPCChannelErrorDomain, 0,
          platform::Value::dictionary(
              {{platform::kLocalizedDescriptionKey,
                platform::format("No operation named %@ is registered", selector)}}));
    }
    back->async([handler, result, error] {
      if (handler) handler(result, error);
    });
  });
}

bool XPCSandboxCheck() { return false; }

std::string XPCRealHomeDirectory() {
  struct passwd pw {};
  struct passwd* out = nullptr;
  std::vector<char> buf(16384);
  if (::getpwuid_r(::getuid(), &pw, buf.data(), buf.size(), &out) == 0 && out && pw.pw_dir) {
    return pw.pw_dir;
  }
  return "";
}

std::string XPCContainerDataDirectory(const std::string& identifier) {
  std::string id = identifier.empty() ? mainBundleIdentifier() : identifier;
  return XPCRealHomeDirectory() + "/Library/Containers/" + id + "/Data";
}

platform::Value XPCCopyAppPreference(const std::string& key, const std::string& identifier) {
  std::string id = identifier.empty() ? mainBundleIdentifier() : identifier;
  const std::string file = "/" + id + ".plist";
  for (const std::string& path : {platform::paths::preferences() + file,
                                  XPCRealHomeDirectory() + "/Library/Preferences" + file,
                                  XPCContainerDataDirectory(id) + "/Library/Preferences" + file}) {
    platform::Value v = platform::plist::readFile(path)[key];
    if (!v.isNone()) return v;
  }
  return {};
}

}  // namespace ipc
