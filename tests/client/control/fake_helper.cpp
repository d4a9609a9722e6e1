// A scriptable stand-in of the privileged helper for the client's tests. It
// serves the Mach service "VarnelHelper" (under the test's VARNEL_ROOT) and
// answers like the helper, with a state that the test sets.
//
// Standard input, one command a line:
//   state N        the state "CurrentConnectionState" answers from now on
//   log TEXT       appends TEXT to the log that "LogUpdate" drains ("\n" in
//                  TEXT stands for a line feed)
//   refuse TEXT    connection requests are refused from now on: the reply
//                  has no "result" and "error" = TEXT
//   hang           stops answering anything
//   exit           ends the program
// Standard output, one event a line: "ready" once listening, then
//   "request OPERATION" for every message with an operation (polls included),
//   "peer" for every new connection, and "did COMMAND" once a command took
//   effect (requests handled after it see its change).
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <thread>

#include "ipc/xpc_connection.h"
#include "ipc/xpc_message.h"
#include "ipc/xpc_service.h"
#include "platform/dispatch/dispatch.h"
#include "platform/runloop/run_loop.h"

namespace {

std::int64_t gState = 0;
std::string gLog;
bool gLogged = false;
bool gHanging = false;
std::string gRefusal;

void emit(const std::string& line) {
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

void command(const std::string& line) {
  if (line.rfind("state ", 0) == 0) {
    gState = std::atoll(line.c_str() + 6);
  } else if (line.rfind("log ", 0) == 0) {
    for (std::size_t i = 4; i < line.size(); ++i) {
      if (line[i] == '\\' && i + 1 < line.size() && line[i + 1] == 'n') {
        gLog += '\n';
        ++i;
      } else {
        gLog += line[i];
      }
    }
    gLogged = true;
  } else if (line.rfind("refuse ", 0) == 0) {
    gRefusal = line.substr(7);
  } else if (line == "hang") {
    gHanging = true;
  } else if (line == "exit") {
    std::_Exit(0);
  }
}

void handle(const ipc::XPCMessage& message, const std::shared_ptr<ipc::XPCConnection>& c) {
  platform::Value op = message.stringForKey("operation");
  if (!op.isString()) return;  // a channel event
  const std::string& operation = op.asString();
  emit("request " + operation);
  if (gHanging) return;
  ipc::XPCMessage reply = ipc::XPCMessage::messageReplyForMessage(&message);
  if (operation == "CurrentConnectionState") {
    reply.setInteger(gState, "result");
  } else if (operation == "LogUpdate") {
    if (gLogged) reply.setObject(ipc::Object(gLog), "result");
    gLog.clear();
  } else if (operation == "DisconnectConnection") {
    gState = 4;
    reply.setBool(true, "result");
  } else if (operation.size() > 17 &&
             operation.compare(operation.size() - 17, 17, "ConnectionRequest") == 0) {
    if (gRefusal.empty()) {
      gState = 3;
      reply.setBool(true, "result");
    } else {
      reply.setObject(ipc::Object(gRefusal), "error");
    }
  }
  c->sendMessage(reply);
}

}  // namespace

int main() {
  auto service = ipc::XPCService::create(
      [](const std::shared_ptr<ipc::XPCConnection>& connection) {
        emit("peer");
        connection->setEventHandler(
            [](const ipc::XPCMessage& message, const std::shared_ptr<ipc::XPCConnection>& c) {
              platform::dispatch::Queue::main()->async([message, c] { handle(message, c); });
            });
      },
      ipc::XPCService::admitEveryPeerForTesting());
  ipc::XPCService::runMachService("VarnelHelper");
  std::thread([] {
    std::string line;
    while (std::getline(std::cin, line)) {
      platform::dispatch::Queue::main()->async([line] {
        command(line);
        emit("did " + line);
      });
    }
    platform::dispatch::Queue::main()->async([] { std::_Exit(0); });
  }).detach();
  emit("ready");
  platform::runloop::RunLoop::main().run();
  return 0;
}
