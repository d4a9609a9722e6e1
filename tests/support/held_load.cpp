#include "support/held_load.h"

#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/urlloading/url_connection.h"
#include "support/http_test_server.h"
#include "support/wait.h"

namespace test_support {

using platform::urlloading::URLConnection;
using platform::urlloading::URLConnectionDelegate;
using platform::urlloading::URLRequest;

namespace {

std::atomic<bool> gHeld{false};

struct EndWatcher : URLConnectionDelegate {
  std::atomic<bool> ended{false};
  void connectionDidFinishLoading(URLConnection&) override { ended = true; }
  void connectionDidFailWithError(URLConnection&, const platform::Error&) override { ended = true; }
};

}  // namespace

struct HeldLoadEnvironment::State {
  std::unique_ptr<HTTPTestServer> server;
  std::shared_ptr<EndWatcher> watcher = std::make_shared<EndWatcher>();
  std::shared_ptr<URLConnection> connection;
};

HeldLoadEnvironment::HeldLoadEnvironment() : state_(std::make_unique<State>()) {}
HeldLoadEnvironment::~HeldLoadEnvironment() = default;

void HeldLoadEnvironment::SetUp() {
  state_->server = HTTPTestServer::start();
  HTTPReply hang;
  hang.hang = true;
  state_->server->setReply("/held", hang);
  URLRequest request{platform::URL(state_->server->url("/held"))};
  request.setTimeoutInterval(24 * 3600);
  state_->connection = URLConnection::create(request, state_->watcher);
  state_->connection->start();
  ASSERT_TRUE(varnel::testing::waitUntil([&] { return state_->server->requests().size() == 1; }))
      << "the held load never reached its server";
  gHeld = true;
}

void HeldLoadEnvironment::TearDown() {
  gHeld = false;
  EXPECT_FALSE(state_->watcher->ended.load())
      << "the held load ended: the tests after that ran without loaders";
  EXPECT_TRUE(processHasThreadNamed("NKLoader")) << "no load went through a loader";
  state_->connection->cancel();
  state_->server->stop();
}

bool heldLoadUnderWay() { return gHeld.load(); }

bool processHasThreadNamed(const char* name) {
  std::error_code ec;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task", ec)) {
    std::ifstream comm(task.path() / "comm");
    std::string line;
    if (std::getline(comm, line) && line == name) return true;
  }
  return false;
}

}  // namespace test_support
