// A small peer program for the channel tests.
//
//   channel_peer serve <service>
//     Listens on <service> (or on the socket handed over by the launcher) and
//     answers requests by "operation":
//       "echo"        reply "result" = "payload"
//       "whoami"      reply "result" = {pid, uid}
//       "debugLog"    sends "text" back as a debug log line, then replies
//       "setLevel"    sets the channel log level to "level", sends an unasked
//                     message (which carries it), then replies
//       "level"       reply "result" = the level the last message carried
//       "readFd"      reply "result" = the text read from the "fd" file handle
//       "record"      remembers "tag" (no reply unless asked)
//       "recorded"    reply "result" = every remembered tag, in order
//       "noreply"     never answers
//       "push"        sends "count" unasked messages {"index": i} back
//     Messages that invoke the registered operation "add:error:" are answered
//     with its result.
//     Prints "ready" on standard output once it listens.
//   channel_peer client <service> <text>
//     Sends {"operation": "echo", "payload": <text>} with a reply and prints
//     "reply <result>" or "error <code>", then exits.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "ipc/xpc_connection.h"
#include "ipc/xpc_log.h"
#include "ipc/xpc_service.h"
#include "platform/dispatch/dispatch.h"
#include "platform/runloop/run_loop.h"

using ipc::Object;
using ipc::XPCConnection;
using ipc::XPCMessage;
using platform::Value;

namespace {

std::mutex gMutex;
std::vector<Value> gRecorded;

void handle(const XPCMessage& m, const std::shared_ptr<XPCConnection>& c) {
  std::string op = m.stringForKey("operation").asString();
  if (m.objectForKey("operation").isNil() &&
      !m.getXPCDictionary().get(ipc::kXPCErrorKey).isNone()) {
    return;  // the client went away
  }
  if (auto answer = m.invoke()) {
    c->sendMessage(*answer);
    return;
  }
  XPCMessage reply = XPCMessage::messageReplyForMessage(&m);
  if (op == "echo") {
    if (!m.objectForKey("payload").isNil()) reply.setObject(m.objectForKey("payload"), "result");
  } else if (op == "whoami") {
    reply.setObject(Value::dictionary(
                        {{"pid", Value(static_cast<std::int64_t>(::getpid()))},
                         {"uid", Value(static_cast<std::int64_t>(::getuid()))},
                         {"peerPid", Value(static_cast<std::int64_t>(c->connectionProcessID()))}}),
                    "result");
  } else if (op == "debugLog") {
    c->sendLog(m.stringForKey("text").asString());
  } else if (op == "setLevel") {
    ipc::setChannelLogLevel(static_cast<std::uint32_t>(m.integerForKey("level")));
    XPCMessage event;
    event.setObject(Object("levelSet"), "event");
    c->sendMessage(event);
  } else if (op == "level") {
    reply.setInteger(m.logLevel(), "result");
  } else if (op == "readFd") {
    auto h = m.objectForKey("fd").fileHandle();
    std::string text;
    char buf[256];
    ssize_t n;
    while (h && (n = ::read(h->fileDescriptor(), buf, sizeof buf)) > 0) text.append(buf, n);
    reply.setObject(Object(text), "result");
  } else if (op == "record") {
    std::lock_guard<std::mutex> lock(gMutex);
    gRecorded.push_back(m.objectForKey("tag").value());
    if (!m.needsDirectReply()) return;
  } else if (op == "recorded") {
    std::lock_guard<std::mutex> lock(gMutex);
    reply.setObject(Value::array(gRecorded), "result");
  } else if (op == "noreply") {
    return;
  } else if (op == "push") {
    for (std::int64_t i = 0; i < m.integerForKey("count"); ++i) {
      XPCMessage event;
      event.setInteger(i, "index");
      c->sendMessage(event);
    }
  }
  c->sendMessage(reply);
}

int serve(const std::string& name) {
  // The one operation this peer lets clients invoke.
  XPCMessage::registerOperation(
      "add:error:", [](const Object& target, const Object* argument, platform::Error* error) {
        if (!argument || !target.value().isNumber()) {
          *error = platform::Error("ChannelPeer", 7);
          return Object();
        }
        return Object(Value(target.value().asInt64() + argument->value().asInt64()));
      });
  auto service = ipc::XPCService::create(
      [](const std::shared_ptr<XPCConnection>& c) { c->setEventHandler(handle); },
      ipc::XPCService::admitEveryPeerForTesting());
  platform::dispatch::Queue::main()->async([name] {
    ipc::XPCService::runMachService(name);
    std::printf("ready\n");
    std::fflush(stdout);
  });
  platform::runloop::RunLoop::main().run();
  (void)service;
  return 0;
}

int client(const std::string& name, const std::string& text) {
  auto c = XPCConnection::createWithServiceName(name);
  c->setEventHandler([](const XPCMessage&, const std::shared_ptr<XPCConnection>&) {});
  platform::dispatch::Semaphore done;
  c->setReplyDispatchQueue(platform::dispatch::Queue::global());
  c->sendMessage(
      XPCMessage::messageWithObjectsAndKeys({Object("echo"), "operation", Object(text), "payload"}),
      [&](const XPCMessage& reply) {
        std::printf("reply %s\n", reply.stringForKey("result").asString().c_str());
        done.signal();
      },
      [&](const platform::Error& e) {
        std::printf("error %lld\n", static_cast<long long>(e.code()));
        done.signal();
      });
  done.wait(platform::dispatch::seconds(20));
  std::fflush(stdout);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 3 && std::string(argv[1]) == "serve") return serve(argv[2]);
  if (argc >= 4 && std::string(argv[1]) == "client") return client(argv[2], argv[3]);
  std::fprintf(stderr, "usage: channel_peer serve <service> | client <service> <text>\n");
  return 2;
}
