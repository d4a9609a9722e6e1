#include "ui_test_support.h"

#include <QApplication>
#include <QElapsedTimer>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <utility>

#include "client/ui/qt_run_loop_driver.h"
#include "platform/dispatch/dispatch.h"
#include "platform/system/user_defaults.h"
#include "support/temp_root.h"

namespace varnel::testing {

int runUiTest(int argc, char** argv, const std::function<int(int, char**)>& run) {
  if (std::getenv("QT_QPA_PLATFORM") == nullptr) setenv("QT_QPA_PLATFORM", "offscreen", 1);
  auto root = std::make_unique<TempRoot>();
  std::filesystem::create_directories(root->file("home/.config"));
  int status;
  {
    QApplication app(argc, argv);
    client::ui::QtRunLoopDriver driver;
    driver.install();
    platform::UserDefaults::resetStandardUserDefaults();
    status = run(argc, argv);
    driver.uninstall();
  }
  platform::UserDefaults::resetStandardUserDefaults();
  return status;
}

bool waitFor(const std::function<bool()>& done, int timeoutMs) {
  QElapsedTimer timer;
  timer.start();
  while (!done()) {
    if (timer.elapsed() > timeoutMs) return done();
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    QTest::qWait(5);
  }
  return true;
}

void resetDefaults() {
  auto defaults = platform::UserDefaults::standardUserDefaults();
  auto all = defaults->dictionaryRepresentation();
  for (const auto& key : all.keys()) defaults->removeObject(key.asString());
  defaults->synchronize();
}

}  // namespace varnel::testing

#include "account-service/account_service.h"
#include "client/core/account_manager.h"
#include "client/core/pudip_client.h"

namespace varnel::testing {

std::unique_ptr<account_service::AccountService> startDemoService() {
  auto data = account_service::AccountService::loadDataFile(
      account_service::AccountService::demoDataFilePath());
  auto service = account_service::AccountService::startPlain(data);
  setenv(client::kAccountServiceURLsEnvironmentVariable, service->baseURL().c_str(), 1);
  client::VRPUDIPClient::resetSharedClientForTesting();
  return service;
}

platform::Value demoLoginReply() {
  auto data = account_service::AccountService::loadDataFile(
      account_service::AccountService::demoDataFilePath());
  platform::Value user = data["users"][0];
  platform::Value reply = platform::Value::mutableDictionary();
  reply.addEntriesFrom(user["profile"]);
  reply.set("key", user["key"]);
  reply.set("hash", user["hash"]);
  reply.set("email", user["email"]);
  reply.set("open", user["open"]);
  reply.set("pptp", user["pptp"]);
  return reply;
}

std::shared_ptr<client::VRAccountManager> demoAccountManager(
    client::ServerModel::ToolPaths serverTools) {
  auto manager = client::VRAccountManager::create(client::VRPUDIPClient::make(), nullptr,
                                                  std::move(serverTools));
  manager->updateAccountInfoWithDictionary(demoLoginReply());
  return manager;
}

namespace {
class ImmediateDialerServices : public client::DialerServices {
 public:
  void waitForOperations(std::function<void()> completion) override {
    platform::dispatch::Queue::main()->async(std::move(completion));
  }
  client::BaseAccount::Ptr currentAccount() override { return nullptr; }
  std::int64_t connectionType() override { return 3; }
  void pollWithCompletionHandler(std::function<void(const platform::Value&)>) override {}
  void clearKeepaliveToken() override {}
};
}  // namespace

ScriptedDialer::ScriptedDialer() : request(std::make_shared<FakeHelperRequest>()) {
  auto made = request;
  state = client::DialerState::create(
      std::make_shared<ImmediateDialerServices>(), std::weak_ptr<client::DialerView>(),
      [made](std::weak_ptr<client::HelperRequestDelegate>) { return made; });
}

bool ScriptedDialer::connect() {
  const int before = request->starts;
  state->clickControlButton();
  return waitFor([&] { return request->starts > before; });
}

}  // namespace varnel::testing
